// Sound alignment: the correlation against a direct transform, the verdicts, and speech pairs
// made with espeak-ng and sox.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>

#include "editor/sync/audio_aligner.h"
#include "editor/sync/clip_sync.h"
#include "support/qt_app.h"
#include "support/test_support.h"

namespace qm {
namespace {

using AudioAligner::Consistency;

std::vector<float> noise(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<float> gauss(0.0f, 0.3f);
    std::vector<float> out(count);
    for (float& v : out) v = gauss(random);
    return out;
}

// The same weighted correlation with a plain O(n^2) DFT in double precision.
std::optional<AudioAligner::Match> directCorrelate(const std::vector<float>& a, const std::vector<float>& b, int64_t minOverlap) {
    const int64_t na = int64_t(a.size()), nb = int64_t(b.size());
    int64_t n = 1;
    while (n < na + nb) n *= 2;
    using C = std::complex<double>;
    auto dft = [&](const std::vector<float>& x) {
        std::vector<C> out(static_cast<size_t>(n));
        for (int64_t k = 0; k < n; ++k)
            for (size_t i = 0; i < x.size(); ++i) out[size_t(k)] += double(x[i]) * std::polar(1.0, -2 * M_PI * double(k * int64_t(i) % n) / double(n));
        return out;
    };
    const auto A = dft(a), B = dft(b);
    std::vector<C> X(static_cast<size_t>(n));
    for (size_t k = 0; k < X.size(); ++k) {
        const C p = A[k] * std::conj(B[k]);
        // DC and Nyquist are real: only their sign is kept.
        X[k] = k == 0 || k == X.size() / 2 ? (p.real() >= 0 ? 1.0 : -1.0) : p / std::abs(p);
    }
    std::vector<double> r(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) {
        C sum = 0;
        for (int64_t k = 0; k < n; ++k) sum += X[size_t(k)] * std::polar(1.0, 2 * M_PI * double(k * i % n) / double(n));
        r[size_t(i)] = sum.real();
    }
    const int64_t m = minOverlap >= 1 ? std::min({minOverlap, na, nb}) : 1;
    double sum = 0, squares = 0, best = -INFINITY;
    int64_t count = 0, bestLag = 0;
    for (int64_t lag = m - nb; lag <= na - m; ++lag) {
        const double v = r[size_t(((lag % n) + n) % n)];
        sum += v, squares += v * v, ++count;
        if (v > best) best = v, bestLag = lag;
    }
    if (count <= 2) return std::nullopt;
    const double mean = sum / double(count), deviation = std::sqrt(squares / double(count) - mean * mean);
    const double ym = r[size_t(((bestLag - 1) % n + n) % n)], yp = r[size_t(((bestLag + 1) % n + n) % n)];
    const double den = ym - 2 * best + yp;
    const double d = den < 0 ? std::clamp((ym - yp) * 0.5 / den, -0.5, 0.5) : 0.0;
    return AudioAligner::Match{double(bestLag) + d, (best - mean) / deviation};
}

TEST(AudioAligner, CorrelateMatchesADirectTransform) {
    const auto a = noise(300, 1);
    struct Case {
        int64_t start;      // b is a's stretch from here, with noise of its own
        size_t length;
        int64_t minOverlap;
    };
    for (const Case& c : {Case{40, 150, 0}, Case{120, 100, 50}, Case{-30, 120, 20}, Case{200, 120, 10}}) {
        std::vector<float> b = noise(c.length, 2);
        for (size_t i = 0; i < c.length; ++i) {
            const int64_t at = c.start + int64_t(i);
            if (at >= 0 && at < int64_t(a.size())) b[i] = a[size_t(at)] + 0.3f * b[i];
        }
        const auto ours = AudioAligner::correlate(a, b, c.minOverlap);
        const auto direct = directCorrelate(a, b, c.minOverlap);
        ASSERT_TRUE(ours && direct) << c.start;
        EXPECT_NEAR(ours->lag, direct->lag, 1e-3) << c.start;
        EXPECT_NEAR(ours->lag, double(c.start), 0.5) << c.start;
        EXPECT_NEAR(ours->score, direct->score, 1e-3 * direct->score) << c.start;
    }
}

TEST(AudioAligner, CorrelateLagsAndLimits) {
    EXPECT_FALSE(AudioAligner::correlate({}, {1.0f, 2.0f}, 0));
    EXPECT_FALSE(AudioAligner::correlate({1.0f}, {1.0f}, 0));
    EXPECT_FALSE(AudioAligner::correlate({1.0f, 2.0f}, {3.0f, 1.0f}, 2));

    // Lags either way are CorrelateMatchesADirectTransform's. The overlap bounds the lags: with
    // 4000 of 3000 samples the clip must lie wholly inside.
    const auto ref = noise(10000, 3);
    std::vector<float> hanging = noise(500, 5);
    hanging.insert(hanging.end(), ref.begin(), ref.begin() + 2500);
    EXPECT_NEAR(AudioAligner::correlate(ref, hanging, 0)->lag, -500, 0.01);
    const double inside = AudioAligner::correlate(ref, hanging, 4000)->lag;
    EXPECT_TRUE(inside >= -0.5 && inside <= 7000.5) << inside;
}

TEST(AudioAligner, Verdicts) {
    const double rate = 2000;
    const auto reference = noise(200000, 6);
    auto clipOf = [&](int64_t from, size_t length) {
        return std::vector<float>(reference.begin() + from, reference.begin() + from + int64_t(length));
    };
    // Overlaps of 15,999 and 16,000 samples: too short, then two windows.
    EXPECT_EQ(AudioAligner::align(reference, clipOf(5000, 15999), 5000, rate, 0.03), Consistency::tooShort());
    EXPECT_EQ(AudioAligner::align(reference, clipOf(5000, 16000), 5000, rate, 0.03), Consistency::consistent());
    EXPECT_EQ(AudioAligner::align(reference, clipOf(30000, 120000), 30000, rate, 0.03), Consistency::consistent());

    EXPECT_EQ(AudioAligner::align(reference, std::vector<float>(60000, 0.0f), 1000, rate, 0.03), Consistency::unconfirmed());
    EXPECT_EQ(AudioAligner::align(reference, noise(60000, 9), 1000, rate, 0.03), Consistency::unconfirmed());
    for (double bad : {0.0, -2000.0, std::nan(""), double(INFINITY)})
        EXPECT_EQ(AudioAligner::align(reference, clipOf(0, 60000), 0, bad, 0.03), Consistency::unconfirmed()) << bad;

    EXPECT_NE(Consistency::drifting(0.04, 0.1), Consistency::drifting(0.04, 0.2));
}

// Speech from espeak-ng in a noisy room, recorded twice: at other gains and rates, padded,
// trimmed or played 0.1 % off speed.
class SpeechPairs : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new test::TempDir;
        const std::string text =
            "The quick brown fox jumps over the lazy dog while seven wizards quietly box a jolly jackal. "
            "Morning light falls across the harbour, where fishing boats rock gently and gulls argue over scraps. "
            "A violin tunes somewhere behind the curtain; the audience coughs, shuffles programmes and settles. "
            "Please check the second camera, the one by the stage door, because its battery looked weak. "
            "Numbers now: fourteen, ninety two, three hundred and six, eleven thousand, and finally zero. "
            "Thunder rolled over distant hills as the orchestra began the slow movement of the symphony. "
            "Every rehearsal ends with coffee, complaints about the cold hall and plans for the next tour. "
            "Remember to label each card with the date, the scene number and the name of the recordist.";
        auto sh = [](const std::string& command) { ASSERT_EQ(test::run({"sh", "-c", command}).exitCode, 0) << command; };
        const std::string d = dir_->path().string() + "/";
        sh("espeak-ng -s 150 -w '" + d + "speech.wav' '" + text + "'");
        sh("sox -R '" + d + "speech.wav' -r 48000 '" + d + "speech48.wav'");
        sh("sox -R -n -r 48000 -c 1 '" + d + "room.wav' synth 120 pinknoise vol 0.03");
        sh("sox -R -m '" + d + "speech48.wav' '" + d + "room.wav' '" + d + "reference.wav' trim 0 =$(soxi -D '" + d + "speech48.wav')");
        sh("sox -R '" + d + "reference.wav' -r 44100 '" + d + "trimmed.wav' trim 5.5 30 gain -9");
        sh("sox -R '" + d + "speech48.wav' '" + d + "padded.wav' pad 2.25 gain -3 trim 0 40");
        sh("sox -R -m '" + d + "padded.wav' '" + d + "room.wav' -r 44100 '" + d + "padded noisy.wav' trim 0 40");
        sh("espeak-ng -v en-us -s 140 -w '" + d + "other.wav' 'Somebody else entirely, reading the weather for the "
           "northern coast: light winds, patchy rain spreading east by evening, and a cold clear night to follow.'");
        sh("sox -R '" + d + "reference.wav' '" + d + "faster.wav' speed 1.001");
        sh("sox -R '" + d + "reference.wav' -r 44100 '" + d + "slower.wav' speed 0.999");
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static test::TempDir* dir_;
};
test::TempDir* SpeechPairs::dir_ = nullptr;

TEST_F(SpeechPairs, LinedUpWithinAMillisecond) {
    struct Case {
        const char* file;
        double offset;
    };
    std::optional<AudioAligner::LoadedSound> cache;
    for (const Case& c : {Case{"trimmed.wav", 5.5}, Case{"padded noisy.wav", -2.25}}) {
        const auto match = matchSound(cache, dir_->path() / "reference.wav", std::nullopt, dir_->path() / c.file, std::nullopt, 2000);
        ASSERT_TRUE(match.reference && match.offset && match.consistency) << c.file;
        cache = match.reference;
        EXPECT_NEAR(*match.offset, c.offset, 0.001) << c.file;
        EXPECT_EQ(*match.consistency, Consistency::consistent()) << c.file;
    }
}

TEST_F(SpeechPairs, OffSpeedDrifts) {
    struct Case {
        const char* file;
        double speedChange;
    };
    for (const Case& c : {Case{"faster.wav", 0.1}, Case{"slower.wav", -0.1}}) {
        const auto match = matchSound(std::nullopt, dir_->path() / "reference.wav", std::nullopt, dir_->path() / c.file, std::nullopt, 2000);
        ASSERT_TRUE(match.consistency) << c.file;
        ASSERT_EQ(match.consistency->kind, Consistency::Kind::drifting) << c.file;
        EXPECT_NEAR(match.consistency->speedChange, c.speedChange, 0.03) << c.file;
    }
}

TEST_F(SpeechPairs, SyncItems) {
    test::qtApp();
    auto ltc = [](int64_t nominal, double startFrame) {
        LTCInfo info;
        info.track = 1;  // not a track of these mono files: their sound stays whole
        info.nominalRate = nominal;
        info.measuredRate = double(nominal);
        info.startFrame = startFrame;
        return info;
    };
    const auto& d = dir_->path();
    const SyncSource reference{d / "reference.wav", true, ltc(25, 1000)};
    using O = SyncReport::Outcome;
    struct Case {
        SyncSource item;
        SyncItemResult expected;
    };
    const Case cases[] = {
        // Timecode needs no sound at all: the file is not even there.
        {{d / "missing.wav", true, ltc(25, 1250)}, {O::timecode(), 10.0}},
        // Timecode of another rate: by sound instead.
        {{d / "trimmed.wav", true, ltc(30, 0)}, {O::sound(), 5.5}},
        {{d / "trimmed.wav", false, std::nullopt}, {O::noSound(), std::nullopt}},
        {{d / "other.wav", true, std::nullopt}, {O::noMatch(), std::nullopt}},
        {{d / "missing.wav", true, std::nullopt}, {O::noMatch(), std::nullopt}},
    };
    std::optional<AudioAligner::LoadedSound> cache;
    for (const Case& c : cases) {
        const SyncItemResult result = syncItem(reference, c.item, 2000, cache);
        EXPECT_EQ(result.outcome, c.expected.outcome) << c.item.file;
        EXPECT_EQ(result.offset.has_value(), c.expected.offset.has_value()) << c.item.file;
        if (result.offset && c.expected.offset) {
            EXPECT_NEAR(*result.offset, *c.expected.offset, 0.001) << c.item.file;
        }
    }
    EXPECT_TRUE(cache);  // the reference sound stays for the next item
    std::optional<AudioAligner::LoadedSound> none;
    EXPECT_EQ(syncItem({d / "missing.wav", true, std::nullopt}, {d / "trimmed.wav", true, std::nullopt}, 2000, none).outcome,
              O::noMatch());
    EXPECT_EQ(syncAnalysisRate(1200), 2000);
    EXPECT_EQ(syncAnalysisRate(1200.5), 1000);
    EXPECT_EQ(syncStatusText(), "Syncing…");
    EXPECT_EQ(syncStatusText(2, 5), "Syncing 2 of 5…");
}

}  // namespace
}  // namespace qm
