// Which libswscale filter the scaler service should use for each ratio. The ffmpeg CLI gives each
// picture as 16-bit RGB (the lossless original) and as 8-bit 4:2:0 BT.709 Y'CbCr made from it
// (what most movies hold). The reference at each size is a Lanczos-3 resample of the original in
// double precision, its support widened by the reduction so that it filters what it drops (the
// textbook anti-aliased resample); at 100 % it is the original itself. Each candidate scales the
// 4:2:0 picture to 8-bit planar RGB as source reading does, and is scored by PSNR over R, G and B
// against the rounded reference; speed is the median of 9 single-threaded conversions.
//
//   qm_bench_scaler_quality [photo.jpg ...]   (default: three plasma-workspace wallpapers)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

#include "platform/media/scaler.h"

namespace {

using namespace qm;

struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> yuv;                // 4:2:0, planes back to back
    std::vector<std::vector<double>> rgb;    // R, G, B planes of the original, in 0…255 steps
};

std::string readAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove(file);
    return bytes;
}

// The ffmpeg CLI turns a file or a lavfi pattern into the 16-bit RGB original and the 4:2:0
// picture made from it.
Picture decode(const std::string& input, bool lavfi, int width, int height) {
    const auto dir = std::filesystem::temp_directory_path();
    const std::string rgb = (dir / "qm_scaler_quality.rgb").string(), yuv = (dir / "qm_scaler_quality.yuv").string();
    const std::string size = std::to_string(width) + ":" + std::to_string(height);
    std::string command = "ffmpeg -v error -y " + std::string(lavfi ? "-f lavfi " : "") + "-i '" + input +
                          "' -frames:v 1 -vf scale=" + size + ":flags=lanczos,format=rgb48le -f rawvideo '" + rgb + "'";
    command += " && ffmpeg -v error -y -f rawvideo -pix_fmt rgb48le -s " + std::to_string(width) + "x" +
               std::to_string(height) + " -i '" + rgb +
               "' -vf scale=out_color_matrix=bt709:out_range=tv:flags=accurate_rnd,format=yuv420p -f rawvideo '" + yuv + "'";
    if (std::system(command.c_str()) != 0) return {};
    const std::string rgbBytes = readAll(rgb), yuvBytes = readAll(yuv);
    const size_t pixels = size_t(width) * height;
    if (rgbBytes.size() != pixels * 6 || yuvBytes.size() != pixels * 3 / 2) return {};
    Picture p{width, height, std::vector<uint8_t>(yuvBytes.begin(), yuvBytes.end()), {}};
    p.rgb.assign(3, std::vector<double>(pixels));
    for (size_t i = 0; i < pixels; ++i)
        for (size_t c = 0; c < 3; ++c) {
            const auto* at = reinterpret_cast<const uint8_t*>(rgbBytes.data()) + 6 * i + 2 * c;
            p.rgb[c][i] = (at[0] | (at[1] << 8)) / 257.0;
        }
    return p;
}

void yuvPlanes(const Picture& p, const uint8_t* planes[4], int strides[4]) {
    const size_t luma = size_t(p.width) * p.height;
    planes[0] = p.yuv.data();
    planes[1] = planes[0] + luma;
    planes[2] = planes[1] + luma / 4;
    planes[3] = nullptr;
    strides[0] = p.width;
    strides[1] = strides[2] = p.width / 2;
    strides[3] = 0;
}

const Scaler::Colour kColour{SWS_CS_ITU709, 0, SWS_CS_ITU709, 0};

double lanczos(double x) {
    x = std::fabs(x);
    if (x < 1e-12) return 1.0;
    if (x >= 3.0) return 0.0;
    const double px = M_PI * x;
    return 3.0 * std::sin(px) * std::sin(px / 3.0) / (px * px);
}

// One dimension of the reference resample: `count` lines of `from` samples to `to` samples.
std::vector<double> resample(const std::vector<double>& in, int from, int to, int count, bool rows) {
    const double scale = double(to) / from;
    const double widen = std::max(1.0, 1.0 / scale);
    std::vector<double> out(size_t(to) * count);
    for (int o = 0; o < to; ++o) {
        const double centre = (o + 0.5) / scale - 0.5;
        const int first = int(std::floor(centre - 3 * widen)), last = int(std::ceil(centre + 3 * widen));
        std::vector<std::pair<int, double>> taps;
        double sum = 0;
        for (int i = first; i <= last; ++i) {
            const double w = lanczos((i - centre) / widen);
            if (w == 0) continue;
            taps.emplace_back(std::clamp(i, 0, from - 1), w);
            sum += w;
        }
        for (int line = 0; line < count; ++line) {
            double v = 0;
            for (auto [i, w] : taps) v += w * (rows ? in[size_t(i) * count + line] : in[size_t(line) * from + i]);
            (rows ? out[size_t(o) * count + line] : out[size_t(line) * to + o]) = v / sum;
        }
    }
    return out;
}

