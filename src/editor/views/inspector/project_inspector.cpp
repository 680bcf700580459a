#include "editor/views/inspector/project_inspector.h"

#include <array>
#include <cmath>

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "editor/editor_model.h"
#include "editor/timecode_text.h"
#include "editor/views/inspector/clip_inspector.h"
#include "editor/views/inspector/inspector_form.h"
#include "view_kit/form_style.h"

namespace qm {

namespace {

struct SizePreset {
    const char* text;
    int width;
    int height;
};

constexpr std::array<SizePreset, 5> kPresets = {{{"3840 × 2160 (4K UHD)", 3840, 2160},
                                                 {"1920 × 1080 (Full HD)", 1920, 1080},
                                                 {"1280 × 720 (HD)", 1280, 720},
                                                 {"1080 × 1920 (Vertical)", 1080, 1920},
                                                 {"1080 × 1080 (Square)", 1080, 1080}}};

constexpr std::array<double, 8> kFrameRates = {23.976, 24, 25, 29.97, 30, 50, 59.94, 60};

QLineEdit* sizeField(const QString& name, const QString& title) {
    auto* field = new QLineEdit;
    field->setObjectName(name);
    field->setPlaceholderText(title);
    field->setAccessibleName(title);
    field->setAlignment(Qt::AlignRight);
    return field;
}

}  // namespace

double nearestFrameRateChoice(double rate) {
    double best = kFrameRates[0];
    for (double c : kFrameRates)
        if (std::abs(c - rate) < std::abs(best - rate)) best = c;
    return best;
}

ProjectInspector::ProjectInspector(EditorModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    auto* form = new QVBoxLayout(this);
    form->setContentsMargins(12, 8, 12, 8);
    const FormSection project = addSection(form, tr("Project"));
    auto* grid = new QVBoxLayout;
    auto* sizeRow = new QHBoxLayout;
    sizeRow->addWidget(new QLabel(tr("Size")));
    size_ = new QComboBox;
    size_->setObjectName(QStringLiteral("size"));
    sizeRow->addWidget(size_, 1);
    grid->addLayout(sizeRow);
    connect(size_, &QComboBox::activated, this, [this](int index) {
        const int tag = size_->itemData(index).toInt();
        if (tag >= 0 && tag < int(kPresets.size())) model_.setProjectSize(kPresets[tag].width, kPresets[tag].height);
    });

    auto* fields = new QHBoxLayout;
    width_ = sizeField(QStringLiteral("width"), tr("Width"));
    height_ = sizeField(QStringLiteral("height"), tr("Height"));
    fields->addWidget(width_);
    fields->addWidget(new QLabel(tr("×")));
    fields->addWidget(height_);
    grid->addLayout(fields);
    connect(width_, &QLineEdit::editingFinished, this, [this] { commitSize(width_, true); });
    connect(height_, &QLineEdit::editingFinished, this, [this] { commitSize(height_, false); });

    auto* rateRow = new QHBoxLayout;
    rateRow->addWidget(new QLabel(tr("Frame Rate")));
    frameRate_ = new QComboBox;
    frameRate_->setObjectName(QStringLiteral("frameRate"));
    for (double rate : kFrameRates) frameRate_->addItem(QString::asprintf("%g fps", rate), rate);
    rateRow->addWidget(frameRate_, 1);
    grid->addLayout(rateRow);
    connect(frameRate_, &QComboBox::activated, this, [this](int index) {
        writeProject(frameRate_->itemData(index).toDouble(), model_.project().transparentBackground);
    });

    transparent_ = new QCheckBox(tr("Transparent Background"));
    transparent_->setObjectName(QStringLiteral("transparentBackground"));
    grid->addWidget(transparent_);
    connect(transparent_, &QCheckBox::clicked, this,
            [this](bool on) { writeProject(model_.project().frameRate, on); });
    project.content->addLayout(grid);
    length_ = secondaryText(QString());
    length_->setObjectName(QStringLiteral("length"));
    project.content->addWidget(length_);

    const FormSection hintSection = addSection(form, QString());
    auto* hint = secondaryText(tr("Select a clip to edit its position, scale, rotation, opacity and keyframes."));
    hint->setObjectName(QStringLiteral("hint"));
    hint->setWordWrap(true);
    hint->setFont(calloutFont(hint->font()));
    hintSection.content->addWidget(hint);
    form->addStretch(1);
    refresh();
}

void ProjectInspector::refresh() {
    const Project& p = model_.project();
    int selected = -1;
    for (int i = 0; i < int(kPresets.size()); ++i)
        if (kPresets[i].width == p.width && kPresets[i].height == p.height) {
            selected = i;
            break;
        }
    {
        const QSignalBlocker block(size_);
        const int entries = int(kPresets.size()) + (selected < 0 ? 1 : 0);
        const QString extra = tr("%1 × %2").arg(p.width).arg(p.height);
        if (size_->count() != entries || (selected < 0 && size_->itemText(entries - 1) != extra)) {
            size_->clear();
            for (int i = 0; i < int(kPresets.size()); ++i) size_->addItem(QString::fromUtf8(kPresets[i].text), i);
            if (selected < 0) size_->addItem(extra, -1);
        }
        size_->setCurrentIndex(selected < 0 ? entries - 1 : selected);
    }
    const QLocale locale;
    if (!width_->hasFocus()) width_->setText(locale.toString(p.width));
    if (!height_->hasFocus()) height_->setText(locale.toString(p.height));
    {
        const QSignalBlocker block(frameRate_);
        frameRate_->setCurrentIndex(frameRate_->findData(nearestFrameRateChoice(p.frameRate)));
    }
    {
        const QSignalBlocker block(transparent_);
        transparent_->setChecked(p.transparentBackground);
    }
    const QString duration = timingText(p.duration(), p.frameRate);
    setTextIfChanged(length_, p.tracks.size() == 1
                                  ? tr("Duration %1 · 1 layer").arg(duration)
                                  : tr("Duration %1 · %2 layers").arg(duration).arg(qlonglong(p.tracks.size())));
}

void ProjectInspector::commitSize(QLineEdit* field, bool width) {
    bool ok = false;
    const qlonglong typed = QLocale().toLongLong(field->text().trimmed(), &ok);
    if (ok) {
        // Clamped here too so a huge number cannot wrap on the way to the model's int.
        const int v = int(std::clamp<qlonglong>(typed, 16, 16384));
        const Project& p = model_.project();
        model_.setProjectSize(width ? v : p.width, width ? p.height : v);
    }
    // A clamped, refused or unchanged number shows the stored size again.
    const QLocale locale;
    width_->setText(locale.toString(model_.project().width));
    height_->setText(locale.toString(model_.project().height));
}

void ProjectInspector::writeProject(double frameRate, bool transparent) {
    // Written only when it changes: the same choice again records no step.
    if (frameRate == model_.project().frameRate && transparent == model_.project().transparentBackground) return;
    model_.pushUndo();
    Project p = model_.project();
    p.frameRate = frameRate;
    p.transparentBackground = transparent;
    model_.setProject(std::move(p));
    model_.setIsDirty(true);
    model_.requestRender();
}

}  // namespace qm
