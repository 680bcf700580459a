// The blur against ImageMagick's Gaussian blur of the same 16-bit grey picture (edges repeated
// there too: its default virtual pixels are the edge's).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/raster/gaussian_blur.h"
#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

void writePgm(const fs::path& file, const FloatPlane& p) {
    std::string bytes = "P5\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n65535\n";
    for (float v : p.pixels) {
        const auto q = static_cast<uint16_t>(std::lround(std::clamp(v, 0.0f, 1.0f) * 65535));
        bytes.push_back(char(q >> 8));
        bytes.push_back(char(q & 0xFF));
    }
    test::writeFile(file, bytes);
}

FloatPlane readPgm(const fs::path& file) {
    std::istringstream in(test::readFile(file));
    std::string magic;
    int w = 0, h = 0, max = 0;
    in >> magic >> w >> h >> max;
    in.get();
    EXPECT_EQ(magic, "P5");
    EXPECT_EQ(max, 65535);
    FloatPlane p(w, h);
    for (float& v : p.pixels) {
        const int hi = in.get(), lo = in.get();
        v = float((hi << 8) | lo) / 65535.0f;
    }
    return p;
}

TEST(RasterBlurPeer, MatchesImageMagickBlur) {
    test::TempDir dir;
    FloatPlane plane(120, 70);
    for (int y = 0; y < plane.height; ++y)
        for (int x = 0; x < plane.width; ++x)
            plane.row(y)[x] = ((x / 9 + y / 6) % 2 == 0 ? 0.9f : 0.1f) + ((x * 7 + y * 3) % 13 == 0 ? 0.05f : 0.0f);
    writePgm(dir / "in.pgm", plane);
    // Below a sigma of about 1 ImageMagick integrates its kernel over each pixel rather than
    // sampling it, so the two part there by design; the unit test covers small sigmas.
    for (double sigma : {1.5, 4.0, 12.0, 30.0}) {
        SCOPED_TRACE(sigma);
        const std::string out = (dir / "out.pgm").string();
        const auto result = test::run({"convert", (dir / "in.pgm").string(), "-blur", "0x" + std::to_string(sigma), out});
        ASSERT_EQ(result.exitCode, 0);
        const FloatPlane reference = readPgm(out);
        ASSERT_EQ(reference.width, plane.width);
        FloatPlane ours = plane;
        gaussianBlur(ours, sigma);
        double worst = 0;
        for (size_t i = 0; i < ours.pixels.size(); ++i) worst = std::max(worst, double(std::abs(ours.pixels[i] - reference.pixels[i])));
        EXPECT_LE(worst, 0.01);
    }
}

}  // namespace
}  // namespace qm
