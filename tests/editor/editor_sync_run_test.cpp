// The editor's background analysis queue, the timecode under the playhead and the clip sync run,
// headless: analysis results and sound comparisons are stand-ins keyed by file name.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <mutex>

#include "editor/timecode_text.h"
#include "editor_test_support.h"

namespace qm {
namespace {

using Outcome = SyncReport::Outcome;
using Verdict = AudioAligner::Consistency;
using Calls = std::vector<std::pair<std::string, double>>;  // file and waveform flag, or clip file and rate

LTCInfo ltcAt(int64_t nominal, double startFrame, bool dropFrame = false) {
    return {0, 0, nominal, dropFrame, double(nominal), startFrame, 300};
}
SoundMatch bySound(double offset, Verdict verdict = Verdict::consistent()) {
    return {AudioAligner::LoadedSound{{0.5f}, 0}, offset, verdict, 20.0};
}

struct SyncEditor {
    struct Shared {
        std::mutex lock;
        std::map<std::string, MediaAnalysis> analyses;
        std::map<std::string, SoundMatch> matches;
        Calls analysed, compared;
        std::atomic<int> running{0}, mostRunning{0};
        std::atomic<bool> block{false}, blocked{false};
    };
    std::shared_ptr<Shared> s = std::make_shared<Shared>();
    std::unique_ptr<EditorModel> model;

    // `sound` false: playback runs on the wall clock, never opening an audio output.
    explicit SyncEditor(bool sound = true) {
        test::qtApp();
        EditorModel::Environment env;
        env.sound = sound;
        env.render = [](const Project&, const MediaInfos&, double) { return QImage(); };
        env.analyze = [s = s](const std::filesystem::path& file, bool waveform, std::stop_token stop) {
            s->mostRunning = std::max(s->mostRunning.load(), ++s->running);
            for (s->blocked = s->block.load(); s->blocked && !stop.stop_requested();)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            std::lock_guard guard(s->lock);
            s->analysed.emplace_back(file.filename().string(), waveform);
            --s->running;
            return s->analyses[file.filename().string()];
        };
        env.matchSound = [s = s](auto, auto&, auto, const std::filesystem::path& clip, auto, double rate, auto) {
            std::lock_guard guard(s->lock);
            s->compared.emplace_back(clip.filename().string(), rate);
            return s->matches[clip.filename().string()];
        };
        model = std::make_unique<EditorModel>(env);
    }
    EditorModel* operator->() { return model.get(); }

