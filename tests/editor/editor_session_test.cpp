// A long seeded session of random commands with hostile arguments: the project stays saveable
// and sound after every command, every change is exactly one undo step, and undo and redo walk
// the whole history back and forth exactly.

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <limits>
#include <random>

#include "editor_test_support.h"

namespace qm {
namespace {

class Session {
public:
    explicit Session(std::uint64_t seed) : random_(seed) {
        for (double d : {4.0, 0.0, 12.5}) media_.push_back(e_.addMedia(d, d > 0 ? 640 : 0, d > 0 ? 360 : 0));
        media_.push_back(QUuid::createUuid());  // names nothing
        QObject::connect(e_.model.get(), &EditorModel::undoStackChanged, [this] { ++pushes_; });
    }

    void step() {
        const Project before = e_->project();
        const int kind = pick(34);
        pushes_ = 0;
        if (kind == 0) {
            undo();
            return;
        }
        if (kind == 1) {
            redo();
            return;
        }
        command(kind);
        const bool changed = !(e_->project() == before);
        ASSERT_EQ(changed, pushes_ > 0) << "command " << kind << " changed the project without one undo step";
        if (changed) {
            undo_.push_back(before);
            if (undo_.size() > 200) undo_.pop_front();
            redo_.clear();
        }
        checkSound(kind);
    }

    void unwindAndReplay() {
        while (!undo_.empty()) undo();
        EXPECT_EQ(e_->undoCount(), 0u);
        while (!redo_.empty()) redo();
        EXPECT_EQ(e_->redoCount(), 0u);
    }

private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
    double number() {
        static const double special[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                                         -std::numeric_limits<double>::infinity(), -1.0, 0.0, 1e308, -1e308};
        if (pick(4) == 0) return special[pick(7)];
        return std::uniform_real_distribution<double>(-5, 30)(random_);
    }
    Vec2 vec() { return {number(), number()}; }
    std::size_t index(std::size_t n) { return std::size_t(pick(int(n) + 2)); }  // sometimes past the end
    QUuid anyClip() {
        std::vector<QUuid> ids;
        for (const Track& t : e_->project().tracks)
            for (const Clip& c : t.clips) ids.push_back(c.id);
        if (ids.empty() || pick(10) == 0) return QUuid::createUuid();
        return ids[std::size_t(pick(int(ids.size())))];
    }
    TransformProperty property() { return allTransformProperties[std::size_t(pick(11))]; }
    TransformValue value(TransformProperty p) {
        const bool vector = isVectorProperty(p) != (pick(8) == 0);  // now and then the wrong kind
        return vector ? TransformValue(vec()) : TransformValue(number());
    }
    QSet<QUuid> someKeyframes(const QUuid& clip) {
        QSet<QUuid> ids;
        if (const auto c = e_->clip(clip); c && c->transform)
            for (const auto& k : c->transform->allKeyframes())
                if (pick(2)) ids.insert(k.id);
        return ids;
    }

