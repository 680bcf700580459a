#pragma once
// The state behind the Convert preview: the picture of the selected job's source at the current
// time, the transport (time, duration, playing, loading), a message line and the choice between
// the source and the frame after Hap / DXV compression.
//
// Lives on the GUI thread. At most one render is in flight; seek requests made meanwhile collapse
// into the newest one. Playback reads frames in order on a worker thread, timed by the wall clock,
// and loops at the end of the file. Results carry the generation they were started for; a result
// from before the last load, pause or play is dropped.

#include <atomic>
#include <memory>
#include <optional>

#include <QImage>
#include <QObject>
#include <QString>
#include <QUuid>

#include "engine/conversion_settings.h"

class QThreadPool;

namespace qm {

class ConversionJob;
class FramePreviewer;

class PreviewModel : public QObject {
    Q_OBJECT

public:
    explicit PreviewModel(QObject* parent = nullptr);
    // Stops playback and waits for the workers.
    ~PreviewModel() override;

    // Null when nothing is shown.
    const QImage& image() const { return image_; }
    double time() const { return time_; }
    // Setting the time moves the transport only; call seek() to render there.
    void setTime(double time);
    double duration() const { return duration_; }
    bool isPlaying() const { return isPlaying_; }
    bool isLoading() const { return isLoading_; }
    // Status or error text; none when empty.
    const std::optional<QString>& message() const { return message_; }

    bool showOutput() const { return showOutput_; }
    void setShowOutput(bool value);
    const ConversionSettings& outputSettings() const { return outputSettings_; }
    void setOutputSettings(const ConversionSettings& settings);

    // Null when no job was loaded.
    QUuid jobID() const { return jobID_; }
    // The settings the previewer compresses with: the output settings while "Output" is chosen
    // and the format is a GPU one; none otherwise (the source as decoded).
    std::optional<ConversionSettings> previewOutput() const;

    // Shows this job (or nothing). Loading the job already shown is cheap once its previewer
    // exists, and retries when the earlier attempt ended without one (the probe had not finished).
    void load(const ConversionJob* job);
    // Asks for the picture at a time in seconds; returns at once.
    void seek(double time);
    void play();
    void pause();

signals:
    void imageChanged();
    void timeChanged();
    void durationChanged();
    void isPlayingChanged();
    void isLoadingChanged();
    void messageChanged();
    void showOutputChanged();
    void outputSettingsChanged();
    void jobIDChanged();

private:
    struct PlayControl;

    void startRender();
    void renderFinished(quint64 loadGeneration, QImage image, std::optional<QString> error);
    void playFrame(quint64 playGeneration, QImage image, double pts);
    void playEnded(quint64 playGeneration, std::optional<QString> error);
    void setImage(QImage image);
    void setDuration(double value);
    void setIsPlaying(bool value);
    void setIsLoading(bool value);
    void setMessage(std::optional<QString> value);
    void setJobID(const QUuid& id);

    QImage image_;
    double time_ = 0;
    double duration_ = 0;
    bool isPlaying_ = false;
    bool isLoading_ = false;
    std::optional<QString> message_;
    bool showOutput_ = false;
    ConversionSettings outputSettings_;
    QUuid jobID_;

    std::shared_ptr<const FramePreviewer> previewer_;
    std::optional<double> pendingTime_;
    bool renderInFlight_ = false;
    quint64 loadGeneration_ = 0;
    quint64 playGeneration_ = 0;
    std::shared_ptr<PlayControl> play_;
    QThreadPool* pool_ = nullptr;
};

}  // namespace qm
