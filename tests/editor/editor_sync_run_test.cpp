// The editor's background analysis queue, the timecode under the playhead and the clip sync run,
// headless: analysis results and sound comparisons are stand-ins keyed by file name.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

#include "editor_test_support.h"

namespace qm {
namespace {

using Outcome = SyncReport::Outcome;

LTCInfo ltcAt(int64_t nominal, double startFrame, bool dropFrame = false) {
    LTCInfo info;
    info.nominalRate = nominal;
    info.dropFrame = dropFrame;
    info.measuredRate = nominal == 30 && dropFrame ? 29.97 : double(nominal);
    info.startFrame = startFrame;
    info.framesDecoded = 300;
    return info;
}

SoundMatch placedBySound(double offset, AudioAligner::Consistency verdict = AudioAligner::Consistency::consistent()) {
    SoundMatch m;
    m.reference = AudioAligner::LoadedSound{{0.5f}, 0};
    m.offset = offset;
    m.consistency = verdict;
    return m;
}

struct SyncEditor {
    struct Shared {
        std::mutex lock;
        std::map<std::string, MediaAnalysis> analyses;  // by file name
        std::map<std::string, SoundMatch> matches;      // by clip file name
        std::vector<std::pair<std::string, bool>> analysed;  // file, needsWaveform
        std::vector<std::pair<std::string, double>> compared;  // clip file, rate
        std::atomic<int> running{0}, mostRunning{0};
        std::atomic<bool> blockAnalysis{false}, blocked{false};
    };
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    std::unique_ptr<EditorModel> model;

