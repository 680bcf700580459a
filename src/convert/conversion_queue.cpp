#include "convert/conversion_queue.h"

#include <algorithm>

#include <QCollator>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QSet>
#include <QThreadPool>

#include "platform/system/model_support.h"
#include "core/conversion_error.h"
#include "platform/media/media_error.h"
#include "platform/system/bookmarks.h"
#include "platform/system/desktop_services.h"
#include "platform/system/file_types.h"

namespace qm {

namespace {

const QString kSettingsKey = QStringLiteral("conversionSettings");
const QString kBookmarkKey = QStringLiteral("outputFolderBookmark");

QString cleanAbsolute(const QString& path) { return QDir::cleanPath(QFileInfo(path).absoluteFilePath()); }

// Collects the movies below a folder in directory order: hidden items are not listed, package
// folders are not entered, and linked folders are not followed (no cycles).
void collectMovies(const QString& folder, QStringList& out) {
    const QDir dir(folder);
    const QFileInfoList entries =
        dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
    for (const QFileInfo& entry : entries) {
        const QString path = entry.filePath();
        if (isHiddenItem(path)) continue;
        if (entry.isDir()) {
            if (entry.isSymLink() || isPackageFolder(path)) continue;
            collectMovies(path, out);
        } else if (isMovieFile(path)) {
            out.append(path);
        }
    }
}

// The platform's texts for a file that cannot be opened, so a failed probe reads the same
// whatever the engine would have said about the missing bytes.
std::optional<QString> unreadableFileText(const QString& path) {
    const QFileInfo info(path);
    const QString name = info.fileName();
    if (!info.exists()) {
        return ConversionQueue::tr("The file “%1” couldn’t be opened because there is no such file.").arg(name);
    }
    if (!info.isReadable()) {
        return ConversionQueue::tr("The file “%1” couldn’t be opened because you don’t have permission to view it.")
            .arg(name);
    }
    if (info.isDir()) {
        return ConversionQueue::tr("The file “%1” couldn’t be opened because it is a folder.").arg(name);
    }
    return std::nullopt;
}

QString notAMovieText(const QString& path) {
    return ConversionQueue::tr("The file “%1” couldn’t be opened because it isn’t a movie file.")
        .arg(QFileInfo(path).fileName());
}

}  // namespace

ConversionQueue::ConversionQueue(QObject* parent) : ConversionQueue(Environment{}, parent) {}

ConversionQueue::ConversionQueue(Environment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)), preview_(std::make_unique<PreviewModel>()) {
    if (!environment_.probe) {
        environment_.probe = [](const std::filesystem::path& file) { return MediaInfo::load(file, false); };
    }
    probePool_ = new QThreadPool(this);
    probePool_->setMaxThreadCount(std::clamp(QThread::idealThreadCount() / 2, 1, 4));
    runPool_ = new QThreadPool(this);
    runPool_->setMaxThreadCount(1);

    loadSettings();
    preview_->setOutputSettings(settings_);
    restoreOutputFolder();
}

ConversionQueue::~ConversionQueue() {
    stopRequested_ = true;
    cancelActiveTranscoder();
    runPool_->waitForDone();
    probePool_->waitForDone();
}

DesktopServices& ConversionQueue::desktop() const {
    return environment_.desktop ? *environment_.desktop : desktopServices();
}

ConversionJobRef ConversionQueue::job(const QUuid& id) const {
    for (const auto& job : jobs_) {
        if (job->id() == id) return job;
    }
    return nullptr;
}

// --- Settings ------------------------------------------------------------------------------------

void ConversionQueue::loadSettings() {
    ConversionSettings loaded;
    if (const auto text = environment_.store.text(kSettingsKey)) {
        try {
            loaded = ConversionSettings::fromJsonText(text->toStdString());
        } catch (const std::exception&) {
            loaded = ConversionSettings{};
        }
    }
    settings_ = loaded;
    // A stored format this build cannot write comes back as Hap Q, stored so.
    if (!isWritable(loaded.format)) {
        loaded.format = OutputFormat::hapQ;
        setSettings(loaded);
    }
}

void ConversionQueue::setSettings(const ConversionSettings& settings) {
    const bool changed = !(settings == settings_);
    settings_ = settings;
    saveSettings();
    preview_->setOutputSettings(settings_);
    if (changed) emit settingsChanged();
}

void ConversionQueue::saveSettings() {
    try {
        environment_.store.setText(kSettingsKey, QString::fromStdString(settings_.toJson().dump()));
    } catch (const std::exception&) {
        // Nothing is stored when the settings cannot be encoded (a non-finite scale).
    }
}