std::vector<double> reference(const std::vector<double>& plane, int width, int height, int w, int h) {
    if (w == width && h == height) return plane;
    const std::vector<double> across = resample(plane, width, w, height, false);  // height lines of w
    return resample(across, height, h, w, true);
}

struct Result {
    double psnr = 0, milliseconds = 0;
};

Result candidate(const Picture& p, const std::vector<std::vector<double>>& ref, int w, int h, int filter) {
    Scaler scaler;
    Scaler::Geometry g = Scaler::geometryFor(p.width, p.height, AV_PIX_FMT_YUV420P, w, h, AV_PIX_FMT_GBRP);
    g.flags = filter | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT;
    scaler.prepare(g, kColour);
    std::vector<uint8_t> planes(size_t(w) * h * 3);
    const uint8_t* in[4];
    int inStrides[4];
    yuvPlanes(p, in, inStrides);
    uint8_t* out[4] = {planes.data(), planes.data() + size_t(w) * h, planes.data() + 2 * size_t(w) * h, nullptr};
    const int outStrides[4] = {w, w, w, 0};
    std::vector<double> times;
    for (int run = 0; run < 9; ++run) {
        const auto start = std::chrono::steady_clock::now();
        scaler.scale(in, inStrides, out, outStrides);
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    double squared = 0;
    const int plane[3] = {2, 0, 1};  // planar RGB holds G, B, R
    for (int c = 0; c < 3; ++c)
        for (size_t i = 0; i < size_t(w) * h; ++i) {
            const double expected = std::clamp(std::round(ref[size_t(c)][i]), 0.0, 255.0);
            const double d = planes[size_t(plane[c]) * w * h + i] - expected;
            squared += d * d;
        }
    const double mse = squared / (3.0 * w * h);
    return {mse > 0 ? 10 * std::log10(255.0 * 255.0 / mse) : 99.0, times[4]};
}

}  // namespace

int main(int argc, char** argv) {
    struct Source {
        std::string name, input;
        bool lavfi;
        int width, height;
    };
    std::vector<Source> sources;
    std::vector<std::string> photos(argv + 1, argv + argc);
    if (photos.empty())
        for (const char* name : {"Autumn", "ColorfulCups", "BytheWater"})
            photos.push_back(std::string("/usr/share/wallpapers/") + name + "/contents/images/2560x1600.jpg");
    for (const auto& photo : photos)
        if (std::filesystem::exists(photo)) sources.push_back({std::filesystem::path(photo).parent_path().parent_path().parent_path().filename().string(), photo, false, 2560, 1600});
    sources.push_back({"testsrc2", "testsrc2=s=1920x1080", true, 1920, 1080});
    sources.push_back({"mandelbrot", "mandelbrot=s=1920x1080", true, 1920, 1080});

    std::printf("| source | size | PSNR dB area / bilinear / bicubic | ms area / bilinear / bicubic |\n|---|---|---|---|\n");
    for (const auto& s : sources) {
        const Picture p = decode(s.input, s.lavfi, s.width, s.height);
        if (p.yuv.empty()) {
            std::fprintf(stderr, "cannot read %s\n", s.input.c_str());
            continue;
        }
        for (int percent : {25, 50, 75, 100, 150}) {
            const int w = (p.width * percent / 100) & ~1, h = (p.height * percent / 100) & ~1;
            std::vector<std::vector<double>> ref;
            for (const auto& plane : p.rgb) ref.push_back(reference(plane, p.width, p.height, w, h));
            const Result area = candidate(p, ref, w, h, SWS_AREA);
            const Result bilinear = candidate(p, ref, w, h, SWS_BILINEAR);
            const Result bicubic = candidate(p, ref, w, h, SWS_BICUBIC);
            std::printf("| %s | %d %% (%dx%d) | %.2f / %.2f / %.2f | %.2f / %.2f / %.2f |\n", s.name.c_str(), percent, w,
                        h, area.psnr, bilinear.psnr, bicubic.psnr, area.milliseconds, bilinear.milliseconds,
                        bicubic.milliseconds);
            std::fflush(stdout);
        }
    }
    return 0;
}
