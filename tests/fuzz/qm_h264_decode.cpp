// The private library's H.264 decoder over arbitrary bytes laid out as sample_stream.h says (the
// description an avcC record or parameter sets; threads are frame threads, whose pictures' marks
// are read once they reach the caller). Every picture's luma plane is read end to end, so that one
// the decoder describes wrongly shows.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "hevc_alpha/quillmere_h264.h"
#include "sample_stream.h"

namespace {

void drain(qm_h264_decoder* decoder) {
    for (;;) {
        qm_h264_picture* picture = nullptr;
        const int rc = qm_h264_receive(decoder, &picture);
        if (rc == QM_HEVC_ALPHA_AGAIN || rc == QM_HEVC_ALPHA_EOF) return;
        if (rc < 0) continue;
        if (picture->width < 1 || picture->height < 1 || picture->planes[0] == nullptr) __builtin_trap();
        // Layouts deeper than 8 bits are named little-endian ("yuv420p10le").
        const int bytes = std::strstr(picture->format, "le") != nullptr ? 2 : 1;
        uint32_t sum = 0;
        for (int y = 0; y < picture->height; ++y) {
            const uint8_t* row = picture->planes[0] + ptrdiff_t(picture->strides[0]) * y;
            sum += row[0] + row[picture->width * bytes - 1];
        }
        volatile uint32_t sink = sum;
        (void)sink;
        qm_h264_release(picture);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SampleStream input;
    if (!input.parse(data, size)) return 0;
    qm_h264_decoder* decoder = nullptr;
    if (qm_h264_open(input.configuration, input.configurationSize, 1, 25, input.threads ? 3 : 1, &decoder) != 0) return 0;
    input.forEachSample([&](int64_t index, const uint8_t* bytes, size_t length, bool skip) {
        qm_h264_send(decoder, bytes, length, index, index, 1, skip ? QM_H264_SKIP_NONREF : 0);
        drain(decoder);
    });
    qm_h264_send(decoder, nullptr, 0, 0, 0, 0, 0);
    drain(decoder);
    qm_h264_close(decoder);
    return 0;
}
