// Adding the channel layout box to a finished QuickTime movie: files it cannot edit without moving
// samples, or that do not parse, are refused and left as they were. (What the box holds and how
// players read it is checked through the transcoder, transcoder_formats_test.cpp.)
#include "platform/media/quicktime_channel_layout.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "support/movie_boxes.h"
#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

TEST(QuickTimeChannelLayout, RefusesWhatItCannotEditSafely) {
    test::TempDir dir;
    const fs::path source = dir / "source.mov";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=32x32:r=10:d=0.1", "-f", "lavfi", "-i", "sine=sample_rate=8000:d=0.1",
                  "-filter_complex", "[1:a]pan=6c|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0[a]", "-map", "0:v", "-map", "[a]",
                  "-c:v", "prores_ks", "-c:a", "pcm_s24le", source.string()});
    // The command names speaker positions for any six channels; as 'free' space they are gone.
    std::string good = test::readFile(source);
    ASSERT_NE(good.rfind("chan"), std::string::npos);
    good.replace(good.rfind("chan"), 4, "free");
    test::writeFile(source, good);
    const size_t moov = good.rfind("moov") - 4;
    const fs::path movie = dir / "edited.mov";
    auto refused = [&](const std::string& bytes, int channels = 6) {
        test::writeFile(movie, bytes);
        const int rc = addDiscreteChannelLayout(movie, channels);
        EXPECT_TRUE(test::readFile(movie) == bytes) << "the file changed";
        return rc;
    };
    EXPECT_EQ(refused(good, 8), EINVAL);  // no sound track of that many channels
    EXPECT_EQ(refused(good + std::string("\0\0\0\x08" "free", 8)), ENOTSUP);
    EXPECT_EQ(refused(good.substr(0, good.size() - 1)), EINVAL);
    EXPECT_EQ(refused(good.substr(0, moov)), EINVAL);
    EXPECT_EQ(addDiscreteChannelLayout(dir / "missing.mov", 6), ENOENT);
    // A movie that has its layout already is left alone.
    ASSERT_EQ(addDiscreteChannelLayout(source, 6), 0);
    EXPECT_EQ(refused(test::readFile(source)), 0);

    // Any one damaged byte of the movie box: refused untouched, or edited by exactly one box that
    // a reader able to walk the damaged file still finds.
    for (size_t at = moov; at < good.size(); ++at) {
        SCOPED_TRACE("damaged at byte " + std::to_string(at));
        std::string bad = good;
        bad[at] = static_cast<char>(bad[at] ^ 0x80);
        test::writeFile(movie, bad);
        const auto readable = test::soundChannelLayouts(movie);
        if (addDiscreteChannelLayout(movie, 6) != 0) {
            ASSERT_TRUE(test::readFile(movie) == bad) << "the file changed";
            continue;
        }
        const std::string edited = test::readFile(movie);
        ASSERT_EQ(edited.size(), bad.size() + 24);
        ASSERT_TRUE(edited.compare(0, moov, bad, 0, moov) == 0) << "samples moved";
        if (readable) {
            const auto layouts = test::soundChannelLayouts(movie);
            ASSERT_TRUE(layouts);
            ASSERT_EQ(layouts->size(), readable->size() + 1);
        }
    }
}

}  // namespace
}  // namespace qm
