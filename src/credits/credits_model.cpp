#include "credits/credits_model.h"

#include <algorithm>
#include <cmath>
#include <set>

#include <QDir>
#include <QFileInfo>
#include <QThreadPool>

#include "core/conversion_error.h"
#include "core/output_format.h"
#include "credits/logo_keying.h"
#include "credits/strip_builder.h"
#include "platform/system/bookmarks.h"
#include "platform/system/desktop_services.h"
#include "platform/system/model_support.h"
#include "platform/system/package_copy.h"
#include "platform/system/staged_folder.h"

namespace qm {

namespace {

const QString kSettingsKey = QStringLiteral("creditsSettings");
const QString kOutputKey = QStringLiteral("creditsOutput");
constexpr int kStripDelayMs = 200;

// Settings the strip's layout depends on; the rest only change the renderer.
bool stripInputsDiffer(const CreditsSettings& a, const CreditsSettings& b) {
    return a.width != b.width || a.contentWidthPercent != b.contentWidthPercent ||
           a.textScalePercent != b.textScalePercent || a.textColorMode != b.textColorMode ||
           !(a.textColor == b.textColor) || a.fontFamily != b.fontFamily || a.logoMode != b.logoMode ||
           a.logoOuterOnly != b.logoOuterOnly || a.chineseConversion != b.chineseConversion ||
           a.skipLeadingLines != b.skipLeadingLines;
}

}  // namespace

// --- Construction --------------------------------------------------------------------------------

CreditsModel::CreditsModel(QObject* parent) : CreditsModel(Environment{}, parent) {}

CreditsModel::CreditsModel(Environment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)) {
    if (!environment_.buildStrip) environment_.buildStrip = ::qm::buildStrip;
    if (!environment_.clock) environment_.clock = [] { return std::chrono::steady_clock::now(); };
    stripPool_ = new QThreadPool(this);
    stripPool_->setMaxThreadCount(2);
    renderPool_ = new QThreadPool(this);
    renderPool_->setMaxThreadCount(2);
    exportPool_ = new QThreadPool(this);
    exportPool_->setMaxThreadCount(1);

    stripTimer_.setSingleShot(true);
    stripTimer_.setInterval(kStripDelayMs);
    connect(&stripTimer_, &QTimer::timeout, this, &CreditsModel::startStripBuild);
    playTimer_.setSingleShot(true);
    playTimer_.setTimerType(Qt::PreciseTimer);
    connect(&playTimer_, &QTimer::timeout, this, [this] { playStep(playGeneration_); });

    loadStored();
    rebuildRenderer();
}

CreditsModel::~CreditsModel() {
    cancelExport();
    stripTimer_.stop();
    playTimer_.stop();
    ++playGeneration_;
    ++stripGeneration_;
    newestStrip_->store(stripGeneration_);
    exportPool_->waitForDone();
    stripPool_->waitForDone();
    renderPool_->waitForDone();
}

ConversionSettings CreditsModel::defaultOutput() {
    ConversionSettings output;
    output.format = OutputFormat::proRes422HQ;
    output.deliveryQuality = DeliveryQuality::high;
    output.outputSize = OutputSize::original;
    output.scalePercent = 50;
    output.hapChunks = 0;
    output.hapHighQuality = false;
    output.includeAudio = true;
    return output;
}

bool CreditsModel::isUsable(const ConversionSettings& output) {
    return isWritable(output.format);
}

void CreditsModel::loadStored() {
    if (const auto text = environment_.store.text(kSettingsKey)) {
        try {
            settings_ = CreditsSettings::fromJsonText(text->toStdString());
        } catch (const std::exception&) {
            settings_ = CreditsSettings{};
        }
    }
    output_ = defaultOutput();
    if (const auto text = environment_.store.text(kOutputKey)) {
        try {
            const ConversionSettings stored = ConversionSettings::fromJsonText(text->toStdString());
            if (isUsable(stored)) output_ = stored;
        } catch (const std::exception&) {
        }
    }
}

DesktopServices& CreditsModel::desktop() const {
    return environment_.desktop ? *environment_.desktop : desktopServices();
}

std::chrono::steady_clock::time_point CreditsModel::now() const { return environment_.clock(); }

// --- Plain property assignments ------------------------------------------------------------------

