#include "convert/views/settings_panel.h"

#include <QButtonGroup>
#include <QCoreApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QToolButton>
#include <QVBoxLayout>

#include "convert/conversion_queue.h"
#include "view_kit/output_size_controls.h"
#include "convert/views/preview_panel.h"
#include "platform/desktop/icons.h"
#include "view_kit/pickers.h"
#include "view_kit/wheel_guard.h"
#include "view_kit/form_style.h"

namespace qm {

namespace {

QString text(std::string_view s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

// A small capsule with a caption.
QLabel* makeBadge(const QString& caption) {
    auto* badge = new QLabel(caption);
    QFont f = badge->font();
    f.setPointSizeF(f.pointSizeF() * 0.8);
    f.setWeight(QFont::DemiBold);
    badge->setFont(f);
    badge->setObjectName(QStringLiteral("badge"));
    badge->setStyleSheet(QStringLiteral("QLabel#badge { background: rgba(128,128,128,0.15); border-radius: 8px;"
                                        " padding: 2px 6px; }"));
    return badge;
}

QLabel* iconLabel(const QString& symbol, int size = 16) {
    auto* label = new QLabel;
    label->setPixmap(symbolIcon(symbol).pixmap(size, size));
    return label;
}


// Secondary texts (the format summary, notes, read-outs) grey out with the rest of a disabled form.
void dimSecondaryTextWhenDisabled(QWidget* form) {
    QPalette palette = form->palette();
    QColor dimmed = palette.color(QPalette::Disabled, QPalette::WindowText);
    dimmed.setAlphaF(0.7f);
    palette.setColor(QPalette::Disabled, QPalette::PlaceholderText, dimmed);
    form->setPalette(palette);
}

}  // namespace

FormatBadges formatBadges(OutputFormat format) {
    FormatBadges b;
    if (isImageSequence(format))
        b.container = text(fileExtension(format)).toUpper();
    else
        b.container = (format == OutputFormat::h264 || format == OutputFormat::hevc) ? QStringLiteral("MP4")
                                                                                     : QStringLiteral("MOV");
    if (supportsAlpha(format)) b.alpha = QCoreApplication::translate("SettingsPanel", "Alpha");
    if (isGPU(format)) b.gpu = QCoreApplication::translate("SettingsPanel", "GPU playback");
    return b;
}

bool alphaWarningApplies(const ConversionQueue& queue) {
    if (supportsAlpha(queue.settings().format)) return false;
    for (const ConversionJobRef& job : queue.jobs()) {
        const auto& info = job->info();
        if (!info || !info->hasAlpha) continue;
        if (info->decoder.kind == SourceDecoder::Kind::notchLC || info->decoder.kind == SourceDecoder::Kind::dxv)
            continue;
        return true;
    }
    return false;
}

SettingsPanel::SettingsPanel(ConversionQueue& queue, QWidget* parent) : QWidget(parent), queue_(queue) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    preview_ = new PreviewPanel(queue, this);
    column->addWidget(preview_);
    column->addWidget(divider(Qt::Horizontal));

    form_ = new QWidget(this);
    auto* sections = new QVBoxLayout(form_);
    sections->setContentsMargins(12, 8, 12, 8);
    sections->setSpacing(8);

    sections->addWidget(buildOutputGroup());
    sections->addWidget(buildGpuGroup());
    sections->addWidget(buildQualityGroup());
    sections->addWidget(buildFrameSizeGroup());
    sections->addWidget(buildDestinationGroup());
    auto* note = new QLabel(tr("NotchLC, Hap and DXV3 Normal Quality sources can be converted to every format "
                               "offered here."));
    note->setWordWrap(true);
    QFont caption = note->font();
    caption.setPointSizeF(caption.pointSizeF() * 0.85);
    note->setFont(caption);
    note->setForegroundRole(QPalette::PlaceholderText);
    sections->addWidget(note);
    sections->addStretch(1);
    dimSecondaryTextWhenDisabled(form_);
    // The form scrolls when the window is too short for all its sections.
    auto* scroll = new QScrollArea(this);
    scroll->setWidget(form_);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    takeWheelOnlyWhenFocused(scroll);
    column->addWidget(scroll, 1);

    column->addWidget(divider(Qt::Horizontal));
    column->addWidget(buildActionBar());

