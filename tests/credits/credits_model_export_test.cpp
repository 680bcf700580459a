// A Word list and an opening picture exported through the model with the real strip builder,
// read back by ffprobe and ffmpeg: size, codec tag, frame count and every frame decoded.
#include <gtest/gtest.h>

#include <cmath>

#include "model_test_support.h"
#include "strip_test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::qpath;
using test::waitUntil;

class CreditsModelExport : public test::CreditsModelTest {};

TEST_F(CreditsModelExport, HapQMovieAndPNGSequenceHaveTheRollsSizeAndFrameCount) {
    nlohmann::json paragraphs = nlohmann::json::array();
    for (int i = 0; i < 12; ++i) {
        paragraphs.push_back({{"align", "center"}, {"runs", {{{"text", "Role " + std::to_string(i) + "  Name"}, {"size", 18}}}}});
    }
    test::makeDocx({{"paragraphs", paragraphs}}, dir / "Cast.docx");
    const fs::path logo = picture("logo.png");

    model = makeModel(true);
    CreditsSettings s = model->settings();
    s.width = 640;
    s.height = 360;
    s.rollSeconds = 3;
    s.head.hold = 1;
    s.head.key = CreditsSettings::KeyMode::none;
    s.fadeIn = 0;
    model->setSettings(s);
    EXPECT_TRUE(model->openFile({qpath(dir / "Cast.docx"), qpath(logo)}, CreditsModel::Slot::automatic));
    ASSERT_TRUE(waitUntil([&] { return model->strip().has_value() || model->errorMessage(); }));
    ASSERT_FALSE(model->errorMessage()) << model->errorMessage()->toStdString();
    const double total = model->length();
    const int64_t frames = int64_t(std::ceil(total * 25));
    ASSERT_GT(frames, 25 * 4);

    for (OutputFormat format : {OutputFormat::hapQ, OutputFormat::pngSequence}) {
        ConversionSettings out = model->output();
        out.format = format;
        model->setOutput(out);
        const bool movie = format == OutputFormat::hapQ;
        fs::path destination = dir / model->exportName().toStdString();
        if (movie) destination += ".mov";
        model->startExport(qpath(destination));
        ASSERT_TRUE(waitUntil([&] { return !model->isExporting(); }));
        ASSERT_FALSE(model->exportError()) << model->exportError()->toStdString();
        EXPECT_EQ(model->exportResult(), qpath(destination));

        fs::path probed = destination;
        std::string input = destination.string();
        if (!movie) {
            int64_t files = 0;
            for (const auto& entry : fs::directory_iterator(destination)) files += entry.path().extension() == ".png";
            EXPECT_EQ(files, frames);
            // The folder names its frames.
            const std::string base = (destination / "Cast_640x360_PNG").string();
            probed = base + "_000000.png";
            ASSERT_TRUE(fs::exists(probed)) << probed;
            input = base + "_%06d.png";
        }
        const auto info = test::ffprobe(probed);
        const auto& stream = info.at("streams").at(0);
        EXPECT_EQ(stream.at("width"), 640);
        EXPECT_EQ(stream.at("height"), 360);
        if (movie) {
            EXPECT_EQ(stream.at("codec_tag_string"), "HapY");
        }

        // Every frame decodes; the first shows the opening picture in the middle.
        const fs::path raw = dir / "frames.rgb";
        std::vector<std::string> args = {"-i", input, "-f", "rawvideo", "-pix_fmt", "rgb24", raw.string()};
        if (!movie) args.insert(args.begin(), {"-framerate", "25", "-start_number", "0"});
        test::ffmpeg(args);
        const std::string pixels = test::readFile(raw);
        ASSERT_EQ(int64_t(pixels.size()), frames * 640 * 360 * 3);
        const auto* centre = reinterpret_cast<const unsigned char*>(pixels.data()) + (180 * 640 + 320) * 3;
        EXPECT_GT(centre[0], 200);
        EXPECT_LT(centre[1], 60);
        EXPECT_LT(centre[2], 60);
    }
}

}  // namespace
}  // namespace qm