void CreditsModel::setHeadURL(const QString& path) { assignAndNotify(this, headURL_, path, &CreditsModel::headURLChanged); }
void CreditsModel::setTailURL(const QString& path) { assignAndNotify(this, tailURL_, path, &CreditsModel::tailURLChanged); }
void CreditsModel::setDocumentURL(const QString& path) {
    assignAndNotify(this, documentURL_, path, &CreditsModel::documentURLChanged);
}
void CreditsModel::setHeadImage(const QImage& image) {
    assignAndNotify(this, headImage_, image, &CreditsModel::headImageChanged);
}
void CreditsModel::setTailImage(const QImage& image) {
    assignAndNotify(this, tailImage_, image, &CreditsModel::tailImageChanged);
}
void CreditsModel::setHeadKeyed(const QImage& image) {
    assignAndNotify(this, headKeyed_, image, &CreditsModel::headKeyedChanged);
}
void CreditsModel::setTailKeyed(const QImage& image) {
    assignAndNotify(this, tailKeyed_, image, &CreditsModel::tailKeyedChanged);
}
void CreditsModel::setStrip(std::optional<CreditsStrip> strip) {
    strip_ = std::move(strip);
    emit stripChanged();
}
void CreditsModel::setIsBuildingStrip(bool value) {
    assignAndNotify(this, isBuildingStrip_, value, &CreditsModel::isBuildingStripChanged);
}
void CreditsModel::setErrorMessage(const std::optional<QString>& message) {
    assignAndNotify(this, errorMessage_, message, &CreditsModel::errorMessageChanged);
}
void CreditsModel::setConversionOverrides(const ChineseConverter::Overrides& overrides) {
    assignAndNotify(this, conversionOverrides_, overrides, &CreditsModel::conversionOverridesChanged);
}
void CreditsModel::setIsReviewingChoices(bool value) {
    assignAndNotify(this, isReviewingChoices_, value, &CreditsModel::isReviewingChoicesChanged);
}
void CreditsModel::setReviewPending(bool value) {
    assignAndNotify(this, reviewPending_, value, &CreditsModel::reviewPendingChanged);
}
void CreditsModel::setProjectURL(const QString& path) {
    assignAndNotify(this, projectURL_, path, &CreditsModel::projectURLChanged);
}
void CreditsModel::setProjectMessage(const std::optional<QString>& message) {
    assignAndNotify(this, projectMessage_, message, &CreditsModel::projectMessageChanged);
}
void CreditsModel::setLastPackageURL(const QString& path) {
    assignAndNotify(this, lastPackageURL_, path, &CreditsModel::lastPackageURLChanged);
}
void CreditsModel::setRenderer(std::shared_ptr<const CreditsRenderer> renderer) {
    renderer_ = std::move(renderer);
    emit rendererChanged();
}
void CreditsModel::setPlayhead(double seconds) {
    assignAndNotify(this, playhead_, seconds, &CreditsModel::playheadChanged);
}
void CreditsModel::setIsPlaying(bool value) { assignAndNotify(this, isPlaying_, value, &CreditsModel::isPlayingChanged); }
void CreditsModel::setPreview(const QImage& image) { assignAndNotify(this, preview_, image, &CreditsModel::previewChanged); }
void CreditsModel::setStripGeneration(int64_t value) {
    assignAndNotify(this, stripGeneration_, value, &CreditsModel::stripGenerationChanged);
    newestStrip_->store(value);
}
void CreditsModel::setIsExporting(bool value) {
    assignAndNotify(this, isExporting_, value, &CreditsModel::isExportingChanged);
}
void CreditsModel::setExportProgress(const TranscodeProgress& progress) {
    assignAndNotify(this, exportProgress_, progress, &CreditsModel::exportProgressChanged);
}
void CreditsModel::setExportResult(const QString& path) {
    assignAndNotify(this, exportResult_, path, &CreditsModel::exportResultChanged);
}
void CreditsModel::setExportError(const std::optional<QString>& message) {
    assignAndNotify(this, exportError_, message, &CreditsModel::exportErrorChanged);
}
void CreditsModel::setExporter(std::shared_ptr<CreditsExporter> exporter) {
    exporter_ = std::move(exporter);
    emit exporterChanged();
}

// --- Settings and output -------------------------------------------------------------------------

void CreditsModel::setSettings(const CreditsSettings& settings) {
    const CreditsSettings old = settings_;
    settings_ = settings;
    if (settings_ == old) return;
    emit settingsChanged();
    saveSettings();
    if (old.chineseConversion != settings_.chineseConversion) {
        setConversionOverrides({});
        setReviewPending(settings_.chineseConversion != ChineseConverter::Direction::none);
    }
    if (stripInputsDiffer(old, settings_)) rebuildStrip();
    if (!(old.head == settings_.head) && !headKeyed_.isNull()) setHeadKeyed(QImage());
    if (!(old.tail == settings_.tail) && !tailKeyed_.isNull()) setTailKeyed(QImage());
    rebuildRenderer();
}

void CreditsModel::saveSettings() {
    try {
        environment_.store.setText(kSettingsKey, QString::fromStdString(settings_.toJson().dump()));
    } catch (const std::exception&) {
        // A non-finite number cannot be stored; the previous text stays.
    }
}

void CreditsModel::setOutput(const ConversionSettings& output) {
    const bool changed = !(output == output_);
    output_ = output;
    try {
        environment_.store.setText(kOutputKey, QString::fromStdString(output_.toJson().dump()));
    } catch (const std::exception&) {
    }
    if (changed) emit outputChanged();
}

// --- Derived -------------------------------------------------------------------------------------

bool CreditsModel::hasContent() const { return !headImage_.isNull() || !tailImage_.isNull() || strip_.has_value(); }