// --- Selection -----------------------------------------------------------------------------------

void ConversionQueue::setSelectedJobID(const QUuid& id) {
    const bool changed = id != selectedJobID_;
    selectedJobID_ = id;
    const ConversionJobRef selected = id.isNull() ? nullptr : job(id);
    preview_->load(selected.get());
    if (changed) emit selectedJobIDChanged();
}

// --- Intake --------------------------------------------------------------------------------------

void ConversionQueue::presentAddPanel() {
    OpenPanelRequest request;
    request.message = tr("Choose videos or folders to convert");
    request.canChooseFiles = true;
    request.canChooseDirectories = true;
    request.allowsMultipleSelection = true;
    request.allowedContentTypes = {PanelContentType::movie};
    request.kind = PanelKind::convertSources;
    request.documentDirectory = outputFolder_;
    const QStringList chosen = desktop().runOpenPanel(request);
    if (!chosen.isEmpty()) add(chosen);
}

void ConversionQueue::add(const QList<QUrl>& urls) {
    QStringList paths;
    for (const QUrl& url : urls) {
        if (url.isLocalFile()) {
            paths.append(url.toLocalFile());
        } else if (url.scheme().isEmpty() && !url.path().isEmpty()) {
            paths.append(url.path());
        }
    }
    add(paths);
}

void ConversionQueue::add(const QStringList& paths) {
    QSet<QString> queued;
    for (const auto& job : jobs_) queued.insert(job->path());

    const QStringList expansion = expandFolders(paths);
    if (expansion.isEmpty()) return;

    std::vector<ConversionJobRef> added;
    for (const QString& path : expansion) {
        // Also refuses the second copy of a file named twice in this call (directly and through
        // its folder, say): one file, one job.
        if (queued.contains(path)) continue;
        queued.insert(path);
        startAccessing(path);
        added.push_back(std::make_shared<ConversionJob>(path));
    }
    appendJobs(std::move(added));
}

void ConversionQueue::appendJobs(std::vector<ConversionJobRef> added) {
    if (added.empty()) return;
    for (const auto& job : added) {
        watchJob(job);
        jobs_.push_back(job);
    }
    emit jobsChanged();
    for (const auto& job : added) {
        if (selectedJobID_.isNull()) setSelectedJobID(job->id());
        probe(job);
    }
    updateDerivedCounts();
}

QStringList ConversionQueue::expandFolders(const QStringList& paths) {
    QStringList result;
    for (const QString& given : paths) {
        if (given.isEmpty()) continue;
        const QString path = cleanAbsolute(given);
        const QFileInfo info(path);
        if (!info.isDir()) {
            // A file given directly is queued whatever it is; the probe says what is wrong.
            result.append(path);
            continue;
        }
        startAccessing(path);
        collectMovies(path, result);
    }

    QCollator collator{QLocale(QLocale::English, QLocale::UnitedStates)};
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(result.begin(), result.end(),
                     [&](const QString& a, const QString& b) { return collator.compare(a, b) < 0; });
    return result;
}

void ConversionQueue::probe(const ConversionJobRef& job) {
    const QString path = job->path();
    auto probeFile = environment_.probe;
    probePool_->start([this, job, path, probeFile]() mutable {
        std::optional<MediaInfo> info;
        QString error;
        if (auto text = unreadableFileText(path)) {
            error = *text;
        } else {
            try {
                info = probeFile(toPath(path));
            } catch (const MediaError& e) {
                // The container could not be opened at all: say so in the user's terms rather
                // than the library's.
                error = e.step() == "open" ? notAMovieText(path) : QString::fromUtf8(e.what());
            } catch (const std::exception& e) {
                error = QString::fromUtf8(e.what());
            } catch (...) {
                error = tr("The file couldn’t be read.");
            }
            if (!info && error.isEmpty()) error = tr("The file couldn’t be read.");
        }
        // The job travels back with the result so its last reference never drops on this thread.
        postTo(this, [this, job = std::move(job), info = std::move(info), error = std::move(error)]() mutable {
            probeFinished(job, std::move(info), std::move(error));
        });
    });
}

void ConversionQueue::probeFinished(const ConversionJobRef& job, std::optional<MediaInfo> info, QString error) {
    if (info) {
        const SourceDecoder decoder = info->decoder;
        job->setInfo(std::move(info));
        if (decoder.kind == SourceDecoder::Kind::unsupported) {
            const auto text = ConversionError::unsupportedCodec(codecName(decoder.codecType)).description();
            job->setState(ConversionJob::State::failed(QString::fromStdString(text)));
        } else {
            job->setState(ConversionJob::State::ready());
        }
    } else {
        job->setState(ConversionJob::State::failed(std::move(error)));
    }
    if (selectedJobID_ == job->id()) preview_->load(job.get());
}

