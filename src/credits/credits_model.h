#pragma once
// The model behind the End Credits mode: the inputs (opening and closing pictures, the credits
// list), the settings and output, the strip rebuilt in the background, the renderer and preview,
// real-time playback, export, and projects.
//
// Lives on the GUI thread. Strip builds, preview renders and exports run on the model's own
// thread pools and post their results back with the generation they were started for; a stale
// result is dropped. Every property has one change signal, emitted only when the value changes;
// `strip`, `renderer` and `exporter` signal on every assignment, and the follow-up work of
// `settings` and `output` runs on every assignment.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QImage>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "credits/credits_exporter.h"
#include "credits/credits_project.h"
#include "credits/credits_renderer.h"
#include "credits/credits_settings.h"
#include "credits/credits_strip.h"
#include "documents/chinese_converter.h"
#include "engine/conversion_settings.h"
#include "engine/transcode_sync.h"
#include "platform/system/settings_store.h"

class QThreadPool;

namespace qm {

class DesktopServices;

class CreditsModel : public QObject {
    Q_OBJECT

public:
    enum class Slot { opening = 0, closing = 1, automatic = 2 };

    using StripBuilder = std::function<CreditsStrip(const std::filesystem::path&, const CreditsSettings&,
                                                    const ChineseConverter::Overrides&)>;
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // What the model talks to; the defaults are the application's own.
    struct Environment {
        DesktopServices* desktop = nullptr;  // nullptr: desktopServices()
        SettingsStore store;
        StripBuilder buildStrip;  // runs on a worker thread; empty: buildStrip
        Clock clock;              // playback's wall clock; empty: steady_clock
    };

    // Preview frames are at most this size.
    static constexpr int kPreviewWidth = 1280;
    static constexpr int kPreviewHeight = 720;

    explicit CreditsModel(QObject* parent = nullptr);
    explicit CreditsModel(Environment environment, QObject* parent = nullptr);
    // Cancels a running export (its partial output is removed) and waits for every worker.
    ~CreditsModel() override;

    // The output used when nothing usable is stored: ProRes 422 HQ, high, original size.
    static ConversionSettings defaultOutput();
    // Whether an output format can be written here (never NotchLC).
    static bool isUsable(const ConversionSettings& output);

    // --- Properties --------------------------------------------------------------------------
    const CreditsSettings& settings() const { return settings_; }
    // Saves when changed and rebuilds what the change affects.
    void setSettings(const CreditsSettings& settings);
    const ConversionSettings& output() const { return output_; }
    // Stores the output on every assignment.
    void setOutput(const ConversionSettings& output);

    // Paths; empty when none.
    const QString& headURL() const { return headURL_; }
    void setHeadURL(const QString& path);
    const QString& tailURL() const { return tailURL_; }
    void setTailURL(const QString& path);
    const QString& documentURL() const { return documentURL_; }

    const QImage& headImage() const { return headImage_; }
    void setHeadImage(const QImage& image);
    const QImage& tailImage() const { return tailImage_; }
    void setTailImage(const QImage& image);
    const QImage& headKeyed() const { return headKeyed_; }
    void setHeadKeyed(const QImage& image);
    const QImage& tailKeyed() const { return tailKeyed_; }
    void setTailKeyed(const QImage& image);

    const std::optional<CreditsStrip>& strip() const { return strip_; }
    bool isBuildingStrip() const { return isBuildingStrip_; }
    const std::optional<QString>& errorMessage() const { return errorMessage_; }
    void setErrorMessage(const std::optional<QString>& message);
    const ChineseConverter::Overrides& conversionOverrides() const { return conversionOverrides_; }
    bool isReviewingChoices() const { return isReviewingChoices_; }
    void setIsReviewingChoices(bool value);
    bool reviewPending() const { return reviewPending_; }

    const QString& projectURL() const { return projectURL_; }
    const std::optional<QString>& projectMessage() const { return projectMessage_; }
    const QString& lastPackageURL() const { return lastPackageURL_; }

