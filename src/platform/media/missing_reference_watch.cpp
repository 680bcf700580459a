#include "platform/media/missing_reference_watch.h"

#include <cstdarg>
#include <cstring>
#include <mutex>
#include <unordered_set>

extern "C" {
#include <libavcodec/avcodec.h>
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

// libavcodec 59's texts: HEVC's (hevc_refs.c), said of a picture other than a random access
// point, and H.264's for pictures missing before the one decoded (h264_slice.c), which it makes
// up in their place.
constexpr const char* kMissingReference[] = {"Could not find ref with POC %d\n", "Frame num gap %d %d\n"};

bool saysReferenceMissing(const char* format) {
    for (const char* text : kMissingReference)
        if (std::strcmp(format, text) == 0) return true;
    return false;
}

void logged(void* avcl, int level, const char* format, va_list args) {
    if (avcl != nullptr && format != nullptr && saysReferenceMissing(format)) {
        const AVClass* type = *static_cast<const AVClass**>(avcl);
        if (type != nullptr && type->class_name != nullptr && std::strcmp(type->class_name, "AVCodecContext") == 0) {
            void* opaque = static_cast<AVCodecContext*>(avcl)->opaque;
            std::lock_guard lock(watchesMutex);
            if (watches().count(opaque) > 0) static_cast<MissingReferenceWatch*>(opaque)->report();
        }
    }
    av_log_default_callback(avcl, level, format, args);
}

}  // namespace

MissingReferenceWatch::MissingReferenceWatch() {
    static std::once_flag installed;
    std::call_once(installed, [] { av_log_set_callback(logged); });
    std::lock_guard lock(watchesMutex);
    watches().insert(this);
}

MissingReferenceWatch::~MissingReferenceWatch() {
    std::lock_guard lock(watchesMutex);
    watches().erase(this);
}

void MissingReferenceWatch::watch(AVCodecContext* context) {
    if (context != nullptr) context->opaque = this;
}

}  // namespace qm::reading