void ConversionQueue::remove(const ConversionJobRef& job) {
    if (job) remove(job->id());
}

void ConversionQueue::remove(const QUuid& id) {
    const ConversionJobRef target = job(id);
    if (!target || target->state().is(ConversionJob::State::Kind::running)) return;
    std::erase_if(jobs_, [&](const ConversionJobRef& j) { return j->id() == id; });
    emit jobsChanged();
    if (selectedJobID_ == id) setSelectedJobID(jobs_.empty() ? QUuid() : jobs_.front()->id());
    updateDerivedCounts();
}

void ConversionQueue::clearFinished() {
    const auto removed = std::erase_if(
        jobs_, [](const ConversionJobRef& j) { return j->state().is(ConversionJob::State::Kind::done); });
    if (removed > 0) emit jobsChanged();
    if (!job(selectedJobID_) || selectedJobID_.isNull()) {
        setSelectedJobID(jobs_.empty() ? QUuid() : jobs_.front()->id());
    }
    updateDerivedCounts();
}

int ConversionQueue::readyCount() const {
    return int(std::count_if(jobs_.begin(), jobs_.end(),
                             [](const ConversionJobRef& j) { return j->state().is(ConversionJob::State::Kind::ready); }));
}

bool ConversionQueue::hasFinishedJobs() const {
    return std::any_of(jobs_.begin(), jobs_.end(),
                       [](const ConversionJobRef& j) { return j->state().is(ConversionJob::State::Kind::done); });
}

void ConversionQueue::watchJob(const ConversionJobRef& job) {
    connect(job.get(), &ConversionJob::stateChanged, this, &ConversionQueue::updateDerivedCounts);
}

void ConversionQueue::updateDerivedCounts() {
    const int ready = readyCount();
    const bool finished = hasFinishedJobs();
    assignAndNotify(this, readyCount_, ready, &ConversionQueue::readyCountChanged);
    assignAndNotify(this, hasFinishedJobs_, finished, &ConversionQueue::hasFinishedJobsChanged);
}

// --- Output folder -------------------------------------------------------------------------------

bool ConversionQueue::chooseOutputFolder() {
    OpenPanelRequest request;
    request.message = tr("Choose where converted files are saved");
    request.prompt = tr("Choose");
    request.canChooseFiles = false;
    request.canChooseDirectories = true;
    request.canCreateDirectories = true;
    request.kind = PanelKind::outputFolder;
    request.documentDirectory = outputFolder_;
    const QStringList chosen = desktop().runOpenPanel(request);
    if (chosen.isEmpty() || chosen.first().isEmpty()) return false;
    setOutputFolder(chosen.first());
    return true;
}

void ConversionQueue::setOutputFolder(const QString& folder) {
    if (!outputFolder_.isEmpty()) stopAccessing(outputFolder_);
    const QString path = cleanAbsolute(folder);
    setOutputFolderValue(path);
    startAccessing(path, AccessMode::readWrite);
    if (const auto bookmark = createBookmark(path, BookmarkScope::securityScoped)) {
        environment_.store.setData(kBookmarkKey, *bookmark);
    }
}

void ConversionQueue::setOutputFolderValue(const QString& folder) {
    assignAndNotify(this, outputFolder_, folder, &ConversionQueue::outputFolderChanged);
}

void ConversionQueue::restoreOutputFolder() {
    const auto bookmark = environment_.store.data(kBookmarkKey);
    if (!bookmark) return;
    const bool outsideSandbox = !isSandboxed();
    auto resolved = resolveBookmark(*bookmark, BookmarkScope::securityScoped);
    if (!resolved && outsideSandbox) resolved = resolveBookmark(*bookmark, BookmarkScope::plain);
    if (!resolved) {
        environment_.store.remove(kBookmarkKey);
        return;
    }
    const bool access = startAccessing(resolved->path, AccessMode::readWrite);
    if (!outsideSandbox && !access) return;  // kept for a later launch that may reach it
    setOutputFolderValue(resolved->path);
    if (resolved->stale) {
        if (const auto renewed = createBookmark(resolved->path, BookmarkScope::securityScoped)) {
            environment_.store.setData(kBookmarkKey, *renewed);
        }
    }
}

void ConversionQueue::revealOutputFolder() {
    if (!outputFolder_.isEmpty()) desktop().revealInFileManager({outputFolder_});
}

void ConversionQueue::revealInFinder(const QString& path) {
    if (!path.isEmpty()) desktop().revealInFileManager({path});
}

}  // namespace qm