    for (auto signal : {&ConversionQueue::settingsChanged, &ConversionQueue::isRunningChanged,
                        &ConversionQueue::selectedJobIDChanged, &ConversionQueue::outputFolderChanged,
                        &ConversionQueue::readyCountChanged})
        connect(&queue_, signal, this, &SettingsPanel::refresh);
    connect(&queue_, &ConversionQueue::jobsChanged, this, &SettingsPanel::watchJobs);
    watchJobs();
}

// The format picker, its summary and badges, and the alpha warning.
QGroupBox* SettingsPanel::buildOutputGroup() {
    auto* output = new QGroupBox(tr("Output"), form_);
    auto* outputForm = new QFormLayout(output);
    format_ = new QComboBox;
    fillOutputFormatPicker(format_, [](OutputFormat f) { return isAvailable(f); }, UnofferedFormats::disabled);
    outputForm->addRow(tr("Format"), format_);
    connect(format_, &QComboBox::activated, this, [this](int index) {
        const auto format = pickerOption<OutputFormat>(format_, index);
        if (!format) return;
        ConversionSettings s = queue_.settings();
        s.format = *format;
        queue_.setSettings(s);
    });

    auto* about = new QWidget;
    auto* aboutLayout = new QVBoxLayout(about);
    aboutLayout->setContentsMargins(0, 0, 0, 0);
    aboutLayout->setSpacing(6);
    summary_ = new QLabel;
    summary_->setWordWrap(true);
    summary_->setForegroundRole(QPalette::PlaceholderText);
    aboutLayout->addWidget(summary_);
    badges_ = new QWidget;
    auto* badgeRow = new QHBoxLayout(badges_);
    badgeRow->setContentsMargins(0, 0, 0, 0);
    badgeRow->setSpacing(6);
    aboutLayout->addWidget(badges_);
    outputForm->addRow(about);

    alphaWarning_ = new QWidget;
    auto* warnRow = new QHBoxLayout(alphaWarning_);
    warnRow->setContentsMargins(0, 0, 0, 0);
    warnRow->addWidget(iconLabel(QStringLiteral("exclamationmark.triangle")));
    auto* warnText = new QLabel(tr("Some sources have alpha. This format will discard it."));
    warnText->setWordWrap(true);
    warnText->setStyleSheet(QStringLiteral("color: #e67e00;"));
    warnRow->addWidget(warnText, 1);
    outputForm->addRow(alphaWarning_);
    return output;

}

// Chunks and texture quality of the GPU codecs.
QGroupBox* SettingsPanel::buildGpuGroup() {
    gpuSection_ = new QGroupBox(tr("GPU Codec Options"), form_);
    auto* gpuForm = new QFormLayout(gpuSection_);
    chunks_ = new QComboBox;
    fillChunkCountPicker(chunks_);
    gpuForm->addRow(tr("Chunks"), chunks_);
    chunksRow_ = chunks_;
    highQuality_ = new QCheckBox(tr("Best texture quality (slower)"));
    gpuForm->addRow(highQuality_);
    connect(chunks_, &QComboBox::activated, this, [this](int index) {
        ConversionSettings s = queue_.settings();
        s.hapChunks = chunks_->itemData(index).toInt();
        queue_.setSettings(s);
    });
    connect(highQuality_, &QCheckBox::toggled, this, [this](bool on) {
        if (refreshing_) return;
        ConversionSettings s = queue_.settings();
        s.hapHighQuality = on;
        queue_.setSettings(s);
    });
    return gpuSection_;

}

// The delivery quality of H.264 and HEVC.
QGroupBox* SettingsPanel::buildQualityGroup() {
    qualitySection_ = new QGroupBox(tr("Quality"), form_);
    auto* qualityRow = new QHBoxLayout(qualitySection_);
    qualityRow->setSpacing(0);
    quality_ = new QButtonGroup(this);
    for (DeliveryQuality q : allDeliveryQualities) {
        // Tool buttons: push buttons have a minimum width that makes four too wide for the column.
        auto* b = new QToolButton;
        b->setText(tr(text(label(q)).toUtf8().constData()));
        b->setCheckable(true);
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        quality_->addButton(b, int(q));
        qualityRow->addWidget(b, 1);
    }
    connect(quality_, &QButtonGroup::idClicked, this, [this](int id) {
        ConversionSettings s = queue_.settings();
        s.deliveryQuality = static_cast<DeliveryQuality>(id);
        queue_.setSettings(s);
    });
    return qualitySection_;

}

// Output size controls and the audio toggle.
QGroupBox* SettingsPanel::buildFrameSizeGroup() {
    auto* frameSize = new QGroupBox(tr("Frame Size"), form_);
    auto* sizeForm = new QFormLayout(frameSize);
    sizeControls_ = new OutputSizeControls(
        sizeForm, [this] { return queue_.settings(); },
        [this](const ConversionSettings& s) { queue_.setSettings(s); }, this);
    includeAudio_ = new QCheckBox(tr("Include audio"));
    sizeForm->addRow(includeAudio_);
    connect(includeAudio_, &QCheckBox::toggled, this, [this](bool on) {
        if (refreshing_) return;
        ConversionSettings s = queue_.settings();
        s.includeAudio = on;
        queue_.setSettings(s);
    });
    return frameSize;

}

// The output folder with its reveal and choose buttons.
QGroupBox* SettingsPanel::buildDestinationGroup() {
    auto* saveTo = new QGroupBox(tr("Save To"), form_);
    auto* saveRow = new QHBoxLayout(saveTo);
    saveRow->addWidget(iconLabel(QStringLiteral("folder")));
    folder_ = new QLabel;
    folder_->setMinimumWidth(60);
    saveRow->addWidget(folder_, 1);
    reveal_ = new QToolButton;
    reveal_->setAutoRaise(true);
    reveal_->setIcon(symbolIcon(QStringLiteral("arrow.right.circle")));
    reveal_->setToolTip(tr("Show in File Manager"));
    saveRow->addWidget(reveal_);
    choose_ = new QPushButton(tr("Choose…"));
    saveRow->addWidget(choose_);
    connect(reveal_, &QToolButton::clicked, this, [this] { queue_.revealOutputFolder(); });
    connect(choose_, &QPushButton::clicked, this, [this] { queue_.chooseOutputFolder(); });
    return saveTo;

}

// The start/stop button and its shortcut.
QWidget* SettingsPanel::buildActionBar() {
    auto* bar = new QWidget(this);
    auto* barLayout = new QHBoxLayout(bar);
    barLayout->setContentsMargins(16, 16, 16, 16);
    action_ = new QPushButton;
    action_->setMinimumHeight(32);
    barLayout->addWidget(action_);
    connect(action_, &QPushButton::clicked, this, [this] {
        if (queue_.isRunning())
            queue_.stop();
        else
            queue_.start();
    });
    auto* startKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Return), this);
    startKey->setContext(Qt::WindowShortcut);
    connect(startKey, &QShortcut::activated, this, [this] {
        if (!queue_.isRunning() && action_->isEnabled()) queue_.start();
    });
    return bar;
}

