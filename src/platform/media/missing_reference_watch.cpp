#include "platform/media/missing_reference_watch.h"

#include <cstdarg>
#include <cstring>
#include <mutex>
#include <unordered_set>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

namespace qm::reading {

namespace {

// The watches alive: a context's opaque value is taken for one only while it is listed here.
std::mutex watchesMutex;
std::unordered_set<const void*>& watches() {
    static std::unordered_set<const void*> all;
    return all;
}
// Those of them told of every error a decoder logs.
std::unordered_set<const void*>& decoderErrorWatches() {
    static std::unordered_set<const void*> all;
    return all;
}

// libavcodec 59's texts: HEVC's (hevc_refs.c), said of a picture other than a random access
// point, and H.264's for pictures missing before the one decoded (h264_slice.c), which it makes
// up in their place.
constexpr const char* kMissingReference[] = {"Could not find ref with POC %d\n", "Frame num gap %d %d\n"};

bool saysReferenceMissing(const char* format) {
    for (const char* text : kMissingReference)
        if (std::strcmp(format, text) == 0) return true;
    return false;
}

// The MP4 demuxer's word for a sample past the file's end: a file cut short, which its sample
// table tells at the end of the reading, not damage to its structure.
bool saysFileCut(const char* format) { return format != nullptr && std::strstr(format, ": partial file") != nullptr; }

bool ofClass(void* avcl, const char* name) {
    const AVClass* type = *static_cast<const AVClass**>(avcl);
    return type != nullptr && type->class_name != nullptr && std::strcmp(type->class_name, name) == 0;
}

// The watch of the format context this thread is opening, which has no opaque value yet.
thread_local LogWatch* opening = nullptr;

void tell(void* opaque) {
    std::lock_guard lock(watchesMutex);
    if (watches().count(opaque) > 0) static_cast<LogWatch*>(opaque)->report();
}

void tellDecoderError(void* opaque) {
    std::lock_guard lock(watchesMutex);
    if (decoderErrorWatches().count(opaque) > 0) static_cast<LogWatch*>(opaque)->report();
}

void logged(void* avcl, int level, const char* format, va_list args) {
    if (avcl != nullptr && level <= AV_LOG_ERROR && !saysFileCut(format) && ofClass(avcl, "AVFormatContext")) {
        void* opaque = static_cast<AVFormatContext*>(avcl)->opaque;
        tell(opaque != nullptr ? opaque : opening);
    }
    if (avcl != nullptr && format != nullptr && saysReferenceMissing(format) && ofClass(avcl, "AVCodecContext"))
        tell(static_cast<AVCodecContext*>(avcl)->opaque);
    if (avcl != nullptr && level <= AV_LOG_ERROR && ofClass(avcl, "AVCodecContext"))
        tellDecoderError(static_cast<AVCodecContext*>(avcl)->opaque);
    av_log_default_callback(avcl, level, format, args);
}

}  // namespace

LogWatch::LogWatch() {
    static std::once_flag installed;
    std::call_once(installed, [] { av_log_set_callback(logged); });
    std::lock_guard lock(watchesMutex);
    watches().insert(this);
}

LogWatch::~LogWatch() {
    std::lock_guard lock(watchesMutex);
    watches().erase(this);
}

void MissingReferenceWatch::watch(AVCodecContext* context) {
    if (context != nullptr) context->opaque = static_cast<LogWatch*>(this);
}

DecoderErrorWatch::DecoderErrorWatch() {
    std::lock_guard lock(watchesMutex);
    decoderErrorWatches().insert(static_cast<LogWatch*>(this));
}

DecoderErrorWatch::~DecoderErrorWatch() {
    std::lock_guard lock(watchesMutex);
    decoderErrorWatches().erase(static_cast<LogWatch*>(this));
}

void DecoderErrorWatch::watch(AVCodecContext* context) {
    if (context != nullptr) context->opaque = static_cast<LogWatch*>(this);
}

void DemuxerErrorWatch::watchOpening() {
    take();
    opening = this;
}

void DemuxerErrorWatch::watch(AVFormatContext* context) {
    if (opening == this) opening = nullptr;
    if (context != nullptr) context->opaque = static_cast<LogWatch*>(this);
    damagedOnOpening_ = take();
}

}  // namespace qm::reading
