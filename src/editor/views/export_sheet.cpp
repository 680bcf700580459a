#include "editor/views/export_sheet.h"

#include <cmath>

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "editor/editor_model.h"
#include "editor/timecode_text.h"
#include "platform/system/desktop_services.h"
#include "platform/system/settings_store.h"
#include "view_kit/form_style.h"
#include "view_kit/output_size_controls.h"
#include "view_kit/pickers.h"

namespace qm {

namespace {

const QString kSettingsKey = QStringLiteral("exportSettings");
const QColor kGreen(52, 168, 83);
const QColor kRed(220, 53, 69);
const QColor kOrange(240, 140, 0);
constexpr DeliveryQuality kQualities[] = {DeliveryQuality::low, DeliveryQuality::medium, DeliveryQuality::high,
                                          DeliveryQuality::maximum};

bool isDelivery(OutputFormat format) {
    return format == OutputFormat::h264 || format == OutputFormat::hevc || format == OutputFormat::hevcAlpha;
}

QWidget* symbolRow(const QString& symbol, const QColor& colour, QLabel* text) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(tintedSymbolLabel(symbol, colour, 16, row), 0, Qt::AlignTop);
    text->setWordWrap(true);
    QPalette palette = text->palette();
    palette.setColor(QPalette::WindowText, colour);
    text->setPalette(palette);
    layout->addWidget(text, 1);
    return row;
}

QWidget* stack(int spacing, QVBoxLayout*& layout) {
    auto* view = new QWidget;
    layout = new QVBoxLayout(view);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return view;
}

}  // namespace

ConversionSettings ExportSheet::defaultSettings() {
    ConversionSettings s;
    s.format = OutputFormat::proRes422HQ;
    return s;
}

bool ExportSheet::isOffered(OutputFormat format) { return isWritable(format); }

ConversionSettings ExportSheet::loadSettings(const SettingsStore& store) {
    const std::optional<QString> stored = store.text(kSettingsKey);
    if (!stored) return defaultSettings();
    try {
        const ConversionSettings s = ConversionSettings::fromJsonText(stored->toStdString());
        return isOffered(s.format) ? s : defaultSettings();
    } catch (const std::exception&) {
        return defaultSettings();
    }
}

void ExportSheet::saveSettings(SettingsStore& store, const ConversionSettings& settings) {
    try {
        store.setText(kSettingsKey, QString::fromStdString(settings.toJson().dump()));
    } catch (const std::exception&) {
        // A record JSON cannot hold (a non-finite scale) is simply not remembered.
    }
}

bool ExportSheet::alphaWarningApplies(const Project& project, OutputFormat format) {
    return project.transparentBackground && !supportsAlpha(format);
}

QString ExportSheet::projectSummary(const Project& project) {
    return QStringLiteral("%1×%2 · %3")
        .arg(qlonglong(project.width))
        .arg(qlonglong(project.height))
        .arg(formatTimecode(project.duration(), project.frameRate));
}

QString ExportSheet::progressText(const TranscodeProgress& progress) {
    const auto finite = [](double v) { return std::isfinite(v) ? v : 0.0; };
    return QString::asprintf("%.0f%% · %.0f fps", finite(progress.fraction) * 100, finite(progress.framesPerSecond));
}

QString ExportSheet::missingMediaText(const QStringList& names) {
    return tr("These files can't be found, so their clips will be left out: %1").arg(names.join(QStringLiteral(", ")));
}

QString ExportSheet::unreadableMediaText(const QStringList& names) {
    return tr("These files are there but can't be read, so the export would stop: %1").arg(names.join(QStringLiteral(", ")));
}

QString ExportSheet::leftOutText(const QStringList& names) {
    return tr("These files couldn't be found, so their clips were left out: %1").arg(names.join(QStringLiteral(", ")));
}

QString ExportSheet::outputName() const {
    const QString base = model_.projectURL().isEmpty() ? tr("Untitled") : QFileInfo(model_.projectURL()).completeBaseName();
    return base + QLatin1Char('_') + QString::fromUtf8(fileTag(settings_.format).data(), qsizetype(fileTag(settings_.format).size()));
}

