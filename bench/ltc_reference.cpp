// ltc-reference encode OUT.wav SECONDS [FPS] | decode IN.wav [FPS]
// Writes 48 kHz 16-bit mono LTC from libltc's encoder (from 10:00:00:00), or decodes such a WAV
// with libltc's decoder and prints the frame count, the first reading and the seconds taken.
#include <ltc.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 48000;

void writeHeader(std::ofstream& out, uint32_t dataBytes) {
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + dataBytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(1);
    u32(kRate);
    u32(kRate * 2);
    u16(2);
    u16(16);
    out.write("data", 4);
    u32(dataBytes);
}

int encode(const char* path, double seconds, double fps) {
    LTCEncoder* encoder = ltc_encoder_create(kRate, fps, fps == 25 ? LTC_TV_625_50 : LTC_TV_525_60, LTC_BGF_DONT_TOUCH);
    SMPTETimecode tc{};
    std::strcpy(tc.timezone, "+0000");
    tc.hours = 10;
    ltc_encoder_set_timecode(encoder, &tc);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const long frames = long(seconds * fps);
    writeHeader(out, 0);
    uint32_t bytes = 0;
    std::vector<int16_t> pcm;
    for (long i = 0; i < frames; ++i) {
        ltc_encoder_encode_frame(encoder);
        ltcsnd_sample_t* buffer = nullptr;
        const int n = ltc_encoder_get_bufferptr(encoder, &buffer, 1);
        pcm.resize(size_t(n));
        for (int k = 0; k < n; ++k) pcm[size_t(k)] = int16_t((int(buffer[k]) - 128) * 256);
        out.write(reinterpret_cast<const char*>(pcm.data()), std::streamsize(pcm.size() * 2));
        bytes += uint32_t(n * 2);
        ltc_encoder_inc_timecode(encoder);
    }
    out.seekp(0);
    writeHeader(out, bytes);
    ltc_encoder_free(encoder);
    return 0;
}

int decode(const char* path, double fps) {
    const auto started = std::chrono::steady_clock::now();
    std::ifstream in(path, std::ios::binary);
    in.seekg(44);  // the header encode writes
    ::LTCDecoder* decoder = ltc_decoder_create(int(kRate / fps), 32);
    std::vector<int16_t> chunk(4096);
    long long position = 0, frames = 0;
    std::string first;
    while (in) {
        in.read(reinterpret_cast<char*>(chunk.data()), std::streamsize(chunk.size() * 2));
        const size_t n = size_t(in.gcount()) / 2;
        if (n == 0) break;
        ltc_decoder_write_s16(decoder, chunk.data(), n, position);
        position += static_cast<long long>(n);
        LTCFrameExt frame;
        while (ltc_decoder_read(decoder, &frame)) {
            if (frames++ == 0) {
                SMPTETimecode t;
                ltc_frame_to_time(&t, &frame.ltc, 0);
                char text[32];
                std::snprintf(text, sizeof text, "%02d:%02d:%02d:%02d", t.hours, t.mins, t.secs, t.frame);
                first = text;
            }
        }
    }
    ltc_decoder_free(decoder);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("frames_decoded: %lld\nfirst: %s\nseconds: %.3f\n", frames, first.c_str(), seconds);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 2 ? argv[1] : "";
    if (mode == "encode" && argc >= 4) return encode(argv[2], std::stod(argv[3]), argc > 4 ? std::stod(argv[4]) : 25);
    if (mode == "decode") return decode(argv[2], argc > 3 ? std::stod(argv[3]) : 25);
    std::fprintf(stderr, "usage: ltc-reference encode OUT.wav SECONDS [FPS] | decode IN.wav [FPS]\n");
    return 2;
}
