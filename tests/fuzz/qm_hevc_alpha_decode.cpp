// The HEVC alpha decoder over arbitrary bytes: the first byte's low bits choose samples to skip
// when unreferenced, the next two give the length of the configuration record (hvcC) that follows
// in their low 15 bits, the top bit asking for slice threads (whose rows report errors their own
// way), and the rest is cut into samples, each after a 3-byte length. Every picture's planes are
// read end to end, so that one the decoder describes wrongly shows.
#include <cstddef>
#include <cstdint>

#include "hevc_alpha/quillmere_hevc_alpha.h"
#include "sample_stream.h"

namespace {

uint32_t touch(const qm_hevc_alpha_picture& p) {
    uint32_t sum = 0;
    const int bytes = p.bit_depth > 8 ? 2 : 1;
    for (int plane = 0; plane < (p.has_alpha ? 4 : 3); ++plane) {
        const bool chroma = plane == 1 || plane == 2;
        const int w = chroma ? (p.width + (1 << p.chroma_shift_x) - 1) >> p.chroma_shift_x : p.width;
        const int h = chroma ? (p.height + (1 << p.chroma_shift_y) - 1) >> p.chroma_shift_y : p.height;
        for (int y = 0; y < h; ++y) {
            const uint8_t* row = p.planes[plane] + ptrdiff_t(p.strides[plane]) * y;
            sum += row[0] + row[w * bytes - 1];
        }
    }
    return sum;
}

void drain(qm_hevc_alpha_decoder* decoder) {
    for (;;) {
        qm_hevc_alpha_picture* picture = nullptr;
        const int rc = qm_hevc_alpha_receive(decoder, &picture);
        if (rc == QM_HEVC_ALPHA_AGAIN || rc == QM_HEVC_ALPHA_EOF) return;
        if (rc < 0) continue;
        if (picture->width < 1 || picture->height < 1 || picture->planes[0] == nullptr) __builtin_trap();
        volatile uint32_t sink = touch(*picture);
        (void)sink;
        qm_hevc_alpha_release(picture);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SampleStream input;
    if (!input.parse(data, size)) return 0;
    qm_hevc_alpha_decoder* decoder = nullptr;
    if (qm_hevc_alpha_open(input.configuration, input.configurationSize, input.threads ? 4 : 1, &decoder) != QM_HEVC_ALPHA_OK)
        return 0;
    input.forEachSample([&](int64_t index, const uint8_t* bytes, size_t length, bool skip) {
        qm_hevc_alpha_send(decoder, bytes, length, index, skip ? QM_HEVC_ALPHA_SKIP_NONREF : 0);
        drain(decoder);
    });
    qm_hevc_alpha_send(decoder, nullptr, 0, 0, 0);
    drain(decoder);
    qm_hevc_alpha_close(decoder);
    return 0;
}
