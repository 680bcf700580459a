#pragma once
// The editor's compositor: one picture of all visible layers at a timeline time, each clip's
// frame read through a reader kept per clip, run through its effect chain, placed by its fit mode
// and transform, faded and blended over the layers below. Pictures are 16-bit premultiplied
// between the steps; there is no colour management.

#include <QHash>
#include <QImage>
#include <QPointF>
#include <QSize>
#include <QSizeF>
#include <QTransform>
#include <QUuid>

#include <array>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "editor/model/project.h"
#include "engine/media_info.h"
#include "platform/media/pixel_buffer.h"
#include "platform/system/task_pool.h"

namespace qm {

class MediaFrameReader;

using MediaInfos = QHash<QUuid, MediaInfo>;

// Where a clip's picture of w × h pixels lands in a W × H canvas at clip-local time ts (y down,
// clockwise rotation): minus the anchor, scaled by fit mode and scale, rotated, plus the position.
// `medium` is the medium's picture size where this picture's differs (a stream whose size changes
// midway): the picture is fitted by its own size, and the anchor, in the medium's pixels, moves
// with it, so that every picture covers what the medium's would.
QTransform clipPlacement(const Clip& clip, double w, double h, double ts, double W, double H, QSizeF medium = {});
// Its inverse (canvas to picture), made from the same steps undone in reverse order: finite
// wherever the picture can be seen, even when the placement itself is not (a scale of 1e308).
QTransform clipPlacementInverse(const Clip& clip, double w, double h, double ts, double W, double H, QSizeF medium = {});

// The corners top-left, top-right, bottom-right, bottom-left of the clip's picture in the canvas
// at timeline time t.
std::array<QPointF, 4> clipLayerTransform(const Clip& clip, const MediaItem& media, double t, double canvasWidth,
                                          double canvasHeight);

// A medium whose picture could not be read where it has one (a damaged or cut short file), met
// by a strict render: the export stops rather than write the frame without it.
class MediaReadError : public std::exception {
public:
    // `seconds` is the time in the medium, `reason` what went wrong in words.
    MediaReadError(QUuid mediaID, QString name, double seconds, std::string reason);
    const QUuid& mediaID() const { return mediaID_; }
    const QString& name() const { return name_; }
    double seconds() const { return seconds_; }
    const std::string& reason() const { return reason_; }
    const char* what() const noexcept override { return text_.c_str(); }

private:
    QUuid mediaID_;
    QString name_;
    double seconds_;
    std::string reason_;
    std::string text_;
};

class CompositionRenderer {
public:
    CompositionRenderer();
    ~CompositionRenderer();
    CompositionRenderer(const CompositionRenderer&) = delete;
    CompositionRenderer& operator=(const CompositionRenderer&) = delete;

    // The frame at timeline time `time` at `size` (the project scaled by width(size) / width):
    // a 16-bit premultiplied picture. Never fails: what cannot be drawn is left out. Calls run one
    // after the other; the reader cache stays free for the calls below while a frame is composed.
    // `preview` lets the key matte view through.
    QImage render(const Project& project, const MediaInfos& infos, double time, QSize size, bool preview);

    // Callers that render evenly spaced times (exports) set the spacing in seconds: each reader
    // then decodes its clip's next frame while the current one is composed. 0 (the default) reads
    // only what is asked for, for callers that jump about (previews, playback on a clock).
    void setReadAhead(double seconds);
    // Exports turn this on: a clip whose medium cannot be opened, read or decoded where it has a
    // picture then fails render() with MediaReadError instead of being left out. Times where a
    // clip shows no frame (past its medium's end, before its first frame) are no failure.
    void setStrict(bool on) { strict_ = on; }
    // Callers that show one frame after another on a clock (playback) turn this on: after each
    // render every reader prepares its clip's next frame while the current one is on screen.
    void setPrepareNext(bool on) { prepareNext_ = on; }

    // Empties the reader cache (new or opened project, media removed or relinked).
    void clearReaders();
    // The reader kept for a clip, for callers that watch the cache; nullptr when none.
    const MediaFrameReader* reader(const QUuid& clipID) const;
    int readerCount() const;

    // The image context: a composed picture into a 'BGRA' buffer of its size (the exporter's
    // frames; straight colour when `unpremultiply`), or an 8-bit RGBA picture (previews).
    static void draw(const QImage& composed, PixelBuffer& into, bool unpremultiply);
    static QImage previewImage(const QImage& composed);

private:
    // A clip's reader and the frame it may be reading ahead. The tasks are declared after the
    // reader they use, so they end before it goes.
    struct ReaderSlot {
        std::unique_ptr<MediaFrameReader> reader;
        PixelBufferRef ahead;  // set by aheadTask
        std::string aheadFailure;  // why aheadTask got no picture, in words (empty: it did or it needed none)
        double aheadTime = 0;
        QSize aheadSize;
        PoolTask aheadTask;
        PoolTask preparing;  // MediaFrameReader::prepareNext at work
    };
    // One visible clip of the frame being drawn.
    struct Layer {
        const Clip* clip;
        std::shared_ptr<ReaderSlot> slot;
        bool readsOwnSlot;  // false for a clip id listed twice (a damaged file): the first one reads
        double ts, opacity;
        QSizeF medium;  // the medium's picture size, as probed
        QSize shrunk;  // the size the reader is asked for (empty: its own), drawn from shrunkAt on
        QPoint shrunkAt;
        PixelBufferRef frame;
        std::string failure;  // why the frame could not be read, in words (empty: no failure)
    };

    std::vector<Layer> visibleLayers(const Project& project, const MediaInfos& infos, double t, double scale);
    static void fetchFrames(std::vector<Layer>& layers, bool strict);
    static void readAhead(std::vector<Layer>& layers, double seconds);
    void compose(QImage& frame, const std::vector<Layer>& layers, const Project& project, double k, bool preview);
    static void prepareNext(std::vector<Layer>& layers);

    std::mutex renderLock_;  // one render at a time; held for the whole frame
    mutable std::mutex lock_;  // the reader cache and the settings, held briefly
    QHash<QUuid, std::shared_ptr<ReaderSlot>> readers_;
    double readAhead_ = 0;
    std::atomic<bool> prepareNext_{false};
    std::atomic<bool> strict_{false};
    QImage scratch_;  // the canvas-sized layer transformed pictures are drawn into (render's own)
};

}  // namespace qm
