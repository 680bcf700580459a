#pragma once
// Stills of one source file for the Convert preview: one frame near a time, decoded when the
// source is itself a GPU codec, optionally compressed and decompressed again with the chosen Hap
// or DXV3 encoder, scaled to fit 960 x 540 and returned as an image.
//
// All fields are set by the constructor and never change, so one previewer serves renders and
// playback on several threads at once.

#include <filesystem>
#include <memory>
#include <optional>
#include <utility>

#include <QImage>
#include <QString>

#include "codecs/frame_codec.h"
#include "engine/conversion_settings.h"
#include "engine/media_info.h"
#include "platform/media/asset_reader.h"
#include "platform/media/pixel_buffer.h"

namespace qm {

class PixelTransfer;

class FramePreviewer {
public:
    // Throws ConversionError or MediaError (a size the pools refuse, a missing decoder).
    FramePreviewer(QString path, MediaInfo info);
    ~FramePreviewer();
    FramePreviewer(const FramePreviewer&) = delete;
    FramePreviewer& operator=(const FramePreviewer&) = delete;

    // The preview size for a source size: scaled by min(960 / w, 540 / h, 1), each side at
    // least 2.
    static std::pair<int, int> previewSize(int width, int height);

    const QString& path() const { return path_; }
    const MediaInfo& info() const { return info_; }
    int previewWidth() const { return previewWidth_; }
    int previewHeight() const { return previewHeight_; }

    // The picture at a time in seconds (past the end: the last millisecond), after the round
    // trip through `output` when it names a GPU format. Null when no frame could be made in the
    // first 8 samples. Throws ConversionError or MediaError.
    QImage image(double seconds, const std::optional<ConversionSettings>& output) const;

    // A reader started at a time in seconds (clamped like image()), reading to the end: compressed
    // samples for sources we decode ourselves, BGRA pictures otherwise.
    std::unique_ptr<VideoSampleReader> makeReader(double seconds) const;
    // Seconds of a sample on the transport's time line (the track's start is 0).
    double transportTime(const VideoSample& sample) const;

    // One sample to a preview picture; null when the sample yields no picture.
    QImage renderPreviewFrame(const VideoSample& sample, const std::optional<ConversionSettings>& output) const;

    // A copy of a BGRA buffer as an image (null for other formats).
    static QImage makeImageFromBGRABuffer(const PixelBuffer& buffer);

private:
    std::filesystem::path toPath() const;

    QString path_;
    MediaInfo info_;
    std::unique_ptr<CompressedFrameDecoder> decoder_;
    std::unique_ptr<PixelTransfer> transfer_;
    int previewWidth_ = 2;
    int previewHeight_ = 2;
    double trackStart_ = 0;     // seconds of the track's first frame on the source's time line
    double trackDuration_ = 0;  // seconds; 0 when unknown
};

}  // namespace qm