ExportSheet::ExportSheet(EditorModel& model, QWidget* parent) : QDialog(parent), model_(model) {
    settings_ = loadSettings(SettingsStore());
    setWindowTitle(tr("Export"));
    setWindowModality(Qt::WindowModal);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(16);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    auto* title = new QLabel(tr("Export"));
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.35);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    layout->addWidget(title);

    buildSettingsView();
    buildProgressView();
    buildResultView();
    // 440 wide with the margins; the height follows the state shown.
    for (QWidget* view : {settingsView_, progressView_, resultView_}) {
        view->setFixedWidth(400);
        layout->addWidget(view);
    }

    connect(&model_, &EditorModel::isExportingChanged, this, &ExportSheet::refresh);
    connect(&model_, &EditorModel::exportProgressChanged, this, &ExportSheet::refresh);
    connect(&model_, &EditorModel::exportResultChanged, this, &ExportSheet::refresh);
    connect(&model_, &EditorModel::exportErrorChanged, this, &ExportSheet::refresh);
    connect(&model_, &EditorModel::projectChanged, this, &ExportSheet::refresh);
    connect(&model_, &EditorModel::infosChanged, this, &ExportSheet::refresh);
    // A file deleted since the project was opened is named here like one missing then.
    model_.checkTimelineMedia();
    refresh();
}

void ExportSheet::buildSettingsView() {
    QVBoxLayout* layout = nullptr;
    settingsView_ = stack(14, layout);
    auto* formHost = new QWidget;
    form_ = new QFormLayout(formHost);
    form_->setContentsMargins(0, 0, 0, 0);
    form_->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    layout->addWidget(formHost);

    format_ = new QComboBox;
    fillOutputFormatPicker(format_, &ExportSheet::isOffered, UnofferedFormats::hidden);
    form_->addRow(tr("Format"), format_);
    connect(format_, &QComboBox::activated, this, [this](int index) {
        if (const auto f = pickerOption<OutputFormat>(format_, index)) settings_.format = *f;
        refresh();
    });

    formatSummary_ = new QLabel;
    formatSummary_->setWordWrap(true);
    formatSummary_->setFont(captionFont(font()));
    formatSummary_->setForegroundRole(QPalette::PlaceholderText);
    form_->addRow(QString(), formatSummary_);

    chunks_ = new QComboBox;
    fillChunkCountPicker(chunks_);
    form_->addRow(tr("Chunks"), chunks_);
    connect(chunks_, &QComboBox::activated, this,
            [this](int index) { settings_.hapChunks = chunks_->itemData(index).toInt(); });

    highQuality_ = new QCheckBox(tr("Best texture quality (slower)"));
    form_->addRow(QString(), highQuality_);
    connect(highQuality_, &QCheckBox::toggled, this, [this](bool on) { settings_.hapHighQuality = on; });

    quality_ = new QComboBox;
    for (DeliveryQuality q : kQualities) pickerOptionRow(quality_, q, tr(label(q).data()));
    form_->addRow(tr("Quality"), quality_);
    connect(quality_, &QComboBox::activated, this, [this](int index) {
        if (const auto q = pickerOption<DeliveryQuality>(quality_, index)) settings_.deliveryQuality = *q;
    });

    sizeControls_ = new OutputSizeControls(
        form_, [this] { return settings_; }, [this](const ConversionSettings& s) { settings_ = s; }, this);

    includeAudio_ = new QCheckBox(tr("Include audio"));
    form_->addRow(QString(), includeAudio_);
    connect(includeAudio_, &QCheckBox::toggled, this, [this](bool on) { settings_.includeAudio = on; });

    auto* warning = new QLabel(tr("This format has no alpha channel; transparent areas become black."));
    warning->setFont(captionFont(font()));
    alphaWarning_ = symbolRow(QStringLiteral("exclamationmark.triangle"), kOrange, warning);
    form_->addRow(QString(), alphaWarning_);

    missingText_ = new QLabel;
    missingText_->setFont(captionFont(font()));
    missingWarning_ = symbolRow(QStringLiteral("exclamationmark.triangle"), kOrange, missingText_);
    form_->addRow(QString(), missingWarning_);

    errorText_ = new QLabel;
    errorText_->setFont(calloutFont(font()));
    errorText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    errorRow_ = symbolRow(QStringLiteral("xmark.octagon.fill"), kRed, errorText_);
    layout->addWidget(errorRow_);

    auto* buttons = new QHBoxLayout;
    projectSummary_ = new QLabel;
    projectSummary_->setFont(captionFont(font()));
    projectSummary_->setForegroundRole(QPalette::PlaceholderText);
    projectSummary_->setToolTip(tr("Project size and length"));
    buttons->addWidget(projectSummary_);
    buttons->addStretch(1);
    cancel_ = new QPushButton(tr("Cancel"));
    cancel_->setAutoDefault(false);
    export_ = new QPushButton(tr("Export…"));
    export_->setDefault(true);
    buttons->addWidget(cancel_);
    buttons->addWidget(export_);
    layout->addLayout(buttons);
    connect(cancel_, &QPushButton::clicked, this, &ExportSheet::closeSheet);
    connect(export_, &QPushButton::clicked, this, &ExportSheet::exportTimeline);
}