    // Never null once constructed; shared read-only with the workers drawing from it.
    const std::shared_ptr<const CreditsRenderer>& renderer() const { return renderer_; }
    double playhead() const { return playhead_; }
    bool isPlaying() const { return isPlaying_; }
    // 8-bit premultiplied RGBA; null when no frame was rendered.
    const QImage& preview() const { return preview_; }
    int64_t stripGeneration() const { return stripGeneration_; }
    // A still render is running or wanted.
    bool isRenderingPreview() const { return renderInFlight_ || renderPending_; }

    bool isExporting() const { return isExporting_; }
    void setIsExporting(bool value);
    const TranscodeProgress& exportProgress() const { return exportProgress_; }
    const QString& exportResult() const { return exportResult_; }
    void setExportResult(const QString& path);
    const std::optional<QString>& exportError() const { return exportError_; }
    void setExportError(const std::optional<QString>& message);
    const std::shared_ptr<CreditsExporter>& exporter() const { return exporter_; }

    // --- Derived -----------------------------------------------------------------------------
    // A picture or a built strip is there.
    bool hasContent() const;
    // The strip's choices decided by the character alone, in strip order.
    std::vector<ChineseConverter::Choice> uncertainChoices() const;
    // Head hold, roll and tail hold of the renderer; 0 without one.
    double length() const;

    // --- Rebuilds, preview and playback ------------------------------------------------------
    void saveSettings();
    // Starts a fresh build of the strip after a short wait; nothing without a document.
    void rebuildStrip();
    // Keys pictures not keyed yet, makes a new renderer, clamps the playhead, renders.
    void rebuildRenderer();
    // One still render at the playhead; requests made meanwhile collapse into one more.
    void requestRender();
    void seek(double seconds);
    void play();
    void pause();

    // --- Inputs ------------------------------------------------------------------------------
    void loadPicture(const QString& path, Slot slot);
    void chooseDocument();
    void loadDocument(const QString& path, bool review);
    void removeDocument();
    void choose(const std::string& option, const ChineseConverter::Choice& choice, bool applyToSame);

    // --- Export ------------------------------------------------------------------------------
    // Asks for a destination (save panel, or a folder for image sequences) and starts there.
    // Nothing while an export runs.
    void exportCredits();
    void startExport(const QString& destination);
    void cancelExport();
    // "<list name or End Credits>_<w>x<h>_<format tag>", without extension.
    QString exportName() const;
    // The open project's name without extension; empty without a project.
    QString projectName() const;
    QString defaultBaseName() const;
    // Where a panel of a kind not used yet opens: beside the open project, else the credits list.
    QString panelFolder() const;
    void revealPackage();

    // --- Projects ----------------------------------------------------------------------------
    void newProject();
    // The .qmcredits folder or the project.json inside it.
    void openProject(const QString& path);
    // Asks about unsaved work before the chosen project replaces it.
    void openProjectPanel();
    // True when the project was written; false when the panel was cancelled or writing failed.
    bool saveProject(bool saveAs);
    void packageProject();
    // Lists go to the document, pictures to a slot (automatic: opening while it is empty).
    // True when the list was not empty.
    bool openFile(const QStringList& paths, Slot slot);
    void choosePicture(Slot slot);
    // Forgets a slot's picture (its settings stay) and lays the video out without it.
    void clearPicture(Slot slot);

    // Work a quit, a new project or an opened one would lose: inputs or decisions never saved,
    // or what a project stores changed since it was saved or opened. Settings and output alone
    // are no such work: they are kept for the next start anyway.
    bool hasUnsavedWork() const;
    // True when the current work may be replaced: nothing unsaved, saved now, or discarded by
    // the user. False when the user cancels or the save does not succeed.
    bool confirmReplacingProject();

