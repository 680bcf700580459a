#pragma once
// One file of the Convert queue: its source, its probe result and where its conversion stands.
// Jobs are shared: a probe or a conversion may finish after the job has left the queue.

#include <optional>

#include <QObject>
#include <QString>
#include <QUrl>
#include <QUuid>

#include "engine/media_info.h"

namespace qm {

class ConversionJob : public QObject {
    Q_OBJECT

public:
    struct State {
        enum class Kind { running, done, failed, probing, ready, cancelled };
        Kind kind = Kind::probing;
        double fraction = 0;  // running: 0...1
        double fps = 0;       // running: frames per second
        QString output;       // done: the written file or image-sequence folder
        QString message;      // failed: the text shown to the user

        static State running(double fraction, double fps) { return {Kind::running, fraction, fps, {}, {}}; }
        static State done(QString output) { return {Kind::done, 0, 0, std::move(output), {}}; }
        static State failed(QString message) { return {Kind::failed, 0, 0, {}, std::move(message)}; }
        static State probing() { return {Kind::probing, 0, 0, {}, {}}; }
        static State ready() { return {Kind::ready, 0, 0, {}, {}}; }
        static State cancelled() { return {Kind::cancelled, 0, 0, {}, {}}; }

        bool is(Kind k) const { return kind == k; }
        // Same case and equal payloads; other cases' payload fields are ignored.
        bool operator==(const State& other) const;
    };

    // A new job for an absolute source path, in state probing, with a fresh id.
    explicit ConversionJob(QString path);

    QUuid id() const { return id_; }
    // The source file.
    const QString& path() const { return path_; }
    QUrl url() const { return QUrl::fromLocalFile(path_); }

    // Empty until the probe succeeds.
    const std::optional<MediaInfo>& info() const { return info_; }
    void setInfo(std::optional<MediaInfo> info);

    const State& state() const { return state_; }
    void setState(State state);

    // "Retry" offered for a failed job that has its probe result.
    bool canRetry() const;
    // A failed job whose source is probed and decodable becomes ready again; otherwise nothing.
    void retry();

signals:
    void infoChanged();
    void stateChanged();

private:
    const QUuid id_;
    const QString path_;
    std::optional<MediaInfo> info_;
    State state_ = State::probing();
};

}  // namespace qm