void ExportSheet::buildProgressView() {
    QVBoxLayout* layout = nullptr;
    progressView_ = stack(10, layout);
    bar_ = new QProgressBar;
    bar_->setRange(0, 1000);
    bar_->setTextVisible(false);
    layout->addWidget(bar_);
    auto* row = new QHBoxLayout;
    progressLine_ = new QLabel;
    progressLine_->setFont(digitsFont(font()));
    progressLine_->setForegroundRole(QPalette::PlaceholderText);
    row->addWidget(progressLine_);
    row->addStretch(1);
    stop_ = new QPushButton(tr("Stop"));
    stop_->setAutoDefault(false);
    row->addWidget(stop_);
    layout->addLayout(row);
    connect(stop_, &QPushButton::clicked, &model_, &EditorModel::cancelExport);
}

void ExportSheet::buildResultView() {
    QVBoxLayout* layout = nullptr;
    resultView_ = stack(12, layout);
    resultName_ = new QLabel;
    layout->addWidget(symbolRow(QStringLiteral("checkmark.circle.fill"), kGreen, resultName_));
    leftOutText_ = new QLabel;
    leftOutText_->setFont(captionFont(font()));
    leftOutRow_ = symbolRow(QStringLiteral("exclamationmark.triangle"), kOrange, leftOutText_);
    layout->addWidget(leftOutRow_);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    reveal_ = new QPushButton(tr("Show in File Manager"));
    reveal_->setAutoDefault(false);
    done_ = new QPushButton(tr("Done"));
    row->addWidget(reveal_);
    row->addWidget(done_);
    layout->addLayout(row);
    connect(reveal_, &QPushButton::clicked, this, [this] {
        if (model_.exportResult()) model_.desktop().revealInFileManager({*model_.exportResult()});
    });
    connect(done_, &QPushButton::clicked, this, &ExportSheet::closeSheet);
}

void ExportSheet::setRowVisible(QWidget* field, bool visible) { form_->setRowVisible(field, visible); }

