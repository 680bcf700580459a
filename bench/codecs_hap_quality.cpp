// RGB PSNR of our Hap, Hap Q and Hap Alpha encodings of photographs next to libavcodec's Hap
// encoder on the same pixels. Every frame, ours and libavcodec's, is decoded by libavcodec's Hap
// decoder, so both sides are judged by the same independent reader (QM_JUDGE=ours judges with our
// own decoder instead).
//
// Usage: [QM_JUDGE=ours] qm_hap_quality [photo-limit]

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "codecs/hap_codec.h"
#include "support/lavc_hap.h"
#include "codecs_hap_photos.h"
#include "core/four_cc.h"

namespace {

using namespace qm;

double rgbPsnr(const PixelBuffer& a, const PixelBuffer& b) {
    double squared = 0;
    for (int y = 0; y < a.height(); ++y) {
        const uint8_t* p = a.data() + static_cast<size_t>(y) * a.bytesPerRow();
        const uint8_t* q = b.data() + static_cast<size_t>(y) * b.bytesPerRow();
        for (int x = 0; x < a.width() * 4; ++x) {
            if (x % 4 == 3) continue;
            const double d = static_cast<double>(p[x]) - q[x];
            squared += d * d;
        }
    }
    const double mse = squared / (3.0 * a.width() * a.height());
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// The judging decoder: libavcodec's, or ours when QM_JUDGE=ours is set.
double judge(const std::vector<uint8_t>& frame, const char* fourcc, const PixelBuffer& source) {
    auto decoded = PixelBuffer::create(source.width(), source.height(), kPixelFormatBGRA);
    static const bool ours = std::getenv("QM_JUDGE") != nullptr && std::string(std::getenv("QM_JUDGE")) == "ours";
    if (frame.empty()) return NAN;
    if (ours) {
        try {
            HapDecoder(source.width(), source.height()).decode(frame.data(), frame.size(), *decoded);
        } catch (const ConversionError&) {
            return NAN;
        }
    } else if (!test::lavcHapDecode(frame, fourCCCode(fourcc), *decoded)) {
        return NAN;
    }
    return rgbPsnr(source, *decoded);
}

}  // namespace

int main(int argc, char** argv) {
    const size_t limit = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 64;
    const auto photos = bench::loadPhotos(limit);
    if (photos.empty()) {
        std::fprintf(stderr, "no photographs under /usr/share/wallpapers\n");
        return 1;
    }
    struct Column { const char* title; const char* fourcc; const char* lavc; };
    const Column columns[] = {{"Hap", "Hap1", "hap"}, {"Hap Q", "HapY", "hap_q"}, {"Hap Alpha", "Hap5", "hap_alpha"}};

    const char* judgeName = std::getenv("QM_JUDGE") != nullptr ? std::getenv("QM_JUDGE") : "libavcodec";
    std::printf("RGB PSNR in dB, 1920x1080 crops, all decoded by the %s hap decoder\n", judgeName);
    std::printf("%-14s", "photo");
    for (const auto& c : columns) std::printf(" | %-9s ours  oursHQ  lavc", c.title);
    std::printf("\n");
    int shortfalls = 0, shortfallsHq = 0;
    double sums[3][3] = {};
    for (const auto& photo : photos) {
        std::printf("%-14s", photo.name.c_str());
        for (size_t i = 0; i < 3; ++i) {
            const auto& c = columns[i];
            const auto variant = *hapVariantForCodecType(fourCCCode(c.fourcc));
            const double ours = judge(HapEncoder(c.title, variant, 1, false).encode(*photo.pixels), c.fourcc, *photo.pixels);
            const double oursHq = judge(HapEncoder(c.title, variant, 1, true).encode(*photo.pixels), c.fourcc, *photo.pixels);
            test::LavcHapEncoder lavc(c.lavc, photo.pixels->width(), photo.pixels->height(), 1, 1);
            const double theirs = judge(lavc.encode(*photo.pixels), c.fourcc, *photo.pixels);
            std::printf(" | %-9s %5.2f  %5.2f  %5.2f", "", ours, oursHq, theirs);
            sums[i][0] += ours;
            sums[i][1] += oursHq;
            sums[i][2] += theirs;
            if (!(ours >= theirs)) ++shortfalls;
            if (!(oursHq >= theirs)) ++shortfallsHq;
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    std::printf("%-14s", "mean");
    for (auto& s : sums)
        std::printf(" | %-9s %5.2f  %5.2f  %5.2f", "", s[0] / photos.size(), s[1] / photos.size(), s[2] / photos.size());
    std::printf("\ncells where ours is below libavcodec: normal %d, high quality %d (of %zu)\n", shortfalls,
                shortfallsHq, photos.size() * 3);
    return 0;
}