    QUuid addMedia(const QString& name, double duration = 60, bool picture = true, bool hasAudio = true) {
        MediaItem item;
        item.id = QUuid::createUuid();
        item.name = name;
        item.path = QStringLiteral("/nowhere/") + name;
        item.width = item.height = picture ? 720 : 0;
        item.duration = duration;
        item.hasAudio = hasAudio;
        edit([&](Project& p) { p.media.push_back(item); });
        return item.id;
    }
    QUuid addClip(const QUuid& media, std::size_t track, double start, double sourceIn = 0, double duration = 5) {
        Clip c;
        std::tie(c.id, c.mediaID, c.start, c.sourceIn, c.duration) = std::tuple(QUuid::createUuid(), media, start, sourceIn, duration);
        edit([&](Project& p) {
            p.tracks.resize(std::max(p.tracks.size(), track + 1), Track{QUuid::createUuid(), "Layer", {}});
            p.tracks[track].clips.push_back(c);
        });
        return c.id;
    }
    void edit(const std::function<void(Project&)>& change) {
        Project p = model->project();
        change(p);
        model->setProject(std::move(p));
    }
    void removeMedia(const QUuid& media) {
        edit([&](Project& p) {
            std::erase_if(p.media, [&](const MediaItem& m) { return m.id == media; });
            for (Track& t : p.tracks) std::erase_if(t.clips, [&](const Clip& c) { return c.mediaID == media; });
        });
    }
    void analyse(const std::vector<QUuid>& media) {
        for (const QUuid& id : media) model->enqueueAnalysis(id);
        ASSERT_TRUE(test::waitUntil([&] { return !model->isAnalysing(); }));
    }
    void sync(const QUuid& reference) {
        model->syncClips(reference);
        ASSERT_TRUE(test::waitUntil([&] { return !model->syncStatus(); }));
    }
    // Where the clip's medium has its time 0, seen from the reference clip's medium.
    double offset(const QUuid& id, const QUuid& ref) {
        const Clip c = model->clip(id).value(), r = model->clip(ref).value();
        return (c.start - c.sourceIn) - (r.start - r.sourceIn);
    }
};

TEST(EditorAnalysis, OneMediumAtATimeInOrderStoppedByANewProject) {
    SyncEditor e;
    const QUuid movie = e.addMedia("movie.mov"), sound = e.addMedia("sound.wav", 30, false), gone = e.addMedia("gone.wav");
    e.s->analyses["movie.mov"] = {ltcAt(25, 1000), std::vector<float>{1.0f}};
    e.s->analyses["sound.wav"] = {std::nullopt, std::vector<float>{0.25f, 1.0f}};
    e.s->block = true;
    for (const QUuid& id : {movie, sound, gone}) e->enqueueAnalysis(id);
    ASSERT_TRUE(test::waitUntil([&] { return e.s->blocked.load(); }));
    e.removeMedia(gone);  // before its turn: dropped silently
    e.s->block = false;
    e->resetAnalysis();  // the first file stops and its result is not kept
    EXPECT_TRUE(e->analysisQueue().empty());
    e.analyse({sound, gone});
    EXPECT_TRUE(e->ltc().isEmpty());
    e.analyse({movie});
    EXPECT_EQ(e.s->analysed, (Calls{{"movie.mov", 0}, {"sound.wav", 1}, {"movie.mov", 0}}));
    EXPECT_EQ(e.s->mostRunning.load(), 1);
    EXPECT_EQ(e->ltc().value(movie), ltcAt(25, 1000));
    EXPECT_FALSE(e->waveforms().contains(movie));  // a picture never gets one
    EXPECT_EQ(e->waveforms().value(sound), (std::vector<float>{0.25f, 1.0f}));
    // Queueing again drops the earlier results.
    e.s->analyses["movie.mov"] = {};
    e->enqueueAnalysis(movie);
    EXPECT_FALSE(e->ltc().contains(movie));

    // The destructor stops a running analysis instead of waiting for its end.
    SyncEditor d;
    d.s->block = true;
    d->enqueueAnalysis(d.addMedia("long.wav", 3600, false));
    ASSERT_TRUE(test::waitUntil([&] { return d.s->blocked.load(); }));
    d.model.reset();
}

TEST(EditorAnalysis, TimecodeAtPlayhead) {
    SyncEditor e;
    const QUuid timed = e.addMedia("a.mov"), plain = e.addMedia("b.mov"), corrupt = e.addMedia("c.mov");
    e.s->analyses["a.mov"].ltc = ltcAt(25, 90000);
    e.s->analyses["c.mov"].ltc = ltcAt(25, std::numeric_limits<double>::infinity());
    e.analyse({timed, plain, corrupt});
    e->setSelectedClipID(e.addClip(plain, 0, 0, 0, 20));
    const QUuid timedClip = e.addClip(timed, 1, 10, 2, 10);
    e->seek(12.5);
    // The selected clip has no LTC: the first track's clip with LTC gives frame 90112.501.
    const auto reading = e->timecodeAtPlayhead();
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->timecode.displayText(), "01:00:04:12");
    EXPECT_EQ(reading->clip.id, timedClip);
    e->seek(5);
    EXPECT_FALSE(e->timecodeAtPlayhead());
    e->setSelectedClipID(e.addClip(corrupt, 2, 4));
    EXPECT_FALSE(e->timecodeAtPlayhead());
}

TEST(EditorAnalysis, TimecodeWherePlaybackStoppedIsTheTimelinesFrame) {
    SyncEditor e(false);
    const QUuid timed = e.addMedia("a.mov");
    e.s->analyses["a.mov"].ltc = ltcAt(30, 0);
    e.analyse({timed});
    e.addClip(timed, 0, 0, 0, 60);
    const double rate = e->project().frameRate;
    // Paused as a user may: at a moment the playhead lies in the later half of a frame.
    QObject::connect(e.model.get(), &EditorModel::playheadChanged, [&] {
        const double frames = e->playhead() * rate;
        if (e->isPlaying() && frames - std::floor(frames) >= 0.5) e->pause();
    });
    e->play();
    ASSERT_TRUE(test::waitUntil([&] { return !e->isPlaying(); }));
    ASSERT_LT(e->playhead(), 60.0) << "never paused";
    const auto reading = e->timecodeAtPlayhead();
    ASSERT_TRUE(reading);
    EXPECT_EQ(QString::fromStdString(reading->timecode.displayText()), formatTimecode(e->playhead(), rate));
}

TEST(EditorSyncRun, PlacesByTimecodeOrSoundInOneStep) {
    struct Case {
        const char* name;
        std::optional<LTCInfo> ltc;
        SoundMatch match;
        Outcome outcome;
        std::optional<double> offset;
        bool hasAudio = true;
    };
    const Case cases[] = {
        {"later.mov", ltcAt(25, 1250), {}, Outcome::timecode(), 10.0},
        {"earlier.mov", ltcAt(25, 750), {}, Outcome::timecode(), -10.0},
        // 23:59:50:00 is 50 s before the reference's 00:00:40:00, not a day after it.
        {"midnight.mov", ltcAt(25, (24 * 3600 - 10) * 25.0), {}, Outcome::timecode(), -50.0},
        // Another rate or counting: by sound instead.
        {"df.mov", ltcAt(30, 1250, true), bySound(3.25), Outcome::sound(), 3.25},
        {"thirty.mov", ltcAt(30, 1250), {}, Outcome::noMatch(), std::nullopt},
        {"silent.mov", std::nullopt, bySound(1), Outcome::noSound(), std::nullopt, false},
        {"short.mov", std::nullopt, bySound(1.5, Verdict::tooShort()), Outcome::sound(), 1.5},
        {"part.mov", std::nullopt, bySound(2, Verdict::unconfirmed()), Outcome::partial(), std::nullopt},
        {"fast.mov", std::nullopt, bySound(2, Verdict::drifting(0.05, 0.1)), Outcome::differentSpeed(0.1), std::nullopt},
    };
    for (const double duration : {1200.0, 1200.5}) {
        SyncEditor e;
        const QUuid ref = e.addMedia("ref.mov", duration);
        e.s->analyses["ref.mov"].ltc = ltcAt(25, 1000);
        const QUuid refClip = e.addClip(ref, 0, 80, 3);
        std::vector<QUuid> media{ref}, clips;
        Calls compared;
        for (const Case& c : cases) {
            media.push_back(e.addMedia(c.name, 60, true, c.hasAudio));
            e.s->analyses[c.name].ltc = c.ltc;
            e.s->matches[c.name] = c.match;
            clips.push_back(e.addClip(media.back(), clips.size() + 1, 100, 0.5));
            if (c.hasAudio && (!c.offset || c.outcome != Outcome::timecode()))
                compared.emplace_back(c.name, duration > 1200 ? 1000 : 2000);
        }
        // A second clip of one medium moves with the first; the medium is compared once.
        const QUuid again = e.addClip(media[4], std::size(cases) + 1, 200, 7.5);
        for (const QUuid& id : media) e->enqueueAnalysis(id);
        e->syncClips(refClip);  // waits for the running analysis
        EXPECT_EQ(e->syncStatus(), QString::fromUtf8("Syncing…"));
        e->syncClips(clips[0]);  // ignored while active
        ASSERT_TRUE(test::waitUntil([&] { return !e->syncStatus(); }));

        EXPECT_EQ(e->syncReport()->referenceName, "ref.mov");
        ASSERT_EQ(e->syncReport()->entries.size(), std::size(cases));
        EXPECT_EQ(e->syncReport()->syncedCount(), 5);
        EXPECT_EQ(e->undoCount(), 1u);
        EXPECT_EQ(e.s->compared, compared);
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            EXPECT_EQ(e->syncReport()->entries[i].outcome, cases[i].outcome) << cases[i].name;
            if (cases[i].offset)
                EXPECT_NEAR(e.offset(clips[i], refClip), *cases[i].offset, 1e-9) << cases[i].name;
            else
                EXPECT_EQ(e->clip(clips[i])->start, 100) << cases[i].name;
        }
        EXPECT_NEAR(e.offset(again, refClip), 3.25, 1e-9);
        e->undo();
        EXPECT_EQ(e->clip(clips[0])->start, 100);
    }

