#include "ltc_signal.h"

#include <ltc.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace qm::test {

std::vector<float> ltcSignal(const LTCSignalSpec& spec) {
    const bool dropFrame = std::abs(spec.fps - 29.97) < 0.01;
    const LTC_TV_STANDARD standard = spec.fps == 25 ? LTC_TV_625_50 : spec.fps == 24 ? LTC_TV_FILM_24 : LTC_TV_525_60;
    LTCEncoder* encoder = ltc_encoder_create(spec.sampleRate, spec.fps * spec.speed, standard, LTC_BGF_DONT_TOUCH);
    SMPTETimecode tc{};
    std::strcpy(tc.timezone, "+0000");
    tc.hours = static_cast<unsigned char>(spec.hours);
    tc.mins = static_cast<unsigned char>(spec.minutes);
    tc.secs = static_cast<unsigned char>(spec.seconds);
    tc.frame = static_cast<unsigned char>(spec.frame);
    ltc_encoder_set_timecode(encoder, &tc);
    // The flag follows the nominal rate, not the speed (libltc sets it for any 29.97 signal).
    LTCFrame f;
    ltc_encoder_get_frame(encoder, &f);
    f.dfbit = dropFrame ? 1 : 0;
    ltc_encoder_set_frame(encoder, &f);
    std::vector<float> out;
    for (int i = 0; i < spec.frames; ++i) {
        if (spec.reversed)
            ltc_encoder_encode_reversed_frame(encoder);
        else
            ltc_encoder_encode_frame(encoder);
        ltcsnd_sample_t* buffer = nullptr;
        const int n = ltc_encoder_get_bufferptr(encoder, &buffer, 1);
        for (int k = 0; k < n; ++k) out.push_back((float(buffer[k]) - 128.0f) / 127.0f);
        ltc_encoder_inc_timecode(encoder);
    }
    ltc_encoder_free(encoder);
    return out;
}

double ltcFirstFrameNumber(const LTCSignalSpec& spec) {
    const bool dropFrame = std::abs(spec.fps - 29.97) < 0.01;
    const int nominal = dropFrame ? 30 : int(spec.fps);
    const int m = spec.hours * 60 + spec.minutes;
    return double((m * 60 + spec.seconds) * nominal + spec.frame - (dropFrame ? 2 * (m - m / 10) : 0));
}

std::vector<LibltcFrame> libltcDecode(const std::vector<float>& samples, double sampleRate, double fps) {
    ::LTCDecoder* decoder = ltc_decoder_create(int(sampleRate / fps), 64);
    std::vector<LibltcFrame> frames;
    std::vector<float> chunk;
    for (size_t i = 0; i < samples.size(); i += 1024) {
        const size_t n = std::min<size_t>(1024, samples.size() - i);
        chunk.assign(samples.begin() + std::ptrdiff_t(i), samples.begin() + std::ptrdiff_t(i + n));
        ltc_decoder_write_float(decoder, chunk.data(), n, ltc_off_t(i));
        LTCFrameExt frame;
        while (ltc_decoder_read(decoder, &frame)) {
            SMPTETimecode t;
            ltc_frame_to_time(&t, &frame.ltc, 0);
            char text[32];
            std::snprintf(text, sizeof text, "%02d:%02d:%02d%c%02d", t.hours, t.mins, t.secs, frame.ltc.dfbit ? ';' : ':',
                          t.frame);
            frames.push_back({int64_t(frame.off_start), text});
        }
    }
    ltc_decoder_free(decoder);
    return frames;
}

void writeRawFloat(const std::filesystem::path& file, const std::vector<float>& samples) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(samples.data()), std::streamsize(samples.size() * sizeof(float)));
}

}  // namespace qm::test
