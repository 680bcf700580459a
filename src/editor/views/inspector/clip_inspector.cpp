#include "editor/views/inspector/clip_inspector.h"

#include <algorithm>
#include <cmath>

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "editor/editor_model.h"
#include "editor/frame_grid.h"
#include "editor/timecode_text.h"
#include "editor/views/inspector/effect_sections.h"
#include "editor/views/inspector/inspector_form.h"
#include "editor/views/inspector/slider_row.h"
#include "editor/views/inspector/transform_property_row.h"
#include "view_kit/form_style.h"
#include "view_kit/pickers.h"

namespace qm {

QString volumeText(double volume) {
    const double percent = std::round(volume * 100);
    if (!std::isfinite(percent) || std::abs(percent) > 1e15) return QStringLiteral("--");
    return QString::asprintf("%.0f%%", percent);
}

QString fadeText(double seconds) {
    if (!std::isfinite(seconds)) return QStringLiteral("--");
    return QString::asprintf("%.2f s", seconds);
}

QString timingText(double seconds, double rate) {
    return timecodeFits(seconds, rate) ? formatTimecode(seconds, rate) : QStringLiteral("--");
}

namespace {

QString ltcText(const std::optional<Timecode>& timecode) {
    return timecode ? QString::fromStdString(timecode->displayText()) : QStringLiteral("--");
}

}  // namespace

QStringList ltcTexts(const LTCInfo& info, const Clip& clip) {
    return {ltcText(ltcTimecodeAt(info, clip.sourceIn)), ltcText(ltcTimecodeAt(info, clip.sourceIn + clip.duration)),
            ClipInspector::tr("%1 fps").arg(QString::fromStdString(info.rateText())),
            ClipInspector::tr("Audio track %1, channel %2").arg(qlonglong(info.track) + 1).arg(qlonglong(info.channel) + 1)};
}

namespace {

// A read-only grid of secondary labels and values in the callout size; returns the value labels.
void addGrid(QVBoxLayout* content, const QStringList& labels, QLabel** values, bool digits) {
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(4);
    for (int i = 0; i < labels.size(); ++i) {
        auto* label = secondaryText(labels[i]);
        const QFont callout = calloutFont(label->font());
        label->setFont(callout);
        auto* value = new QLabel;
        value->setTextFormat(Qt::PlainText);
        value->setFont(digits && i < 3 ? digitsFont(callout) : callout);
        grid->addWidget(label, i, 0);
        grid->addWidget(value, i, 1);
        values[i] = value;
    }
    grid->setColumnStretch(1, 1);
    content->addLayout(grid);
}

}  // namespace

ClipInspector::ClipInspector(EditorModel& model, QUuid clipID, QWidget* parent)
    : QWidget(parent), model_(model), clipID_(clipID) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    shape_ = shape();
    build();
}

ClipInspector::Shape ClipInspector::shape() const {
    Shape s;
    const auto clip = model_.clip(clipID_);
    if (!clip) return s;
    const MediaItem* media = model_.project().mediaItem(clip->mediaID);
    s.picture = !media || (media->width > 0 && media->height > 0);
    s.audio = media && media->hasAudio;
    s.ltc = model_.ltc().contains(clip->mediaID);
    return s;
}

void ClipInspector::refresh() {
    const Shape now = shape();
    if (now != shape_) {
        shape_ = now;
        build();
        emit rebuilt();
        return;
    }
    update();
}