QStringList SettingsPanel::badgeTexts() const {
    QStringList texts;
    for (auto* label : badges_->findChildren<QLabel*>()) texts.append(label->text());
    return texts;
}

void SettingsPanel::watchJobs() {
    // A job's probe result can start or end the alpha warning and change the size read-out.
    for (const ConversionJobRef& job : queue_.jobs())
        connect(job.get(), &ConversionJob::infoChanged, this, &SettingsPanel::refresh, Qt::UniqueConnection);
    refresh();
}

void SettingsPanel::refresh() {
    refreshing_ = true;
    const ConversionSettings s = queue_.settings();
    const OutputFormat f = s.format;

    selectPickerOption(format_, f);
    summary_->setText(tr(text(summary(f)).toUtf8().constData()));

    // Rebuild the badges only when they change.
    const FormatBadges b = formatBadges(f);
    QStringList wanted{b.container};
    if (b.alpha) wanted.append(*b.alpha);
    if (b.gpu) wanted.append(*b.gpu);
    if (badgeTexts() != wanted) {
        auto* row = static_cast<QHBoxLayout*>(badges_->layout());
        while (QLayoutItem* item = row->takeAt(0)) {
            delete item->widget();
            delete item;
        }
        for (const QString& t : wanted) row->addWidget(makeBadge(t));
        row->addStretch(1);
    }
    alphaWarning_->setVisible(alphaWarningApplies(queue_));

    gpuSection_->setVisible(isGPU(f));
    static_cast<QFormLayout*>(gpuSection_->layout())->setRowVisible(chunksRow_, isHap(f));
    chunks_->setCurrentIndex(std::max(0, chunks_->findData(s.hapChunks)));
    highQuality_->setChecked(s.hapHighQuality);

    qualitySection_->setVisible(f == OutputFormat::h264 || f == OutputFormat::hevc || f == OutputFormat::hevcAlpha);
    if (QAbstractButton* q = quality_->button(int(s.deliveryQuality))) q->setChecked(true);

    std::optional<std::pair<int, int>> sourceSize;
    if (const ConversionJobRef job = queue_.job(queue_.selectedJobID()); job && job->info())
        sourceSize = std::make_pair(job->info()->width, job->info()->height);
    sizeControls_->setSourceSize(sourceSize);
    includeAudio_->setChecked(s.includeAudio);
    includeAudio_->setEnabled(!isImageSequence(f));

    const QString folder = queue_.outputFolder();
    folder_->setText(folder.isEmpty() ? tr("Not selected")
                                      : folder_->fontMetrics().elidedText(QFileInfo(folder).fileName(),
                                                                         Qt::ElideMiddle, 180));
    folder_->setToolTip(folder);
    reveal_->setVisible(!folder.isEmpty());

    form_->setEnabled(!queue_.isRunning());
    if (queue_.isRunning()) {
        action_->setText(tr("Stop"));
        action_->setIcon(symbolIcon(QStringLiteral("stop.fill")));
        action_->setDefault(false);
        action_->setEnabled(true);
    } else {
        const int ready = queue_.readyCount();
        action_->setText(ready < 1    ? tr("Convert")
                         : ready == 1 ? tr("Convert %1 File").arg(qlonglong(ready))
                                      : tr("Convert %1 Files").arg(qlonglong(ready)));
        action_->setIcon(symbolIcon(QStringLiteral("arrow.triangle.2.circlepath")));
        action_->setDefault(true);
        action_->setEnabled(ready > 0 && isAvailable(f));
    }
    refreshing_ = false;
}

}  // namespace qm
