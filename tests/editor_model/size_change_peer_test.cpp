// A stream whose picture size changes midway (two x264 streams joined): qm-bench render-frame and
// export-project, on one, three and all processors, draw the pictures after the change fitted as
// the clip says, as ffmpeg scales them, not at their own size in a corner.

#include <gtest/gtest.h>

#include <sched.h>

#include <QImage>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "editor_model/timeline_fixtures.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

constexpr int kW = 640, kH = 360, kRate = 25;

// Mean absolute difference per byte of two pictures of one layout; 256 when the sizes differ.
double meanDifference(std::string_view a, std::string_view b) {
    if (a.size() != b.size() || a.empty()) return 256;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int(uint8_t(a[i])) - int(uint8_t(b[i])));
    return sum / double(a.size());
}

// A second of testsrc2 at `size` as a raw H.264 stream, tagged BT.709.
fs::path rawStream(const fs::path& dir, const std::string& size) {
    const fs::path file = dir / (size + ".h264");
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=" + size + ":rate=25:duration=1", "-c:v", "libx264", "-preset",
                  "ultrafast", "-pix_fmt", "yuv420p", "-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc",
                  "bt709", "-color_range", "tv", file.string()});
    return file;
}

// ffmpeg's pictures of a stream as RGB24, fitted into the frame (centred, black around) by `flags`.
std::string fitted(const fs::path& stream, const std::string& flags) {
    const fs::path raw = stream.parent_path() / (stream.stem().string() + "." + flags + ".rgb");
    test::ffmpeg({"-i", stream.string(), "-vf",
                  "scale=" + std::to_string(kW) + ":" + std::to_string(kH) +
                      ":force_original_aspect_ratio=decrease:in_color_matrix=bt709:flags=" + flags + ",pad=" +
                      std::to_string(kW) + ":" + std::to_string(kH) + ":(ow-iw)/2:(oh-ih)/2,format=rgb24",
                  "-f", "rawvideo", raw.string()});
    return test::readFile(raw);
}

std::string rgbOf(const fs::path& png) {
    const QImage image = QImage(QString::fromStdString(png.string())).convertToFormat(QImage::Format_RGB888);
    std::string bytes;
    for (int y = 0; y < image.height(); ++y) bytes.append(reinterpret_cast<const char*>(image.constScanLine(y)), size_t(image.width()) * 3);
    return bytes;
}

// "taskset -c" lists of the first one and three processors this test may use, and none for all.
std::vector<std::string> processorLists() {
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<int> allowed;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &set)) allowed.push_back(cpu);
    std::vector<std::string> lists;
    for (size_t n : {size_t(1), size_t(3)}) {
        if (allowed.size() < n) continue;
        std::string list;
        for (size_t i = 0; i < n; ++i) list += (i ? "," : "") + std::to_string(allowed[i]);
        lists.push_back(list);
    }
    lists.push_back("");
    return lists;
}

// qm-bench with `args`, pinned to `processors` unless empty.
test::CommandResult bench(const std::string& processors, const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    if (!processors.empty()) argv = {"taskset", "-c", processors};
    argv.push_back(QM_BENCH);
    argv.insert(argv.end(), args.begin(), args.end());
    return test::run(argv);
}

// 640×360 joined with 320×180 (the same shape) and with 240×240 (square: bars left and right).
TEST(PictureSizeChange, LaterPicturesAreFittedAsTheClipSays) {
    test::TempDir dir;
    const fs::path first = rawStream(dir.path(), "640x360");
    const size_t frameBytes = size_t(kW) * kH * 3;
    const std::string before = fitted(first, "bicubic");
    ASSERT_EQ(before.size(), size_t(kRate) * frameBytes);
    for (const std::string later : {"320x180", "240x240"}) {
        SCOPED_TRACE(later);
        const fs::path second = rawStream(dir.path(), later);
        const fs::path joined = dir / ("joined" + later + ".h264"), movie = dir / ("joined" + later + ".mp4");
        test::writeFile(joined, test::readFile(first) + test::readFile(second));
        test::ffmpeg({"-r", std::to_string(kRate), "-i", joined.string(), "-c", "copy", movie.string()});
        const test::Medium medium = test::probedMedium(movie);
        ASSERT_EQ(medium.info.width, kW);
        const Project project = test::projectOf(kW, kH, kRate, {medium}, {test::clipOf(medium, 0, 2, kW, kH)});
        const fs::path projectFile = dir / ("joined" + later + ".qmproj");
        test::writeFile(projectFile, project.encoded().toStdString());

        // How far ffmpeg's own scalers lie apart, and how far our picture before the change is from
        // ffmpeg's (the colour conversion): a picture after it may differ by no more than both.
        const std::string want = fitted(second, "bicubic"), nearest = fitted(second, "neighbor");
        ASSERT_EQ(want.size(), size_t(kRate) * frameBytes);
        const auto frameOf = [&](const std::string& frames, int i) { return std::string_view(frames).substr(size_t(i) * frameBytes, frameBytes); };
        for (const std::string& processors : processorLists()) {
            SCOPED_TRACE("processors " + (processors.empty() ? std::string("all") : processors));
            const auto render = [&](int frame) {
                const fs::path png = dir / "frame.png";
                fs::remove(png);
                EXPECT_EQ(bench(processors, {"render-frame", projectFile.string(), "--time", std::to_string((frame + 0.25) / kRate),
                                             "--out", png.string()})
                              .exitCode,
                          0);
                return rgbOf(png);
            };
            const double conversion = meanDifference(render(5), frameOf(before, 5));
            EXPECT_LT(conversion, 3.0);
            const auto expectFitted = [&](std::string_view ours, int k) {
                const double scalers = meanDifference(frameOf(nearest, k), frameOf(want, k));
                EXPECT_LE(meanDifference(ours, frameOf(want, k)), scalers + conversion) << "picture " << k << " after the change";
            };
            for (int k : {0, 7, 24}) expectFitted(render(kRate + k), k);

            const fs::path out = dir / ("export" + later + processors);
            ASSERT_EQ(bench(processors, {"export-project", projectFile.string(), "--format", "pngSequence", "--out", out.string(),
                                         "--no-audio"})
                          .exitCode,
                      0);
            std::vector<fs::path> frames;
            for (const auto& folder : fs::directory_iterator(out))
                for (const std::string& name : test::fileNames(folder.path())) frames.push_back(folder.path() / name);
            ASSERT_EQ(frames.size(), size_t(2 * kRate));
            for (int k = 0; k < kRate; ++k) expectFitted(rgbOf(frames[size_t(kRate + k)]), k);
        }
    }
}

}  // namespace
}  // namespace qm