void ClipInspector::build() {
    delete body_;
    rows_.clear();
    keying_ = nullptr;
    color_ = nullptr;
    blend_ = fit_ = nullptr;
    volume_ = nullptr;
    sync_ = nullptr;
    std::fill(std::begin(ltc_), std::end(ltc_), nullptr);
    body_ = new QWidget;
    layout()->addWidget(body_);
    auto* form = new QVBoxLayout(body_);
    form->setContentsMargins(12, 8, 12, 8);
    form->setSpacing(2);

    const FormSection timing = addSection(form, QString());
    name_ = new MiddleElidedLabel;
    name_->setObjectName(QStringLiteral("header"));
    QFont bold = name_->font();
    bold.setBold(true);
    name_->setFont(bold);
    timing.header->addWidget(name_, 1);
    addGrid(timing.content, {tr("Start"), tr("Duration"), tr("Source In")}, timing_, true);

    if (shape_.ltc) {
        const FormSection ltc = addSection(form, tr("Timecode (LTC)"));
        addGrid(ltc.content, {tr("At In Point"), tr("At Out Point"), tr("Frame Rate"), tr("LTC Channel")}, ltc_,
                true);
        ltc_[2]->setFont(ltc_[3]->font());
        const char* names[] = {"ltcIn", "ltcOut", nullptr, nullptr};
        for (int i = 0; i < 2; ++i) ltc_[i]->setObjectName(QString::fromLatin1(names[i]));
        sync_ = namedButton(tr("Sync Other Clips to This"), QStringLiteral("sync"));
        connect(sync_, &QPushButton::clicked, this, [this] { emit syncRequested(clipID_); });
        ltc.content->addWidget(sync_, 0, Qt::AlignLeft);
    }
    timing_[0]->setObjectName(QStringLiteral("start"));
    timing_[1]->setObjectName(QStringLiteral("duration"));
    timing_[2]->setObjectName(QStringLiteral("sourceIn"));

    if (shape_.picture) {
        const FormSection transform = addSection(form, tr("Transform"));
        auto* reset = captionButton(tr("Reset"), QStringLiteral("resetTransform"));
        connect(reset, &QPushButton::clicked, this, [this] { model_.resetTransform(clipID_); });
        transform.header->addWidget(reset);
        for (int i = 0; i < 5; ++i) {
            auto* row = new TransformPropertyRow(model_, clipID_, allTransformProperties[std::size_t(i)], false);
            rows_.push_back(row);
            transform.content->addWidget(row);
        }
        keying_ = new KeyingSection(model_, clipID_);
        form->addWidget(keying_);
        color_ = new ColorSection(model_, clipID_);
        form->addWidget(color_);

        buildCompositing(form);
    }

    const FormSection fades = addSection(form, tr("Fades"));
    const auto snappedFade = [this](double v) {
        return frameRounded(std::isfinite(v) && v > 0 ? v : 0.0, model_.project().frameRate);
    };
    fadeIn_ = new SliderRow(tr("Fade In"), &fadeText);
    fadeIn_->setObjectName(QStringLiteral("fadeIn"));
    fadeIn_->onChange = [this, snappedFade](double v, bool first) {
        beginGestureIfFirst(model_, first);
        model_.setClipFades(clipID_, snappedFade(v), std::nullopt, false);
    };
    fadeOut_ = new SliderRow(tr("Fade Out"), &fadeText);
    fadeOut_->setObjectName(QStringLiteral("fadeOut"));
    fadeOut_->onChange = [this, snappedFade](double v, bool first) {
        beginGestureIfFirst(model_, first);
        model_.setClipFades(clipID_, std::nullopt, snappedFade(v), false);
    };
    fades.content->addWidget(fadeIn_);
    fades.content->addWidget(fadeOut_);

    if (shape_.audio) {
        const FormSection audio = addSection(form, tr("Audio"));
        volume_ = new SliderRow(tr("Volume"), &volumeText);
        volume_->setObjectName(QStringLiteral("volume"));
        volume_->onChange = [this](double v, bool first) {
            beginGestureIfFirst(model_, first);
            model_.setClipVolume(clipID_, v, false);
        };
        audio.content->addWidget(volume_);
    }
    for (SliderRow* row : {fadeIn_, fadeOut_, volume_})
        if (row) row->onEnd = [&model = model_] { model.endGesture(); };

    const FormSection actions = addSection(form, QString());
    auto* buttons = new QHBoxLayout;
    auto* split = namedButton(tr("Split"), QStringLiteral("split"));
    auto* duplicate = namedButton(tr("Duplicate"), QStringLiteral("duplicate"));
    auto* remove = namedButton(tr("Delete"), QStringLiteral("delete"));
    connect(split, &QPushButton::clicked, this, [this] { model_.splitAtPlayhead(); });
    connect(duplicate, &QPushButton::clicked, this, [this] { model_.duplicateClip(); });
    connect(remove, &QPushButton::clicked, this, [this] { model_.deleteSelection(); });
    buttons->addWidget(split);
    buttons->addWidget(duplicate);
    buttons->addStretch(1);
    buttons->addWidget(remove);
    actions.content->addLayout(buttons);
    form->addStretch(1);
    update();
}

