#include "credits/credits_model.h"

#include <algorithm>
#include <cmath>
#include <set>

#include <QDir>
#include <QFile>
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
const QString kProjectExtension = QStringLiteral("qmcredits");
constexpr int kStripDelayMs = 200;
constexpr double kPlaybackStep = 1.0 / 60.0;

QString cleanAbsolute(const QString& path) { return QDir::cleanPath(QFileInfo(path).absoluteFilePath()); }

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

// --- Renderer, preview and playback --------------------------------------------------------------

void CreditsModel::rebuildRenderer() {
    if (headKeyed_.isNull() && !headImage_.isNull()) setHeadKeyed(keySlotPicture(headImage_, settings_.head));
    if (tailKeyed_.isNull() && !tailImage_.isNull()) setTailKeyed(keySlotPicture(tailImage_, settings_.tail));
    setRenderer(std::make_shared<const CreditsRenderer>(settings_, headKeyed_, strip_, tailKeyed_));
    if (playhead_ > length()) setPlayhead(length());
    requestRender();
}

void CreditsModel::requestRender() {
    if (isPlaying_) return;
    renderPending_ = true;
    if (!renderInFlight_) startStillRender();
}

void CreditsModel::startStillRender() {
    if (!renderPending_) return;
    renderPending_ = false;
    if (!renderer_) return;
    renderInFlight_ = true;
    const std::shared_ptr<const CreditsRenderer> renderer = renderer_;
    const double time = playhead_;
    renderPool_->start([this, renderer, time] {
        const QImage image = renderer->previewImage(false, time, kPreviewWidth, kPreviewHeight);
        postTo(this, [this, image] {
            renderInFlight_ = false;
            setPreview(image);
            startStillRender();
        });
    });
}

void CreditsModel::seek(double seconds) {
    setPlayhead(std::max(0.0, std::min(seconds, length())));
    requestRender();
}

void CreditsModel::play() {
    const double total = length();
    if (!renderer_ || !(total > 0) || isPlaying_) return;
    if (playhead_ >= total - 0.05) setPlayhead(0);
    setIsPlaying(true);
    ++playGeneration_;
    playStart_ = playhead_;
    playStartTime_ = now();
    playStep(playGeneration_);
}

void CreditsModel::playStep(uint64_t generation) {
    if (generation != playGeneration_ || !isPlaying_) return;
    if (!renderer_) {
        pause();
        return;
    }
    const double total = length();
    const double t = playStart_ + std::chrono::duration<double>(now() - playStartTime_).count();
    if (t >= total) {
        setPlayhead(total);
        pause();
        return;
    }
    setPlayhead(t);
    const std::shared_ptr<const CreditsRenderer> renderer = renderer_;
    renderPool_->start([this, renderer, t, generation] {
        const QImage image = renderer->previewImage(true, t, kPreviewWidth, kPreviewHeight);
        postTo(this, [this, generation, image] { playFrameRendered(generation, image); });
    });
}

void CreditsModel::playFrameRendered(uint64_t generation, QImage image) {
    if (generation != playGeneration_ || !isPlaying_) return;
    if (!image.isNull()) setPreview(image);
    // The next frame falls on the 60 Hz grid counted from the start; a slow render skips frames.
    const double e1 = std::chrono::duration<double>(now() - playStartTime_).count();
    const double e2 = std::chrono::duration<double>(now() - playStartTime_).count();
    const double wait = (std::floor(e1 / kPlaybackStep) + 1) * kPlaybackStep - e2;
    const int waitMs = wait > 0 ? int(std::ceil(wait * 1000)) : 0;
    playTimer_.start(waitMs);
}

