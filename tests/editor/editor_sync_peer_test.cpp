// The editor's analysis and sync run on real files: LTC from libltc's encoder either side of
// midnight, and pink noise found again in a trimmed copy at another rate (ffmpeg CLI).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "../editor_sync/ltc_signal.h"
#include "editor_test_support.h"
#include "engine/media_info.h"
#include "support/test_support.h"

namespace qm {
namespace {

TEST(EditorSyncPeer, TimecodeAcrossMidnightAndSoundBesideAnLTCChannel) {
    test::TempDir dir;
    auto ltcWav = [&](const std::string& name, int hours, int minutes, int seconds, double rate) {
        test::LTCSignalSpec spec;
        spec.sampleRate = rate;
        spec.hours = hours;
        spec.minutes = minutes;
        spec.seconds = seconds;
        spec.frames = 500;  // 20 s
        test::writeRawFloat(dir / (name + ".f32"), test::ltcSignal(spec));
        test::ffmpeg({"-f", "f32le", "-ar", std::to_string(int(rate)), "-ac", "1", "-i", (dir / (name + ".f32")).string(),
                      (dir / (name + ".wav")).string()});
    };
    ltcWav("ltc", 23, 59, 50, 48000);
    ltcWav("night", 0, 0, 5, 44100);
    // The reference: pink noise on the left, its timecode on the right.
    test::ffmpeg({"-f", "lavfi", "-i", "anoisesrc=d=20:c=pink:seed=3:a=0.3", "-i", (dir / "ltc.wav").string(),
                  "-filter_complex", "[0:a]aformat=flt:48000:mono[n];[1:a]aformat=flt:48000:mono[l];[n][l]amerge=inputs=2", "-ar", "48000",
                  (dir / "reference.wav").string()});
    test::ffmpeg({"-i", (dir / "reference.wav").string(), "-af", "pan=mono|c0=c0", "-ss", "5.5", "-t", "12", "-ar",
                  "44100", (dir / "clip.wav").string()});

    test::qtApp();
    EditorModel::Environment env;
    env.render = [](const Project&, const MediaInfos&, double) { return QImage(); };
    EditorModel model(env);
    model.addTrack();
    model.addTrack();
    std::vector<QUuid> clips;
    for (const char* name : {"reference.wav", "night.wav", "clip.wav"}) {
        const auto path = QString::fromStdString((dir / name).string());
        MediaItem item(path, MediaInfo::load(dir / name, true));
        Project p = model.project();
        p.media.push_back(item);
        model.setProject(std::move(p));
        model.enqueueAnalysis(item.id);
        model.addClipAtPlayhead(item.id, clips.size(), 0.0);
        clips.push_back(model.selectedClipID());
    }
    model.syncClips(clips[0]);
    ASSERT_TRUE(test::waitUntil([&] { return !model.syncStatus(); }));

    ASSERT_TRUE(model.syncReport());
    ASSERT_EQ(model.syncReport()->entries.size(), 2u);
    EXPECT_EQ(model.syncReport()->entries[0].outcome, SyncReport::Outcome::timecode());
    EXPECT_EQ(model.syncReport()->entries[1].outcome, SyncReport::Outcome::sound());
    const Project& p = model.project();
    auto origin = [&](const QUuid& id) {
        const auto at = p.clipLocation(id);
        const Clip& c = p.tracks[at->track].clips[at->clip];
        return c.start - c.sourceIn;
    };
    EXPECT_NEAR(origin(clips[1]) - origin(clips[0]), 15.0, 0.001);
    EXPECT_NEAR(origin(clips[2]) - origin(clips[0]), 5.5, 0.001);

    // Waveforms of the sound alone (the LTC channel left out), 100 a second, the loudest 1.
    EXPECT_EQ(model.ltc()[p.media[0].id].channel, 1);
    const auto& reference = model.waveforms()[p.media[0].id];
    ASSERT_EQ(reference.size(), 2000u);
    EXPECT_EQ(*std::max_element(reference.begin(), reference.end()), 1.0f);
    EXPECT_EQ(model.waveforms()[p.media[2].id].size(), 1200u);
}

}  // namespace
}  // namespace qm