// Blend mode and scaling of a picture clip.
void ClipInspector::buildCompositing(QVBoxLayout* form) {
    const FormSection compositing = addSection(form, tr("Compositing"));
    auto* grid = new QGridLayout;
    blend_ = new QComboBox;
    blend_->setObjectName(QStringLiteral("blendMode"));
    for (BlendMode mode : allBlendModes) pickerOptionRow(blend_, mode, tr(label(mode)));
    fit_ = new QComboBox;
    fit_->setObjectName(QStringLiteral("fit"));
    for (FitMode mode : allFitModes) pickerOptionRow(fit_, mode, tr(label(mode)));
    grid->addWidget(new QLabel(tr("Blend Mode")), 0, 0);
    grid->addWidget(blend_, 0, 1);
    grid->addWidget(new QLabel(tr("Scaling")), 1, 0);
    grid->addWidget(fit_, 1, 1);
    grid->setColumnStretch(1, 1);
    compositing.content->addLayout(grid);
    connect(blend_, &QComboBox::activated, this, [this](int index) {
        if (const auto mode = pickerOption<BlendMode>(blend_, index)) model_.setClipBlendMode(clipID_, true, *mode);
    });
    connect(fit_, &QComboBox::activated, this, [this](int index) {
        if (const auto mode = pickerOption<FitMode>(fit_, index)) model_.setClipFit(clipID_, true, *mode);
    });
}

void ClipInspector::update() {
    const auto clip = model_.clip(clipID_);
    if (!clip) return;  // the host swaps in the project inspector
    const Project& project = model_.project();
    const double rate = project.frameRate;
    const MediaItem* media = project.mediaItem(clip->mediaID);
    const QString name = media ? media->name : QStringLiteral("?");
    name_->setFullText(name);
    setTextIfChanged(timing_[0], timingText(clip->start, rate));
    setTextIfChanged(timing_[1], timingText(clip->duration, rate));
    setTextIfChanged(timing_[2], timingText(clip->sourceIn, rate));

    if (ltc_[0]) {
        const auto it = model_.ltc().constFind(clip->mediaID);
        if (it != model_.ltc().constEnd()) {
            const QStringList texts = ltcTexts(*it, *clip);
            for (int i = 0; i < 4; ++i) setTextIfChanged(ltc_[i], texts[i]);
        }
        sync_->setEnabled(!model_.syncStatus().has_value());
    }
    for (auto* row : rows_) row->refresh();
    if (keying_) keying_->refresh();
    if (color_) color_->refresh();
    if (blend_) {
        const QSignalBlocker b1(blend_);
        selectPickerOption(blend_, clip->blendMode);
        const QSignalBlocker b2(fit_);
        selectPickerOption(fit_, clip->fit);
    }
    const double limit = std::max(clip->duration, oneFrame(rate));
    fadeIn_->setValue(clip->fadeIn, 0, limit);
    fadeOut_->setValue(clip->fadeOut, 0, limit);
    if (volume_) volume_->setValue(clip->volume, 0, 2);
}

}  // namespace qm