void CreditsModel::pause() {
    ++playGeneration_;
    playTimer_.stop();
    setIsPlaying(false);
    requestRender();
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

// --- Export --------------------------------------------------------------------------------------

QString CreditsModel::exportName() const {
    const QString base = documentURL_.isEmpty() ? tr("End Credits") : QFileInfo(documentURL_).completeBaseName();
    return QStringLiteral("%1_%2x%3_%4")
        .arg(base)
        .arg(settings_.width)
        .arg(settings_.height)
        .arg(QString::fromUtf8(fileTag(output_.format).data(), qsizetype(fileTag(output_.format).size())));
}

QString CreditsModel::projectName() const {
    return projectURL_.isEmpty() ? QString() : QFileInfo(projectURL_).completeBaseName();
}

QString CreditsModel::defaultBaseName() const {
    if (!projectURL_.isEmpty()) return projectName();
    if (!documentURL_.isEmpty()) return QFileInfo(documentURL_).completeBaseName();
    return tr("End Credits");
}

void CreditsModel::revealPackage() {
    if (!lastPackageURL_.isEmpty()) desktop().revealInFileManager({lastPackageURL_});
}

void CreditsModel::exportCredits() {
    // A second export would be refused anyway; asking for its destination first would only
    // throw the answer away.
    if (isExporting_ || !renderer_ || !(length() > 0)) return;
    pause();
    const QString name = exportName();
    QString destination;
    if (isImageSequence(output_.format)) {
        OpenPanelRequest request;
        request.canChooseFiles = false;
        request.canChooseDirectories = true;
        request.canCreateDirectories = true;
        request.prompt = tr("Export Here");
        const QStringList chosen = desktop().runOpenPanel(request);
        if (chosen.isEmpty()) return;
        destination = QDir(chosen.first()).filePath(name);
    } else {
        const bool mp4 = output_.format == OutputFormat::h264 || output_.format == OutputFormat::hevc;
        const QString extension = mp4 ? QStringLiteral("mp4") : QStringLiteral("mov");
        SavePanelRequest request;
        request.suggestedName = name + QLatin1Char('.') + extension;
        request.allowedExtensions = {extension};
        const auto chosen = desktop().runSavePanel(request);
        if (!chosen || chosen->isEmpty()) return;
        destination = *chosen;
    }
    startExport(destination);
}

void CreditsModel::startExport(const QString& destination) {
    if (isExporting_ || !renderer_) return;
    const ConversionSettings output = output_;
    setIsExporting(true);
    setExportResult(QString());
    setExportError(std::nullopt);
    setExportProgress(TranscodeProgress{});
    const uint64_t generation = ++exportGeneration_;
    std::shared_ptr<CreditsExporter> exporter;
    try {
        auto renderer = std::make_shared<const CreditsRenderer>(renderer_->settings(), headKeyed_, strip_, tailKeyed_);
        exporter = std::make_shared<CreditsExporter>(std::move(renderer), output, toPath(destination));
    } catch (const std::exception& e) {
        exportFinished(generation, QString::fromUtf8(e.what()), false);
        return;
    }
    setExporter(exporter);
    exportPool_->start([this, exporter, generation, destination] {
        std::optional<QString> error;
        bool cancelled = false;
        try {
            exporter->exportCredits([this, generation](const TranscodeProgress& progress) {
                postTo(this, [this, generation, progress] {
                    // Reports of an earlier export never overwrite a newer one's.
                    if (generation == exportGeneration_) setExportProgress(progress);
                });
            });
        } catch (const ConversionError& e) {
            if (e.kind() == ConversionError::Kind::cancelled) {
                cancelled = true;
            } else {
                error = QString::fromStdString(e.description());
            }
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
        }
        postTo(this, [this, generation, error, cancelled, destination] {
            if (generation != exportGeneration_) return;
            if (!error && !cancelled) setExportResult(destination);
            exportFinished(generation, error, cancelled);
        });
    });
}

void CreditsModel::exportFinished(uint64_t generation, std::optional<QString> error, bool cancelled) {
    if (generation != exportGeneration_) return;
    setExportError(cancelled ? std::nullopt : error);
    setIsExporting(false);
    setExporter(nullptr);
}

void CreditsModel::cancelExport() {
    if (exporter_) exporter_->cancellation().set();
}

// --- Projects ------------------------------------------------------------------------------------

CreditsProject CreditsModel::makeProject(const QString& folder) const {
    CreditsProject project;
    project.version = 1;
    project.settings = settings_;
    project.output = output_;
    project.conversionOverrides = CreditsProject::storedOverrides(conversionOverrides_);
    project.head = CreditsProject::FileReference::make(headURL_, folder);
    project.tail = CreditsProject::FileReference::make(tailURL_, folder);
    project.document = CreditsProject::FileReference::make(documentURL_, folder);
    return project;
}

QString CreditsModel::resolveReference(const std::optional<CreditsProject::FileReference>& reference,
                                       const QString& folder, QStringList& missing) {
    if (!reference) return {};
    QString file = CreditsProject::FileReference::resolve(reference, folder);
    if (file.isEmpty()) missing.append(QString::fromStdString(reference->name));
    return file;
}

void CreditsModel::clearPicture(Slot slot) {
    if (slot == Slot::closing) {
        setTailURL(QString());
        setTailImage(QImage());
        setTailKeyed(QImage());
    } else {
        setHeadURL(QString());
        setHeadImage(QImage());
        setHeadKeyed(QImage());
    }
    rebuildRenderer();
}

void CreditsModel::newProject() {
    pause();
    clearPicture(Slot::opening);
    clearPicture(Slot::closing);
    removeDocument();
    setProjectURL(QString());
    setProjectMessage(std::nullopt);
    setErrorMessage(std::nullopt);
}

void CreditsModel::openProject(const QString& path) {
    QString folder = cleanAbsolute(path);
    const QFileInfo given(folder);
    if (given.fileName() == QLatin1String("project.json") && !given.isDir()) folder = given.absolutePath();
    startAccessing(folder);
    CreditsProject project;
    try {
        project = CreditsProject::readPackage(folder);
    } catch (const std::exception& e) {
        setErrorMessage(tr("%1 couldn't be opened: %2").arg(QFileInfo(folder).fileName(), QString::fromUtf8(e.what())));
        return;
    }
    pause();
    QStringList missing;
    const QString head = resolveReference(project.head, folder, missing);
    const QString tail = resolveReference(project.tail, folder, missing);
    const QString document = resolveReference(project.document, folder, missing);
    if (isUsable(project.output)) setOutput(project.output);
    setSettings(project.settings);
    clearPicture(Slot::opening);
    clearPicture(Slot::closing);
    if (!head.isEmpty()) loadPicture(head, Slot::opening);
    if (!tail.isEmpty()) loadPicture(tail, Slot::closing);
    if (!document.isEmpty()) {
        loadDocument(document, false);
    } else {
        removeDocument();
    }
    setConversionOverrides(project.overrides());
    setReviewPending(false);
    rebuildStrip();
    setProjectURL(folder);
    if (!missing.isEmpty()) {
        setErrorMessage(tr("Missing files: %1. Choose them again, then save the project.").arg(missing.join(QStringLiteral(", "))));
    }
}

void CreditsModel::openProjectPanel() {
    OpenPanelRequest request;
    request.allowedContentTypes = {PanelContentType::creditsProject};
    const QStringList chosen = desktop().runOpenPanel(request);
    if (!chosen.isEmpty()) openProject(chosen.first());
}

// Where the save and package panels start: beside the open project.
QString CreditsModel::projectFolder() const {
    return projectURL_.isEmpty() ? QString() : QFileInfo(projectURL_).absolutePath();
}

void CreditsModel::saveProject(bool saveAs) {
    QString target;
    if (!projectURL_.isEmpty() && !saveAs) {
        target = projectURL_;
    } else {
        SavePanelRequest request;
        request.suggestedName = defaultBaseName() + QLatin1Char('.') + kProjectExtension;
        request.allowedExtensions = {kProjectExtension};
        request.directory = projectFolder();
        const auto chosen = desktop().runSavePanel(request);
        if (!chosen || chosen->isEmpty()) return;
        target = cleanAbsolute(*chosen);
    }
    std::optional<StagedFolder> staged;
    try {
        const CreditsProject project = makeProject(target);
        const QFileInfo existing(target);
        if (target == projectURL_ || (!existing.exists() && !existing.isSymLink())) {
            project.writePackage(target);
        } else {
            // The item the user chose to replace goes only once the new project is complete;
            // inputs that lived inside it move along into the new one.
            staged.emplace(target);
            for (const QString* url : {&headURL_, &tailURL_, &documentURL_}) {
                if (url->isEmpty() || !cleanAbsolute(*url).startsWith(target + QLatin1Char('/'))) continue;
                const QString inside = QDir(target).relativeFilePath(cleanAbsolute(*url));
                const QString copy = QDir(staged->path()).filePath(inside);
                if (!QDir().mkpath(QFileInfo(copy).absolutePath()) || !QFile::copy(*url, copy)) {
                    throw std::runtime_error(tr("“%1” couldn’t be kept in the replaced project.")
                                                 .arg(QFileInfo(*url).fileName()).toStdString());
                }
            }
            project.writePackage(staged->path());
            staged->commit();
        }
    } catch (const std::exception& e) {
        setErrorMessage(staged ? staged->userText(QString::fromUtf8(e.what())) : QString::fromUtf8(e.what()));
        return;
    }
    setProjectURL(target);
    setLastPackageURL(QString());
    setProjectMessage(tr("Saved %1.").arg(QFileInfo(target).fileName()));
}

void CreditsModel::packageProject() {
    if (!hasContent()) return;
    SavePanelRequest request;
    request.suggestedName = defaultBaseName() + QLatin1Char(' ') + tr("Package") + QLatin1Char('.') + kProjectExtension;
    request.message = tr("The package holds the project and copies of its pictures and credits list.");
    request.allowedExtensions = {kProjectExtension};
    request.directory = projectFolder();
    const auto chosen = desktop().runSavePanel(request);
    if (!chosen || chosen->isEmpty()) return;
    const QString target = cleanAbsolute(*chosen);
    const QString media = QDir(target).filePath(QStringLiteral("Media"));

    // The package is built beside the target and swapped in whole, so that the current inputs
    // may come from the very package being replaced.
    QString* const urls[] = {&headURL_, &tailURL_, &documentURL_};
    QString copies[3];
    std::optional<StagedFolder> staged;
    try {
        staged.emplace(target);
        CreditsProject project = makeProject(target);
        std::optional<CreditsProject::FileReference>* const references[] = {&project.head, &project.tail, &project.document};
        std::set<QString> usedNames;
        for (int i = 0; i < 3; ++i) {
            if (urls[i]->isEmpty()) continue;
            const QString copy = copyIntoPackage(*urls[i], staged->path(), usedNames);
            copies[i] = QDir(media).filePath(QFileInfo(copy).fileName());
            *references[i] = CreditsProject::FileReference::make(copies[i], target);
        }
        project.writePackage(staged->path());
        staged->commit();
    } catch (const std::exception& e) {
        setErrorMessage(staged ? staged->userText(QString::fromUtf8(e.what())) : QString::fromUtf8(e.what()));
        return;
    }
    // Inputs that lived in the replaced folder now live in the new one.
    const auto wasInside = [inside = target + QLatin1Char('/')](const QString& path) {
        return !path.isEmpty() && cleanAbsolute(path).startsWith(inside);
    };
    if (wasInside(headURL_)) setHeadURL(copies[0]);
    if (wasInside(tailURL_)) setTailURL(copies[1]);
    if (wasInside(documentURL_)) setDocumentURL(copies[2]);
    setLastPackageURL(target);
    setProjectMessage(tr("Packaged %1.").arg(QFileInfo(target).fileName()));
}

bool CreditsModel::openFile(const QStringList& paths, Slot slot) {
    for (const QString& path : paths) {
        const QString extension = QFileInfo(path).suffix().toLower();
        if (extension == QLatin1String("docx") || extension == QLatin1String("pdf") || extension == QLatin1String("doc")) {
            loadDocument(path, true);
        } else if (slot == Slot::automatic) {
            loadPicture(path, headURL_.isEmpty() ? Slot::opening : Slot::closing);
        } else {
            loadPicture(path, slot);
        }
    }
    return !paths.isEmpty();
}

void CreditsModel::choosePicture(Slot slot) {
    OpenPanelRequest request;
    request.allowedContentTypes = {PanelContentType::image};
    const QStringList chosen = desktop().runOpenPanel(request);
    if (!chosen.isEmpty()) loadPicture(chosen.first(), slot);
}

}  // namespace qm