    void command(int kind) {
        EditorModel& m = *e_;
        const QUuid id = anyClip();
        switch (kind) {
        case 2: {
            std::optional<std::size_t> track;
            if (pick(2)) track = index(m.project().tracks.size());
            std::optional<double> time;
            if (pick(2)) time = number();
            m.addClipAtPlayhead(media_[std::size_t(pick(int(media_.size())))], track, time);
            break;
        }
        case 3: m.setSelectedClipID(pick(4) ? id : QUuid()); break;
        case 4: m.seek(number()); break;
        case 5: m.stepFrames(pick(21) - 10); break;
        case 6: {  // a drag
            const auto at = m.project().clipLocation(id);
            m.beginGesture();
            for (int i = pick(4); i >= 0; --i) {
                const int how = pick(3);
                if (how == 0 && at)
                    m.moveClipInModel(at->track, at->clip, std::nullopt, number());
                else if (how == 1)
                    m.trimClipStart(id, number());
                else
                    m.trimClipEnd(id, number());
            }
            if (at && pick(3) == 0) m.moveClipInModel(at->track, at->clip, std::ptrdiff_t(pick(5)) - 1, number());
            m.endGesture();
            break;
        }
        case 7: m.splitAtPlayhead(); break;
        case 8: m.duplicateClip(); break;
        case 9: m.deleteSelection(); break;
        case 10: {
            const auto p = property();
            m.setPropertyValue(p, id, value(p), true);
            break;
        }
        case 11: {  // a scrub
            const auto p = property();
            m.beginGesture();
            for (int i = pick(5); i >= 0; --i) m.setPropertyValue(p, id, value(p), false);
            m.endGesture();
            break;
        }
        case 12: m.toggleKeyframeAtPlayhead(id, property()); break;
        case 13: m.toggleStopwatch(property(), id); break;
        case 14:
            m.setSelectedClipID(id);
            m.setSelectedKeyframes(someKeyframes(id));
            m.setInterpolation(allKeyframeInterpolations[pick(5)]);
            break;
        case 15:
            m.setSelectedClipID(id);
            m.setSelectedKeyframes(someKeyframes(id));
            m.copyKeyframes();
            break;
        case 16: m.pasteKeyframes(); break;
        case 17: {
            std::optional<double> in, out;
            if (pick(2)) in = number();
            if (pick(2)) out = number();
            m.setClipFades(id, in, out, true);
            break;
        }
        case 18: m.setClipVolume(id, number(), true); break;
        case 19: m.setClipBlendMode(id, true, allBlendModes[std::size_t(pick(9))]); break;
        case 20: m.setClipFit(id, true, allFitModes[std::size_t(pick(3))]); break;
        case 21: {
            ClipEffects effects;
            effects.keyEnabled = pick(2);
            effects.colorEnabled = pick(2);
            effects.keyColor = {number(), 0.5, 0.25};
            m.setClipEffects(id, effects);
            break;
        }
        case 22: m.resetTransform(id); break;
        case 23: m.resetKeying(id); break;
        case 24: m.resetColor(id); break;
        case 25: m.setProjectSize(pick(40000) - 100, pick(40000) - 100); break;
        case 26: m.addTrack(); break;
        case 27: m.deleteTrack(index(m.project().tracks.size())); break;
        case 28: m.toggleTrackVisibility(index(m.project().tracks.size()), true); break;
        case 29: m.moveTrack(index(m.project().tracks.size()), pick(5) - 2); break;
        case 30: m.moveKeyframes(id, someKeyframes(id), number(), true); break;
        case 31: m.setClipEnd(id, number(), true); break;
        case 32: {
            const auto keys = someKeyframes(id);
            const QUuid k = keys.isEmpty() ? QUuid::createUuid() : *keys.begin();
            const auto p = property();
            const double a = number(), b = number();
            const bool ease = pick(2);
            m.updateClip(id, true, [&](Clip& c) {
                if (pick(8) == 0)
                    c.volume = a;  // any edit: a number a file cannot hold is refused
                else if (ease)
                    applyGraphEase(c, p, k, pick(2), a, b);
                else
                    applyGraphValue(c, p, k, std::size_t(pick(2)), a);
            });
            break;
        }
        default: m.toggleTrackAudio(index(m.project().tracks.size()), true); break;
        }
    }

    void checkSound(int kind) {
        const Project& p = e_->project();
        ASSERT_NO_THROW(p.encoded()) << "after command " << kind;
        for (const Track& t : p.tracks)
            for (const Clip& c : t.clips) {
                ASSERT_GT(c.duration, 0) << "after command " << kind;
                ASSERT_GE(c.fadeIn, 0);
                ASSERT_GE(c.fadeOut, 0);
                ASSERT_LE(c.fadeIn + c.fadeOut, c.duration * (1 + 1e-12)) << "after command " << kind;
            }
        ASSERT_TRUE(std::isfinite(e_->playhead()));
    }

    // One undo (back) or redo against the mirrored history.
    void travel(bool back) {
        auto& from = back ? undo_ : redo_;
        const Project now = e_->project();
        back ? e_->undo() : e_->redo();
        if (from.empty()) {
            ASSERT_EQ(e_->project(), now);
            return;
        }
        ASSERT_EQ(e_->project(), from.back());
        from.pop_back();
        (back ? redo_ : undo_).push_back(now);
    }
    void undo() { travel(true); }
    void redo() { travel(false); }

    test::CountingEditor e_;
    std::mt19937_64 random_;
    std::vector<QUuid> media_;
    std::deque<Project> undo_, redo_;
    int pushes_ = 0;
};

TEST(EditorSession, ThousandsOfRandomCommandsStaySoundAndUndoExactly) {
    for (std::uint64_t seed : {1u, 2u, 3u}) {
        Session session(seed);
        for (int i = 0; i < 1500; ++i) {
            ASSERT_NO_FATAL_FAILURE(session.step()) << "seed " << seed << ", command " << i;
        }
        ASSERT_NO_FATAL_FAILURE(session.unwindAndReplay()) << "seed " << seed;
    }
}

}  // namespace
}  // namespace qm
