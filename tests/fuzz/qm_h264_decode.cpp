// The private library's H.264 decoder over arbitrary bytes: the first byte's low bits choose samples
// to skip when unreferenced, the next two give the length of the sample description (avcC or
// parameter sets) that follows in their low 15 bits, the top bit asking for frame threads (whose
// pictures' marks are read once they reach the caller), and the rest is cut into samples, each after
// a 3-byte length. Every picture's luma plane is read end to end, so that one the decoder describes
// wrongly shows.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "hevc_alpha/quillmere_h264.h"

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
    if (size < 3) return 0;
    const unsigned skips = data[0];
    const int threads = data[1] & 0x80 ? 3 : 1;
    size_t configuration = size_t(data[1] & 0x7F) << 8 | data[2];
    data += 3;
    size -= 3;
    if (configuration > size) configuration = size;
    qm_h264_decoder* decoder = nullptr;
    if (qm_h264_open(data, configuration, 1, 25, threads, &decoder) != 0) return 0;
    data += configuration;
    size -= configuration;
    for (int64_t index = 0; size >= 3; ++index) {
        size_t length = size_t(data[0]) << 16 | size_t(data[1]) << 8 | data[2];
        data += 3;
        size -= 3;
        if (length > size) length = size;
        if (length > 0)
            qm_h264_send(decoder, data, length, index, index, 1, (skips >> (index % 8)) & 1 ? QM_H264_SKIP_NONREF : 0);
        data += length;
        size -= length;
        drain(decoder);
    }
    qm_h264_send(decoder, nullptr, 0, 0, 0, 0, 0);
    drain(decoder);
    qm_h264_close(decoder);
    return 0;
}