    SyncEditor() {
        test::qtApp();
        EditorModel::Environment env;
        env.render = [](const Project&, const MediaInfos&, double) { return QImage(4, 4, QImage::Format_RGBA8888); };
        env.analyze = [s = shared](const std::filesystem::path& file, bool needsWaveform, std::stop_token stop) {
            const int now = ++s->running;
            s->mostRunning = std::max(s->mostRunning.load(), now);
            if (s->blockAnalysis) {
                s->blocked = true;
                while (!stop.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            std::lock_guard guard(s->lock);
            s->analysed.emplace_back(file.filename().string(), needsWaveform);
            --s->running;
            return s->analyses[file.filename().string()];
        };
        env.matchSound = [s = shared](std::optional<AudioAligner::LoadedSound>, const std::filesystem::path&,
                                      std::optional<AudioAligner::ChannelRef>, const std::filesystem::path& clip,
                                      std::optional<AudioAligner::ChannelRef>, double rate, std::stop_token) {
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
        item.width = picture ? 1280 : 0;
        item.height = picture ? 720 : 0;
        item.duration = duration;
        item.hasAudio = hasAudio;
        Project p = model->project();
        p.media.push_back(item);
        model->setProject(std::move(p));
        return item.id;
    }
    QUuid addClip(const QUuid& media, std::size_t track, double start, double sourceIn = 0, double duration = 5) {
        Project p = model->project();
        while (p.tracks.size() <= track) p.tracks.push_back(Track{QUuid::createUuid(), "Layer", {}, true, true});
        Clip c;
        c.id = QUuid::createUuid();
        c.mediaID = media;
        c.start = start;
        c.sourceIn = sourceIn;
        c.duration = duration;
        p.tracks[track].clips.push_back(c);
        model->setProject(std::move(p));
        return c.id;
    }
    void removeMedia(const QUuid& media) {
        Project p = model->project();
        std::erase_if(p.media, [&](const MediaItem& m) { return m.id == media; });
        for (Track& t : p.tracks) std::erase_if(t.clips, [&](const Clip& c) { return c.mediaID == media; });
        model->setProject(std::move(p));
    }
    // Analyses the given media and waits for the queue to drain.
    void analyse(const std::vector<QUuid>& media) {
        for (const QUuid& id : media) model->enqueueAnalysis(id);
        ASSERT_TRUE(test::waitUntil([&] { return !model->isAnalysing(); }));
    }
    const Clip& clip(const QUuid& id) {
        const auto at = model->project().clipLocation(id);
        return model->project().tracks.at(at->track).clips.at(at->clip);
    }
    // Where the medium of clip `id` has its time 0, seen from the reference clip's medium.
    double placedOffset(const QUuid& id, const QUuid& reference) {
        return (clip(id).start - clip(id).sourceIn) - (clip(reference).start - clip(reference).sourceIn);
    }
    void sync(const QUuid& reference) {
        model->syncClips(reference);
        ASSERT_TRUE(test::waitUntil([&] { return !model->syncStatus().has_value(); }));
    }
};

TEST(EditorAnalysis, DrainsOneMediumAtATimeInOrderAndStoresTheResults) {
    SyncEditor e;
    const QUuid movie = e.addMedia("movie.mov"), sound = e.addMedia("sound.wav", 30, false), gone = e.addMedia("gone.wav");
    const QUuid last = e.addMedia("last.wav", 30, false);
    e.shared->analyses["movie.mov"] = {ltcAt(25, 1000), std::vector<float>{1.0f}};
    e.shared->analyses["sound.wav"] = {std::nullopt, std::vector<float>{0.25f, 1.0f}};
    e.shared->blockAnalysis = true;
    for (const QUuid& id : {movie, sound, gone, last}) e->enqueueAnalysis(id);
    EXPECT_TRUE(e->isAnalysing());
    ASSERT_TRUE(test::waitUntil([&] { return e.shared->blocked.load(); }));
    e.removeMedia(gone);  // before its turn: dropped silently
    e.shared->blockAnalysis = false;
    e->resetAnalysis();   // the first file stops and its result is not kept
    EXPECT_TRUE(e->analysisQueue().empty());
    for (const QUuid& id : {movie, sound, gone, last}) e->enqueueAnalysis(id);
    ASSERT_TRUE(test::waitUntil([&] { return !e->isAnalysing(); }));

    const std::vector<std::pair<std::string, bool>> expected = {
        {"movie.mov", false}, {"movie.mov", false}, {"sound.wav", true}, {"last.wav", true}};
    EXPECT_EQ(e.shared->analysed, expected);
    EXPECT_EQ(e.shared->mostRunning.load(), 1);
    EXPECT_EQ(e->ltc().value(movie), ltcAt(25, 1000));
    EXPECT_EQ(e->ltc().size(), 1);
    // A picture never gets a waveform, whatever the analysis says.
    EXPECT_FALSE(e->waveforms().contains(movie));
    EXPECT_EQ(e->waveforms().value(sound), (std::vector<float>{0.25f, 1.0f}));
    EXPECT_FALSE(e->waveforms().contains(last));

    // Queueing again drops the earlier results until the new ones arrive.
    e.shared->analyses["movie.mov"] = {};
    e->enqueueAnalysis(movie);
    EXPECT_FALSE(e->ltc().contains(movie));
    ASSERT_TRUE(test::waitUntil([&] { return !e->isAnalysing(); }));
    EXPECT_FALSE(e->ltc().contains(movie));
}

TEST(EditorAnalysis, TheModelEndsARunningAnalysisWhenDestroyed) {
    SyncEditor e;
    e.shared->blockAnalysis = true;
    e->enqueueAnalysis(e.addMedia("long.wav", 3600, false));
    ASSERT_TRUE(test::waitUntil([&] { return e.shared->blocked.load(); }));
    e.model.reset();  // returns only once the analysis saw the stop request
    EXPECT_EQ(e.shared->running.load(), 0);
}

TEST(EditorAnalysis, TimecodeAtPlayhead) {
    SyncEditor e;
    const QUuid withLTC = e.addMedia("a.mov"), without = e.addMedia("b.mov"), corrupt = e.addMedia("c.mov");
    e.shared->analyses["a.mov"].ltc = ltcAt(25, 90000);
    LTCInfo broken = ltcAt(25, std::numeric_limits<double>::infinity());
    e.shared->analyses["c.mov"].ltc = broken;
    e.analyse({withLTC, without, corrupt});
    const QUuid plain = e.addClip(without, 0, 0, 0, 20);
    const QUuid timed = e.addClip(withLTC, 1, 10, 2, 10);
    e->setSelectedClipID(plain);
    e->seek(12.5);
    // The selected clip has no LTC: the first track's clip with LTC gives frame 90112.501.
    auto reading = e->timecodeAtPlayhead();
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->timecode.displayText(), "01:00:04:12");
    EXPECT_EQ(reading->clip.id, timed);
    EXPECT_EQ(reading->info, ltcAt(25, 90000));
    e->seek(5);
    EXPECT_FALSE(e->timecodeAtPlayhead());
    // A reading that is not a frame count is none, not a crash.
    const QUuid bad = e.addClip(corrupt, 2, 4, 0, 5);
    e->setSelectedClipID(bad);
    EXPECT_FALSE(e->timecodeAtPlayhead());
}

TEST(EditorSyncRun, PlacesByTimecodeOrSoundAndReportsEveryMedium) {
    SyncEditor e;
    const QUuid ref = e.addMedia("ref.mov", 1200);
    struct Case {
        const char* name;
        std::optional<LTCInfo> ltc;
        SoundMatch match;
        bool hasAudio;
        Outcome outcome;
        std::optional<double> offset;
        bool compared;
    };
    const Case cases[] = {
        {"later.mov", ltcAt(25, 1250), {}, true, Outcome::timecode(), 10.0, false},
        {"earlier.mov", ltcAt(25, 750), {}, true, Outcome::timecode(), -10.0, false},
        // Other rate or counting: matched by sound instead.
        {"df.mov", ltcAt(30, 1250, true), placedBySound(3.25), true, Outcome::sound(), 3.25, true},
        {"thirty.mov", ltcAt(30, 1250), {}, true, Outcome::noMatch(), std::nullopt, true},
        {"silent.mov", std::nullopt, {}, false, Outcome::noSound(), std::nullopt, false},
        {"short.mov", std::nullopt, placedBySound(1.5, AudioAligner::Consistency::tooShort()), true, Outcome::sound(), 1.5, true},
        {"part.mov", std::nullopt, placedBySound(2, AudioAligner::Consistency::unconfirmed()), true, Outcome::partial(),
         std::nullopt, true},
        {"fast.mov", std::nullopt, placedBySound(2, AudioAligner::Consistency::drifting(0.05, 0.1)), true,
         Outcome::differentSpeed(0.1), std::nullopt, true},
    };
    e.shared->analyses["ref.mov"].ltc = ltcAt(25, 1000);
    std::vector<QUuid> clips;
    std::vector<QUuid> media{ref};
    const QUuid refClip = e.addClip(ref, 0, 20, 3);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        media.push_back(e.addMedia(c.name, 60, true, c.hasAudio));
        e.shared->analyses[c.name].ltc = c.ltc;
        e.shared->matches[c.name] = c.match;
        clips.push_back(e.addClip(media.back(), i + 1, 100 + double(i), 0.5));
    }
    for (const QUuid& id : media) e->enqueueAnalysis(id);
    // Started while the analysis runs: it waits for the LTC readings.
    e->syncClips(refClip);
    EXPECT_EQ(e->syncStatus(), QString::fromUtf8("Syncing…"));
    e->syncClips(clips[0]);  // ignored while active
    ASSERT_TRUE(test::waitUntil([&] { return !e->syncStatus().has_value(); }));

    ASSERT_TRUE(e->syncReport());
    EXPECT_EQ(e->syncReport()->referenceName, "ref.mov");
    ASSERT_EQ(e->syncReport()->entries.size(), std::size(cases));
    EXPECT_EQ(e->syncReport()->syncedCount(), 4);
    EXPECT_EQ(e->undoCount(), 1u);
    EXPECT_TRUE(e->isDirty());
    std::vector<std::pair<std::string, double>> compared;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(e->syncReport()->entries[i].name, c.name);
        EXPECT_EQ(e->syncReport()->entries[i].outcome, c.outcome) << c.name;
        if (c.offset)
            EXPECT_NEAR(e.placedOffset(clips[i], refClip), *c.offset, 1e-9) << c.name;
        else
            EXPECT_EQ(e.clip(clips[i]).start, 100 + double(i)) << c.name;
        if (c.compared) compared.emplace_back(c.name, 2000.0);  // a 1200 s reference: 2000 Hz
    }
    EXPECT_EQ(e.shared->compared, compared);
    e->undo();
    EXPECT_EQ(e.clip(clips[0]).start, 100);
}

TEST(EditorSyncRun, EdgesOfARun) {
    // Timecode either side of midnight; three clips of one medium compared once and moved
    // together; a long reference at 1000 Hz.
    SyncEditor e;
    const QUuid ref = e.addMedia("ref.mov", 1200.5), night = e.addMedia("night.mov"), multi = e.addMedia("multi.mov");
    e.shared->analyses["ref.mov"].ltc = ltcAt(25, (23 * 3600 + 59 * 60 + 50) * 25.0);
    e.shared->analyses["night.mov"].ltc = ltcAt(25, 10 * 25.0);
    e.shared->matches["multi.mov"] = placedBySound(-4);
    e.analyse({ref, night, multi});
    const QUuid refClip = e.addClip(ref, 0, 30, 5);
    const QUuid nightClip = e.addClip(night, 1, 0);
    const QUuid a = e.addClip(multi, 1, 50, 1), b = e.addClip(multi, 2, 60, 7), c = e.addClip(multi, 3, 70, 12);
    e.sync(refClip);
    EXPECT_NEAR(e.placedOffset(nightClip, refClip), 20.0, 1e-9);
    for (const QUuid& id : {a, b, c}) EXPECT_NEAR(e.placedOffset(id, refClip), -4, 1e-9);
    EXPECT_EQ(e.clip(b).start - e.clip(a).start, 6);
    EXPECT_EQ(e.shared->compared, (std::vector<std::pair<std::string, double>>{{"multi.mov", 1000.0}}));
    ASSERT_EQ(e->syncReport()->entries.size(), 2u);

    // Only the reference's own medium on the timeline: an empty report at once, playback and
    // status untouched.
    SyncEditor lone;
    const QUuid only = lone.addMedia("only.mov");
    const QUuid first = lone.addClip(only, 0, 0);
    lone.addClip(only, 1, 3);
    lone->play();
    lone->syncClips(first);
    EXPECT_TRUE(lone->isPlaying());
    EXPECT_FALSE(lone->syncStatus());
    ASSERT_TRUE(lone->syncReport());
    EXPECT_EQ(lone->syncReport()->referenceName, "only.mov");
    EXPECT_TRUE(lone->syncReport()->entries.empty());
    lone->syncClips(QUuid::createUuid());  // not on the timeline: nothing at all
    lone->clearSyncReport();
    lone->syncClips(QUuid::createUuid());
    EXPECT_FALSE(lone->syncReport());
}

TEST(EditorSyncRun, ReChecksTheProjectBeforeApplying) {
    struct Case {
        const char* what;
        std::function<void(SyncEditor&, const QUuid& refClip, const QUuid& refMedia, const QUuid& gone)> meanwhile;
        std::size_t entries;
        bool moved;
    };
    const Case cases[] = {
        {"a medium leaves after its comparison",
         [](SyncEditor& e, const QUuid&, const QUuid&, const QUuid& gone) { e.removeMedia(gone); }, 1, true},
        {"the reference clip leaves",
         [](SyncEditor& e, const QUuid&, const QUuid& refMedia, const QUuid&) { e.removeMedia(refMedia); }, 0, false},
        {"the reference clip shows another medium",
         [](SyncEditor& e, const QUuid& refClip, const QUuid&, const QUuid& gone) {
             Project p = e->project();
             const auto at = p.clipLocation(refClip);
             p.tracks[at->track].clips[at->clip].mediaID = gone;
             e->setProject(p);
         },
         0, false},
        {"the project is replaced",
         [](SyncEditor& e, const QUuid&, const QUuid&, const QUuid&) { e->resetAnalysis(); }, 0, false},
    };
    for (const Case& c : cases) {
        SyncEditor e;
        const QUuid ref = e.addMedia("ref.mov"), first = e.addMedia("first.mov"), second = e.addMedia("second.mov");
        e.shared->matches["first.mov"] = placedBySound(2);
        e.shared->matches["second.mov"] = placedBySound(3);
        const QUuid refClip = e.addClip(ref, 0, 10), firstClip = e.addClip(first, 1, 0), secondClip = e.addClip(second, 2, 0);
        // Once the first medium is compared, before the second.
        QObject::connect(e.model.get(), &EditorModel::syncStatusChanged, e.model.get(), [&] {
            if (e->syncStatus() == QString::fromUtf8("Syncing 2 of 2…")) c.meanwhile(e, refClip, ref, first);
        });
        e.sync(refClip);
        ASSERT_TRUE(e->syncReport()) << c.what;
        EXPECT_EQ(e->syncReport()->entries.size(), c.entries) << c.what;
        EXPECT_EQ(e->undoCount(), c.moved ? 1u : 0u) << c.what;
        EXPECT_EQ(e->isDirty(), c.moved) << c.what;
        if (c.moved) {
            EXPECT_EQ(e->syncReport()->entries[0].name, "second.mov");
            EXPECT_NEAR(e.placedOffset(secondClip, refClip), 3, 1e-9);
        }
        (void)firstClip;
    }

    // Nothing matched, or a match that leaves every clip where it was: no step, not dirty.
    for (const std::optional<double> offset : {std::optional<double>(), std::optional<double>(10.0)}) {
        SyncEditor e;
        const QUuid ref = e.addMedia("ref.mov"), other = e.addMedia("other.mov");
        if (offset) e.shared->matches["other.mov"] = placedBySound(*offset);
        const QUuid refClip = e.addClip(ref, 0, 0);
        e.addClip(other, 1, 10);
        const Project before = e->project();
        e.sync(refClip);
        EXPECT_EQ(e->project(), before);
        EXPECT_EQ(e->undoCount(), 0u);
        EXPECT_FALSE(e->isDirty());
        ASSERT_EQ(e->syncReport()->entries.size(), 1u);
        EXPECT_EQ(e->syncReport()->entries[0].outcome, offset ? Outcome::sound() : Outcome::noMatch());
    }
}

}  // namespace
}  // namespace qm
