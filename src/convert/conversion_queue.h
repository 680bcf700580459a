#pragma once
// The Convert mode's model: the list of files to convert, the shared output settings, the output
// folder, the selection shown in the preview and the state of the conversion run.
//
// Lives on the GUI thread. Probes and conversions run on worker threads of the queue's own and
// post their results back; every property has one change signal, emitted only when the value
// changes (the follow-up actions of an assignment run every time).

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QUuid>

#include "convert/conversion_job.h"
#include "convert/preview_model.h"
#include "core/output_format.h"
#include "engine/conversion_settings.h"
#include "engine/media_info.h"
#include "platform/system/settings_store.h"

class QThreadPool;

namespace qm {

class DesktopServices;
class Transcoder;

using ConversionJobRef = std::shared_ptr<ConversionJob>;

class ConversionQueue : public QObject {
    Q_OBJECT

public:
    // What the queue talks to; the defaults are the application's own.
    struct Environment {
        DesktopServices* desktop = nullptr;  // nullptr: desktopServices()
        SettingsStore store;
        // The probe of one file; runs on a worker thread. Empty: MediaInfo::load without
        // audio-only files.
        std::function<MediaInfo(const std::filesystem::path&)> probe;
    };

    explicit ConversionQueue(QObject* parent = nullptr);
    explicit ConversionQueue(Environment environment, QObject* parent = nullptr);
    // Stops a running conversion (a partial movie is removed, a sequence keeps the frames written
    // so far) and waits for the workers.
    ~ConversionQueue() override;

    // --- Properties --------------------------------------------------------------------------
    const std::vector<ConversionJobRef>& jobs() const { return jobs_; }
    ConversionJobRef job(const QUuid& id) const;  // the first job with this id, or nullptr

    const ConversionSettings& settings() const { return settings_; }
    // Every assignment stores the settings and passes them to the preview.
    void setSettings(const ConversionSettings& settings);

    PreviewModel& preview() { return *preview_; }

    // Null when nothing is selected. Every assignment hands the selected job to the preview.
    QUuid selectedJobID() const { return selectedJobID_; }
    void setSelectedJobID(const QUuid& id);

    // Empty when none is set.
    const QString& outputFolder() const { return outputFolder_; }

    bool isRunning() const { return isRunning_; }
    bool stopRequested() const { return stopRequested_; }

    // Jobs whose state is ready.
    int readyCount() const;
    // Whether any job is done (the "Clear Finished" button).
    bool hasFinishedJobs() const;

    // --- Intake ------------------------------------------------------------------------------
    // The open panel for videos or folders; adds what the user chose.
    void presentAddPanel();
    // Adds files and folders (local file URLs or absolute paths). Files that cannot be read
    // become failed jobs once probed.
    void add(const QList<QUrl>& urls);
    void add(const QStringList& paths);
    // The files to queue for the given paths, in queue order: folders expanded recursively
    // (hidden items and package folders skipped, movies only), then sorted in Finder order.
    static QStringList expandFolders(const QStringList& paths);
    // Removes the job unless it is running.
    void remove(const ConversionJobRef& job);
    void remove(const QUuid& id);
    // Removes every done job.
    void clearFinished();

    // --- Run ---------------------------------------------------------------------------------
    // Asks for an output folder when none is set, then converts the ready jobs one at a time.
    void start();
    // Cancels the running conversion; jobs not started yet stay ready.
    void stop();
    // The output file (or image-sequence folder) for a source: "<name>_<tag>.<ext>", then
    // "<name>_<tag> 2.<ext>", ... until nothing exists there.
    static QString outputURL(OutputFormat format, const QString& source, const QString& folder);

    // --- Settings and output folder ----------------------------------------------------------
    void saveSettings();
    // The folder panel; true when a folder was chosen and taken.
    bool chooseOutputFolder();
    // Takes a folder as the output folder (what the panel's answer does), storing its bookmark.
    void setOutputFolder(const QString& folder);
    void restoreOutputFolder();
    // Shows the output folder in the file manager; nothing when none is set.
    void revealOutputFolder();
    // Shows a file (a job's source or output) in the file manager.
    void revealInFinder(const QString& path);

signals:
    void jobsChanged();
    void settingsChanged();
    void selectedJobIDChanged();
    void outputFolderChanged();
    void isRunningChanged();
    void stopRequestedChanged();
    void readyCountChanged();
    void hasFinishedJobsChanged();
    // The run ended (after the sound, when one was played).
    void runFinished();

private:
    struct RunResult;

    void loadSettings();
    void probe(const ConversionJobRef& job);
    void probeFinished(const ConversionJobRef& job, std::optional<MediaInfo> info, QString error);
    void runNext();
    void process(const ConversionJobRef& job);
    void jobFinished(const ConversionJobRef& job, quint64 generation, const RunResult& result);
    void endRun();
    void cancelActiveTranscoder();
    void setIsRunning(bool value);
    void setStopRequested(bool value);
    void setOutputFolderValue(const QString& folder);
    void watchJob(const ConversionJobRef& job);
    void updateDerivedCounts();
    void appendJobs(std::vector<ConversionJobRef> added);
    DesktopServices& desktop() const;

    Environment environment_;
    std::unique_ptr<PreviewModel> preview_;
    std::vector<ConversionJobRef> jobs_;
    ConversionSettings settings_;
    QUuid selectedJobID_;
    QString outputFolder_;
    bool isRunning_ = false;
    bool stopRequested_ = false;
    int readyCount_ = 0;
    bool hasFinishedJobs_ = false;

    // The run: the job being converted and its transcoder, one at a time.
    std::shared_ptr<Transcoder> activeTranscoder_;
    ConversionJobRef activeJob_;
    quint64 runGeneration_ = 0;
    int doneCount_ = 0;

    QThreadPool* probePool_ = nullptr;
    QThreadPool* runPool_ = nullptr;
};

}  // namespace qm