    // Only the reference's own medium: an empty report at once; playback and status untouched.
    SyncEditor lone;
    const QUuid only = lone.addMedia("only.mov");
    const QUuid first = lone.addClip(only, 0, 0);
    lone.addClip(only, 1, 3);
    lone->play();
    lone->syncClips(first);
    EXPECT_TRUE(lone->isPlaying());
    EXPECT_FALSE(lone->syncStatus());
    EXPECT_TRUE(lone->syncReport()->entries.empty());
    lone->clearSyncReport();
    lone->syncClips(QUuid::createUuid());  // not on the timeline: nothing at all
    EXPECT_FALSE(lone->syncReport());
}

TEST(EditorSyncRun, ReChecksTheProjectBeforeApplying) {
    using Meanwhile = std::function<void(SyncEditor&, const QUuid& refClip, const QUuid& ref, const QUuid& first)>;
    const std::pair<Meanwhile, std::size_t> cases[] = {
        {[](SyncEditor& e, auto&, auto&, const QUuid& first) { e.removeMedia(first); }, 1},
        {[](SyncEditor& e, auto&, const QUuid& ref, auto&) { e.removeMedia(ref); }, 0},
        {[](SyncEditor& e, auto&, auto&, const QUuid& first) {
             e.edit([&](Project& p) { p.tracks[0].clips[0].mediaID = first; });  // the reference clip
         }, 0},
        {[](SyncEditor& e, auto&, auto&, auto&) { e->resetAnalysis(); }, 0},
    };
    for (const auto& [meanwhile, entries] : cases) {
        SyncEditor e;
        const QUuid ref = e.addMedia("ref.mov"), first = e.addMedia("first.mov"), second = e.addMedia("second.mov");
        e.s->matches["first.mov"] = bySound(2);
        e.s->matches["second.mov"] = bySound(3);
        const QUuid refClip = e.addClip(ref, 0, 10);
        e.addClip(first, 1, 0);
        const QUuid secondClip = e.addClip(second, 2, 0);
        // Once the first medium is compared, before the second.
        QObject::connect(e.model.get(), &EditorModel::syncStatusChanged, e.model.get(), [&] {
            if (e->syncStatus() == QString::fromUtf8("Syncing 2 of 2…")) meanwhile(e, refClip, ref, first);
        });
        e.sync(refClip);
        ASSERT_EQ(e->syncReport()->entries.size(), entries);
        EXPECT_EQ(e->undoCount(), entries);
        EXPECT_EQ(e->isDirty(), entries > 0);
        if (entries) {
            EXPECT_NEAR(e.offset(secondClip, refClip), 3, 1e-9);
        }
    }
    // A match that leaves every clip where it was: no step, not dirty.
    SyncEditor e;
    const QUuid ref = e.addMedia("ref.mov"), other = e.addMedia("other.mov");
    e.s->matches["other.mov"] = bySound(10);
    const QUuid refClip = e.addClip(ref, 0, 0);
    e.addClip(other, 1, 10);
    e.sync(refClip);
    EXPECT_EQ(e->undoCount(), 0u);
    EXPECT_FALSE(e->isDirty());
    EXPECT_EQ(e->syncReport()->entries[0].outcome, Outcome::sound());
}

}  // namespace
}  // namespace qm