    CreditsProject makeProject(const QString& folder) const;
    static QString resolveReference(const std::optional<CreditsProject::FileReference>& reference,
                                    const QString& folder, QStringList& missing);

signals:
    void settingsChanged();
    void outputChanged();
    void headURLChanged();
    void tailURLChanged();
    void documentURLChanged();
    void headImageChanged();
    void tailImageChanged();
    void headKeyedChanged();
    void tailKeyedChanged();
    void stripChanged();
    void isBuildingStripChanged();
    void errorMessageChanged();
    void conversionOverridesChanged();
    void isReviewingChoicesChanged();
    void reviewPendingChanged();
    void projectURLChanged();
    void projectMessageChanged();
    void lastPackageURLChanged();
    void rendererChanged();
    void playheadChanged();
    void isPlayingChanged();
    void previewChanged();
    void stripGenerationChanged();
    void isExportingChanged();
    void exportProgressChanged();
    void exportResultChanged();
    void exportErrorChanged();
    void exporterChanged();

private:
    // What a project file holds of the model, to tell whether the open one has changed.
    struct SavedState {
        CreditsSettings settings;
        ConversionSettings output;
        QString head, tail, document;
        ChineseConverter::Overrides overrides;
        bool operator==(const SavedState&) const = default;
    };
    SavedState savedState() const;

    struct StripRequest {
        int64_t generation = 0;
        std::filesystem::path file;
        CreditsSettings settings;
        ChineseConverter::Overrides overrides;
    };

    void loadStored();
    void startStripBuild();
    void stripBuilt(int64_t generation, std::optional<CreditsStrip> strip, QString error);
    void startStillRender();
    void playStep(uint64_t generation);
    void playFrameRendered(uint64_t generation, QImage image);
    void exportFinished(uint64_t generation, std::optional<QString> error, bool cancelled);
    DesktopServices& desktop() const;
    // Why the project or a package can't be written at `target` (empty: it can).
    QString saveRefusal(const QString& target, bool package) const;
    std::chrono::steady_clock::time_point now() const;

    void setDocumentURL(const QString& path);
    void setStrip(std::optional<CreditsStrip> strip);
    void setIsBuildingStrip(bool value);
    void setConversionOverrides(const ChineseConverter::Overrides& overrides);
    void setReviewPending(bool value);
    void setProjectURL(const QString& path);
    void setProjectMessage(const std::optional<QString>& message);
    void setLastPackageURL(const QString& path);
    void setRenderer(std::shared_ptr<const CreditsRenderer> renderer);
    void setPlayhead(double seconds);
    void setIsPlaying(bool value);
    void setPreview(const QImage& image);
    void setStripGeneration(int64_t value);
    void setExportProgress(const TranscodeProgress& progress);
    void setExporter(std::shared_ptr<CreditsExporter> exporter);

    Environment environment_;

    CreditsSettings settings_;
    ConversionSettings output_;
    QString headURL_, tailURL_, documentURL_;
    QImage headImage_, tailImage_, headKeyed_, tailKeyed_;
    std::optional<CreditsStrip> strip_;
    bool isBuildingStrip_ = false;
    std::optional<QString> errorMessage_;
    ChineseConverter::Overrides conversionOverrides_;
    bool isReviewingChoices_ = false;
    bool reviewPending_ = false;
    QString projectURL_;
    std::optional<QString> projectMessage_;
    QString lastPackageURL_;
    std::shared_ptr<const CreditsRenderer> renderer_;
    double playhead_ = 0;
    bool isPlaying_ = false;
    QImage preview_;
    int64_t stripGeneration_ = 0;
    bool isExporting_ = false;
    TranscodeProgress exportProgress_;
    QString exportResult_;
    std::optional<QString> exportError_;
    std::shared_ptr<CreditsExporter> exporter_;
    // As the open project was last saved or opened; none without a project.
    std::optional<SavedState> saved_;

    // The strip build waiting out its delay.
    QTimer stripTimer_;
    std::optional<StripRequest> pendingStrip_;
    // The newest strip generation, for workers: a build made stale while it waited for a thread
    // is not started.
    std::shared_ptr<std::atomic<int64_t>> newestStrip_ = std::make_shared<std::atomic<int64_t>>(0);
    // Still renders: one in flight, at most one more wanted.
    bool renderInFlight_ = false;
    bool renderPending_ = false;
    // Playback: a generation per play, the start position and time, the frame timer.
    QTimer playTimer_;
    uint64_t playGeneration_ = 0;
    double playStart_ = 0;
    std::chrono::steady_clock::time_point playStartTime_;
    uint64_t exportGeneration_ = 0;

    QThreadPool* stripPool_ = nullptr;
    QThreadPool* renderPool_ = nullptr;
    QThreadPool* exportPool_ = nullptr;
};

}  // namespace qm