void ExportSheet::refresh() {
    const bool exporting = model_.isExporting();
    const bool done = !exporting && model_.exportResult().has_value();
    settingsView_->setVisible(!exporting && !done);
    progressView_->setVisible(exporting);
    resultView_->setVisible(done);
    // Return presses the visible view's main button; the progress view has none.
    export_->setDefault(!exporting && !done);
    done_->setDefault(done);

    const OutputFormat f = settings_.format;
    {
        const QSignalBlocker b1(format_), b2(chunks_), b3(highQuality_), b4(quality_), b5(includeAudio_);
        selectPickerOption(format_, f);
        chunks_->setCurrentIndex(std::max(0, chunks_->findData(settings_.hapChunks)));
        highQuality_->setChecked(settings_.hapHighQuality);
        selectPickerOption(quality_, settings_.deliveryQuality);
        includeAudio_->setChecked(settings_.includeAudio);
    }
    formatSummary_->setText(QCoreApplication::translate("OutputFormat", summary(f).data()));
    setRowVisible(chunks_, isHap(f));
    setRowVisible(highQuality_, isGPU(f));
    setRowVisible(quality_, isDelivery(f));
    includeAudio_->setEnabled(!isImageSequence(f));
    const Project& project = model_.project();
    setRowVisible(alphaWarning_, alphaWarningApplies(project, f));
    sizeControls_->setSourceSize(std::pair{project.width, project.height});
    sizeControls_->refresh();
    projectSummary_->setText(projectSummary(project));
    QStringList warnings;
    if (const QStringList missing = model_.missingTimelineMedia(); !missing.isEmpty())
        warnings.append(missingMediaText(missing));
    if (const QStringList unreadable = model_.unreadableTimelineMedia(); !unreadable.isEmpty())
        warnings.append(unreadableMediaText(unreadable));
    setRowVisible(missingWarning_, !warnings.isEmpty());
    missingText_->setText(warnings.join(QLatin1Char('\n')));

    errorRow_->setVisible(model_.exportError().has_value());
    errorText_->setText(model_.exportError().value_or(QString()));

    const TranscodeProgress& progress = model_.exportProgress();
    bar_->setValue(std::isfinite(progress.fraction) ? int(std::lround(std::clamp(progress.fraction, 0.0, 1.0) * 1000)) : 0);
    progressLine_->setText(progressText(progress));
    resultName_->setText(model_.exportResult() ? QFileInfo(*model_.exportResult()).fileName() : QString());
    const QStringList& leftOut = model_.exportLeftOut();
    leftOutRow_->setVisible(done && !leftOut.isEmpty());
    leftOutText_->setText(done && !leftOut.isEmpty() ? leftOutText(leftOut) : QString());
}

void ExportSheet::exportTimeline() {
    SettingsStore store;
    saveSettings(store, settings_);
    store.sync();
    const QString name = outputName();
    DesktopServices& desktop = model_.desktop();
    QString destination;
    if (isImageSequence(settings_.format)) {
        OpenPanelRequest request;
        request.prompt = tr("Export Here");
        request.canChooseFiles = false;
        request.canChooseDirectories = true;
        request.canCreateDirectories = true;
        request.kind = PanelKind::editorExport;
        request.documentDirectory = model_.panelFolder();
        const QStringList chosen = desktop.runOpenPanel(request);
        if (chosen.isEmpty() || chosen.first().isEmpty()) return;
        // A folder of an earlier export is never written into: the export takes " 2", " 3" ...
        destination = QDir(chosen.first()).filePath(name);
    } else {
        const QString extension = QString::fromUtf8(fileExtension(settings_.format).data(), qsizetype(fileExtension(settings_.format).size()));
        SavePanelRequest request;
        request.suggestedName = name + QLatin1Char('.') + extension;
        request.allowedExtensions = {extension};
        request.kind = PanelKind::editorExport;
        request.documentDirectory = model_.panelFolder();
        const std::optional<QString> chosen = desktop.runSavePanel(request);
        if (!chosen || chosen->isEmpty()) return;
        destination = *chosen;
    }
    model_.startExport(settings_, destination);
}

void ExportSheet::closeSheet() {
    model_.setExportResult(std::nullopt);
    model_.setExportError(std::nullopt);
    QDialog::reject();
}

void ExportSheet::dismiss() {
    dismissing_ = true;
    QDialog::reject();
}

void ExportSheet::reject() {
    if (model_.isExporting()) return;
    closeSheet();
}

void ExportSheet::closeEvent(QCloseEvent* event) {
    if (model_.isExporting() && !dismissing_) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

}  // namespace qm
