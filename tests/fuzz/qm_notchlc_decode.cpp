// qm_notchlc_decode over arbitrary bytes. The first three bytes pick the output format and the
// destination size (1...64 each way); the rest is the frame. With bit 1 of the first byte set, the
// rest is taken as the frame's uncompressed body and wrapped in a well-formed container, so that
// most inputs reach the picture decoding rather than the container checks. The destination is
// exactly as large as its rows need. One context serves every input.
#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "lgpl/quillmere_lgpl.h"

// libavcodec explains every refused frame on stderr; that only slows the run down.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qm_notchlc_context* context = qm_notchlc_create();
    if (context == nullptr) __builtin_trap();
    if (size < 3) return 0;
    const int32_t format = data[0] & 1;
    const int32_t width = 1 + data[1] % 64;
    const int32_t height = 1 + data[2] % 64;
    const size_t rowBytes = size_t(width) * (format == QM_NOTCHLC_BGRA ? 4 : 8);
    std::vector<uint8_t> pixels(rowBytes * size_t(height));
    std::vector<uint8_t> frame;
    const uint8_t* bytes = data + 3;
    size_t count = size - 3;
    if ((data[0] & 2) != 0) {
        // "NLC1", body size, packed size, LZ4; then one all-literal LZ4 sequence of the body.
        const auto le32 = [&frame](uint32_t v) {
            for (int i = 0; i < 4; ++i) frame.push_back(uint8_t(v >> (8 * i)));
        };
        std::vector<uint8_t> packed;
        if (count < 15) {
            packed.push_back(uint8_t(count << 4));
        } else {
            packed.push_back(0xF0);
            size_t rest = count - 15;
            for (; rest >= 255; rest -= 255) packed.push_back(255);
            packed.push_back(uint8_t(rest));
        }
        packed.insert(packed.end(), bytes, bytes + count);
        frame = {'1', 'C', 'L', 'N'};
        le32(uint32_t(count));
        le32(uint32_t(packed.size()));
        le32(1);
        frame.insert(frame.end(), packed.begin(), packed.end());
        bytes = frame.data();
        count = frame.size();
    }
    int32_t hasAlpha = -1;
    const int32_t rc = qm_notchlc_decode(context, bytes, count, format, pixels.data(), rowBytes, width, height,
                                         &hasAlpha);
    if (rc == QM_LGPL_OK && hasAlpha != 0 && hasAlpha != 1) __builtin_trap();
    return 0;
}