std::vector<ChineseConverter::Choice> CreditsModel::uncertainChoices() const {
    std::vector<ChineseConverter::Choice> choices;
    if (!strip_) return choices;
    for (const auto& choice : strip_->choices) {
        if (!choice.byPhrase) choices.push_back(choice);
    }
    return choices;
}

double CreditsModel::length() const { return renderer_ ? renderer_->totalSeconds() : 0; }

// --- Strip ---------------------------------------------------------------------------------------

void CreditsModel::rebuildStrip() {
    if (documentURL_.isEmpty()) return;
    stripTimer_.stop();
    setStripGeneration(stripGeneration_ + 1);
    pendingStrip_ = StripRequest{stripGeneration_, toPath(documentURL_), settings_, conversionOverrides_};
    setIsBuildingStrip(true);
    stripTimer_.start();
}

void CreditsModel::startStripBuild() {
    if (!pendingStrip_ || pendingStrip_->generation != stripGeneration_) return;
    StripRequest request = std::move(*pendingStrip_);
    pendingStrip_.reset();
    const StripBuilder builder = environment_.buildStrip;
    const std::shared_ptr<std::atomic<int64_t>> newest = newestStrip_;
    stripPool_->start([this, request, builder, newest] {
        // A build made stale while it waited for a thread is not started; one that started runs on.
        if (newest->load() != request.generation) return;
        std::optional<CreditsStrip> strip;
        QString error;
        try {
            strip = builder(request.file, request.settings, request.overrides);
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
        } catch (...) {
        }
        if (error.isEmpty() && !strip) error = QStringLiteral("The credits list couldn't be laid out.");
        postTo(this, [this, generation = request.generation, strip, error] { stripBuilt(generation, strip, error); });
    });
}

void CreditsModel::stripBuilt(int64_t generation, std::optional<CreditsStrip> strip, QString error) {
    if (generation != stripGeneration_) return;
    setIsBuildingStrip(false);
    if (!error.isEmpty()) {
        setStrip(std::nullopt);
        setDocumentURL(QString());
        setErrorMessage(error);
    } else {
        setStrip(std::move(strip));
        if (reviewPending_) {
            setReviewPending(false);
            if (!strip_->choices.empty()) setIsReviewingChoices(true);
        }
    }
    rebuildRenderer();
}

// --- Inputs --------------------------------------------------------------------------------------

void CreditsModel::loadPicture(const QString& path, Slot slot) {
    startAccessing(path);
    const QImage image = loadImageFile(toPath(path));
    if (image.isNull()) {
        setErrorMessage(tr("%1 isn't a picture that can be read.").arg(QFileInfo(path).fileName()));
        return;
    }
    if (slot == Slot::closing) {
        setTailURL(path);
        setTailImage(image);
        setTailKeyed(QImage());
    } else {
        setHeadURL(path);
        setHeadImage(image);
        setHeadKeyed(QImage());
    }
    rebuildRenderer();
}

void CreditsModel::chooseDocument() {
    OpenPanelRequest request;
    request.message = tr("Choose a Word (.docx) or PDF file with the credits");
    request.allowedContentTypes = {PanelContentType::creditsDocument};
    request.kind = PanelKind::creditsDocument;
    request.documentDirectory = panelFolder();
    const QStringList chosen = desktop().runOpenPanel(request);
    if (!chosen.isEmpty()) loadDocument(chosen.first(), true);
}

void CreditsModel::loadDocument(const QString& path, bool review) {
    const QString extension = QFileInfo(path).suffix().toLower();
    if (extension != QLatin1String("docx") && extension != QLatin1String("pdf")) {
        setErrorMessage(tr("Use a Word (.docx) or PDF file. Older .doc files: save them as .docx in Word first."));
        return;
    }
    startAccessing(path);
    setDocumentURL(path);
    setConversionOverrides({});
    setReviewPending(review && settings_.chineseConversion != ChineseConverter::Direction::none);
    rebuildStrip();
}

void CreditsModel::removeDocument() {
    setDocumentURL(QString());
    setConversionOverrides({});
    setStrip(std::nullopt);
    stripTimer_.stop();
    pendingStrip_.reset();
    // A build already running must not bring the strip (or its error) back.
    setStripGeneration(stripGeneration_ + 1);
    setIsBuildingStrip(false);
    rebuildRenderer();
}

void CreditsModel::choose(const std::string& option, const ChineseConverter::Choice& choice, bool applyToSame) {
    ChineseConverter::Overrides overrides = conversionOverrides_;
    std::vector<int> targets;
    if (!applyToSame) {
        targets.push_back(choice.id);
    } else if (strip_) {
        for (const auto& candidate : strip_->choices) {
            if (candidate.source == choice.source &&
                std::find(candidate.options.begin(), candidate.options.end(), option) != candidate.options.end()) {
                targets.push_back(candidate.id);
            }
        }
    }
    if (targets.empty()) return;
    for (int id : targets) overrides[id] = option;
    if (overrides == conversionOverrides_) return;
    setConversionOverrides(overrides);
    rebuildStrip();
}

}  // namespace qm
