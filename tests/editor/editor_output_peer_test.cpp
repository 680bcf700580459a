// Packaging, export and wall-clock playback driven through the editor model, their outputs read
// back by ffprobe and by opening the package again.

#include <gtest/gtest.h>

#include "document_fixtures.h"
#include "editor_model/timeline_fixtures.h"
#include "editor/editor_playback.h"
#include "editor/model/project_exporter.h"
#include "support/damaged_media.h"

#include <QElapsedTimer>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <thread>

namespace qm::test {
namespace {

std::string probeValue(const fs::path& file, const std::string& entries, const std::string& stream = "v:0") {
    auto r = run({"ffprobe", "-v", "error", "-count_frames", "-select_streams", stream, "-show_entries", entries, "-of",
                  "default=nw=1:nk=1", file.string()});
    while (!r.output.empty() && (r.output.back() == '\n' || r.output.back() == '\r')) r.output.pop_back();
    return r.output;
}

// A project of one clip of a 64×36 medium (its file need not exist for playback's clock).
Project oneClipProject(double clipDuration) {
    Project p = Project::makeNew();
    MediaItem item;
    item.id = QUuid::createUuid();
    item.width = 64;
    item.height = 36;
    item.duration = 10;
    p.media.push_back(item);
    Clip c;
    c.id = QUuid::createUuid();
    c.mediaID = item.id;
    c.duration = clipDuration;
    p.tracks[0].clips.push_back(c);
    return p;
}

TEST(EditorPackaging, NamesMissingProgressAndReopening) {
    TempDir dir;
    makeMovie(dir / "one/clip.mov");
    makeMovie(dir / "two/Clip.MOV");
    makeMovie(dir / "three/name");
    makeMovie(dir / "four/name");
    makeMovie(dir / "gone.mov");
    Editor e;
    e.importAndPlace({dir / "one/clip.mov", dir / "two/Clip.MOV", dir / "three/name", dir / "four/name", dir / "gone.mov"});
    fs::remove(dir / "gone.mov");

    std::vector<std::optional<EditorModel::PackagingProgress>> seen;
    QObject::connect(&e.m, &EditorModel::packagingProgressChanged, [&] { seen.push_back(e.m.packagingProgress()); });
    // An old package at the target is replaced whole.
    fs::create_directories(dir / "Show.qmpack/Media");
    writeFile(dir / "Show.qmpack/Media/stale.mov", "old");
    e.await(e.m.packageProject(q(dir / "Show.qmpack")));

    using P = EditorModel::PackagingProgress;
    EXPECT_EQ(seen, (std::vector<std::optional<P>>{P{0, 5}, P{1, 5}, P{2, 5}, P{3, 5}, P{4, 5}, P{5, 5}, std::nullopt}));
    ASSERT_TRUE(e.m.packageResult().has_value());
    EXPECT_EQ(e.m.packageResult()->missing, QStringList({"gone.mov"}));
    EXPECT_EQ(e.m.packageResult()->url, q(dir / "Show.qmpack"));
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir / "Show.qmpack/Media")) names.insert(entry.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"clip.mov", "Clip 2.MOV", "name", "name 2"}));
    for (const auto& entry : fs::directory_iterator(dir.path())) EXPECT_NE(entry.path().extension(), ".partial");
    EXPECT_EQ(readFile(dir / "Show.qmpack/Media/Clip 2.MOV"), readFile(dir / "two/Clip.MOV"));

    // Reopened, the package finds its copies.
    Editor reopened;
    reopened.await(reopened.m.openProject(q(dir / "Show.qmpack")));
    const auto& media = reopened.m.project().media;
    ASSERT_EQ(media.size(), 5u);
    EXPECT_EQ(media[1].path, q(dir / "Show.qmpack/Media/Clip 2.MOV"));
    EXPECT_EQ(media[1].packagedPath, std::optional<QString>("Media/Clip 2.MOV"));
    EXPECT_FALSE(reopened.m.isMissing(media[3].id));
    EXPECT_TRUE(reopened.m.isMissing(media[4].id));
    // The model's own document is untouched by packaging.
    EXPECT_TRUE(e.m.projectURL().isEmpty());

    {
        // Destroyed while packaging: waits for the run, which leaves a whole package and no stage.
        Editor gone;
        gone.m.setProject(e.m.project());
        gone.m.packageProject(q(dir / "Gone.qmpack"));
        ASSERT_TRUE(gone.m.packagingProgress());
    }
    EXPECT_TRUE(fs::exists(dir / "Gone.qmpack/project.qmproj"));
    for (const auto& entry : fs::directory_iterator(dir.path())) EXPECT_NE(entry.path().extension(), ".partial");
}

TEST(EditorPackaging, AFailureMidwayKeepsTheOldPackageAndRefusesATargetHoldingMedia) {
    TempDir dir;
    makeMovie(dir / "a.mov");
    Editor e;
    e.importAndPlace({dir / "a.mov"});
    // A readable "file" that cannot be copied: a folder standing where a medium was.
    Project p = e.m.project();
    MediaItem folder = p.media[0];
    folder.id = QUuid::createUuid();
    folder.path = q(dir / "folder.mov");
    folder.name = "folder.mov";
    fs::create_directories(dir / "folder.mov");
    p.media.push_back(folder);
    e.m.setProject(p);

    fs::create_directories(dir / "Old.qmpack");
    writeFile(dir / "Old.qmpack/project.qmproj", "old package");
    e.await(e.m.packageProject(q(dir / "Old.qmpack")));
    EXPECT_EQ(readFile(dir / "Old.qmpack/project.qmproj"), "old package");
    EXPECT_FALSE(e.m.packagingProgress().has_value());
    EXPECT_FALSE(e.m.packageResult().has_value());
    EXPECT_EQ(e.m.importErrors().size(), 1);
    int entries = 0;
    for (const auto& entry : fs::directory_iterator(dir.path())) entries += entry.path().filename().string().ends_with(".partial");
    EXPECT_EQ(entries, 0);

    // The folder that holds the project's media cannot be the package.
    e.await(e.m.packageProject(q(dir.path())));
    EXPECT_EQ(e.m.importErrors().size(), 2);
    EXPECT_TRUE(fs::exists(dir / "a.mov"));
}

TEST(EditorExport, TimelineSoundOnlyFromAudibleClips) {
    Project p;
    MediaItem sound;
    sound.id = QUuid::createUuid();
    sound.hasAudio = true;
    MediaItem silent;
    silent.id = QUuid::createUuid();
    p.media = {sound, silent};
    Clip c;
    c.duration = 1;
    c.mediaID = silent.id;
    p.tracks.push_back({QUuid::createUuid(), "L", {c}, true, true});
    EXPECT_FALSE(timelineMediaInfo(p).hasAudio);  // a medium with sound but no clip of it
    c.mediaID = sound.id;
    p.tracks.push_back({QUuid::createUuid(), "M", {c}, true, false});
    EXPECT_FALSE(timelineMediaInfo(p).hasAudio);  // its track's sound is off
    p.tracks.back().isAudioEnabled = true;
    EXPECT_TRUE(timelineMediaInfo(p).hasAudio);
}

TEST(EditorExport, FormatsOutcomesAndRefusals) {
    TempDir dir;
    makeMovie(dir / "a.mov", "30", true);
    Editor e;
    e.importAndPlace({dir / "a.mov"});
    ASSERT_EQ(e.m.project().width, 64);

    // Each format's file is ProjectExportPeer.EveryWritableFormat's; here the model's run and its outcome.
    ConversionSettings settings;
    settings.format = OutputFormat::h264;
    const fs::path out = dir / "out.mp4";
    e.await(e.m.startExport(settings, q(out)));
    EXPECT_FALSE(e.m.isExporting());
    ASSERT_EQ(e.m.exportError(), std::nullopt);
    EXPECT_EQ(e.m.exportResult(), std::optional<QString>(q(out)));
    EXPECT_EQ(e.m.exportProgress().fraction, 1.0);
    EXPECT_EQ(probeValue(out, "stream=nb_read_frames"), "30");
    EXPECT_EQ(probeValue(out, "stream=r_frame_rate"), "30/1");
    EXPECT_EQ(probeValue(out, "stream=width"), "64");
    EXPECT_FALSE(probeValue(out, "stream=codec_name", "a:0").empty());

    // Without sound on request; over its own medium refused; cancelled; an empty timeline fails.
    settings.includeAudio = false;
    e.await(e.m.startExport(settings, q(dir / "quiet.mp4")));
    EXPECT_TRUE(probeValue(dir / "quiet.mp4", "stream=codec_name", "a:0").empty());
    const std::string before = readFile(dir / "a.mov");
    e.await(e.m.startExport(settings, q(dir / "a.mov")));
    EXPECT_TRUE(e.m.exportError().has_value());
    EXPECT_EQ(readFile(dir / "a.mov"), before);
    auto running = e.m.startExport(settings, q(dir / "cancelled.mp4"));
    e.m.cancelExport();
    e.await(running);
    EXPECT_EQ(e.m.exportError(), std::nullopt);
    EXPECT_EQ(e.m.exportResult(), std::nullopt);
    {
        // Destroyed while exporting: the run is cancelled and waited for.
        Editor gone;
        gone.m.setProject(e.m.project());
        gone.m.setInfos(e.m.infos());
        gone.m.startExport(settings, q(dir / "gone.mp4"));
        ASSERT_TRUE(gone.m.isExporting());
    }
    e.m.newProject();
    e.await(e.m.startExport(settings, q(dir / "empty.mp4")));
    EXPECT_EQ(e.m.exportError(), std::optional<QString>("The timeline is empty: there is nothing to export."));
    EXPECT_EQ(e.m.exportResult(), std::nullopt);
    EXPECT_FALSE(fs::exists(dir / "empty.mp4"));
}

// ffmpeg's decode of a file's sound as 48 kHz stereo float.
std::vector<float> decodedSound(const TempDir& dir, const fs::path& file) {
    const fs::path raw = dir / "sound.raw";
    ffmpeg({"-i", file.string(), "-map", "0:a:0", "-f", "f32le", "-ac", "2", "-ar", "48000", raw.string()});
    const std::string bytes = readFile(raw);
    std::vector<float> v(bytes.size() / sizeof(float));
    std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
    return v;
}

// A clip from the second frame on, split at every frame up to the 15th, joins to the sample at
// drop-frame rates as at whole ones: the pieces mix as the whole clip does, and the export holds
// the source's samples from the clip's first on, none twice and none left out.
TEST(EditorExport, ClipsSplitAtEveryFrameJoinToTheSample) {
    TempDir dir;
    const fs::path wav = dir / "tones.wav";
    ffmpeg({"-f", "lavfi", "-i", "aevalsrc=0.5*sin(2*PI*440*t)+0.3*sin(2*PI*97*t)|0.4*sin(2*PI*661*t):s=48000:d=1", "-c:a",
            "pcm_s16le", wav.string()});
    for (const double rate : {30000.0 / 1001, 60000.0 / 1001, 25.0}) {
        SCOPED_TRACE(rate);
        Editor e;
        e.await(e.m.importFiles({q(wav)}));
        ASSERT_EQ(e.m.project().media.size(), 1u);
        Project p = e.m.project();
        p.frameRate = rate;
        e.m.setProject(p);
        e.m.setProjectSize(64, 36);
        e.m.addClipAtPlayhead(p.media[0].id, std::size_t(0), 1 / rate);
        const Project whole = e.m.project();
        for (int frame = 2; frame <= 15; ++frame) {
            e.m.seek(frame / rate);
            e.m.splitAtPlayhead();
        }
        ASSERT_EQ(e.m.project().tracks[0].clips.size(), 15u);
        const std::vector<float> pieces = mixOf(e.m.project()), one = mixOf(whole);
        ASSERT_EQ(pieces.size(), one.size());
        std::size_t differ = 0;
        for (std::size_t i = 0; i < one.size(); ++i) differ += pieces[i] != one[i];
        EXPECT_EQ(differ, 0u);
        if (rate == 25.0) continue;

        ConversionSettings settings;
        settings.format = OutputFormat::proRes422;
        const fs::path out = dir / "split.mov";
        e.await(e.m.startExport(settings, q(out)));
        ASSERT_EQ(e.m.exportError(), std::nullopt);
        const std::vector<float> exported = decodedSound(dir, out), source = decodedSound(dir, wav);
        const std::size_t first = 2 * std::size_t(std::llround(48000 / rate));  // 1601.6 and 800.8 samples
        ASSERT_GE(exported.size(), first + source.size());
        differ = 0;
        for (std::size_t i = 0; i < first + source.size(); ++i) differ += exported[i] != (i < first ? 0.0f : source[i - first]);
        EXPECT_EQ(differ, 0u);
    }
}

// The same path twice: the second run takes the next free name, the first keeps every frame; a
// second run that fills the disk leaves the first as it was and mixes nothing into it.
TEST(EditorExport, ASequenceExportedTwiceToOnePathNeverMixesTwoRuns) {
    TempDir dir;
    makeMovie(dir / "a.mov");
    Editor e;
    e.importAndPlace({dir / "a.mov"});
    ConversionSettings settings;
    settings.format = OutputFormat::pngSequence;
    const fs::path first = dir / "Show PNG";
    e.await(e.m.startExport(settings, q(first)));
    ASSERT_EQ(e.m.exportResult().value_or("").toStdString(), first.string()) << e.m.exportError().value_or("").toStdString();
    const auto firstFrames = folderFiles(first);
    EXPECT_EQ(fileNames(first), sequenceFrameNames(first, 30, "png"));
    e.await(e.m.startExport(settings, q(first)));
    const fs::path second = dir / "Show PNG 2";
    ASSERT_EQ(e.m.exportResult().value_or("").toStdString(), second.string()) << e.m.exportError().value_or("").toStdString();
    EXPECT_EQ(fileNames(second), sequenceFrameNames(second, 30, "png"));
    EXPECT_EQ(folderFiles(first), firstFrames);

    SmallDisk disk(2 << 20);
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    const fs::path onDisk = disk / "Show PNG";
    e.await(e.m.startExport(settings, q(onDisk)));
    ASSERT_EQ(e.m.exportResult().value_or("").toStdString(), onDisk.string()) << e.m.exportError().value_or("").toStdString();
    const auto onDiskFrames = folderFiles(onDisk);
    disk.fill(8 * 4096);  // room for a few frames, not for all
    e.await(e.m.startExport(settings, q(onDisk)));
    ASSERT_TRUE(e.m.exportError().has_value());
    EXPECT_TRUE(e.m.exportError()->endsWith("(No space left on device)")) << e.m.exportError()->toStdString();
    EXPECT_EQ(e.m.exportResult(), std::nullopt);
    EXPECT_EQ(folderFiles(onDisk), onDiskFrames);
    const fs::path failed = disk / "Show PNG 2";
    const auto names = sequenceFrameNames(failed, 30, "png");
    const auto written = fs::exists(failed) ? fileNames(failed) : std::vector<std::string>{};
    EXPECT_LT(written.size(), names.size());
    // The unbroken run from the first frame, whatever order the frames were written in.
    EXPECT_EQ(written, sequenceFrameNames(failed, int(written.size()), "png"));
    std::vector<std::string> expected{".filler", "Show PNG"};
    if (fs::exists(failed)) expected.push_back("Show PNG 2");
    EXPECT_EQ(fileNames(disk.path()), expected);
}

TEST(EditorExport, NamesTheMissingMediaItLeavesOut) {
    TempDir dir;
    makeMovie(dir / "a.mov");
    makeMovie(dir / "gone.mov");
    makeMovie(dir / "unused.mov");
    Editor e;
    e.importAndPlace({dir / "a.mov", dir / "gone.mov"});
    e.await(e.m.importFiles({q(dir / "unused.mov")}));  // in the bin only
    e.desktop.saveAnswers.push_back(q(dir / "p.qmproj"));
    ASSERT_TRUE(e.m.saveProject());
    fs::remove(dir / "gone.mov");
    fs::remove(dir / "unused.mov");
    e.await(e.m.openProject(q(dir / "p.qmproj")));
    EXPECT_EQ(e.m.missingTimelineMedia(), QStringList{"gone.mov"});

    ConversionSettings settings;
    settings.format = OutputFormat::h264;
    e.await(e.m.startExport(settings, q(dir / "out.mp4")));
    ASSERT_EQ(e.m.exportResult(), std::optional<QString>(q(dir / "out.mp4")));
    EXPECT_EQ(e.m.exportLeftOut(), QStringList{"gone.mov"});
    EXPECT_EQ(probeValue(dir / "out.mp4", "stream=nb_read_frames"), "60");  // its clip's time stays

    // A track neither shown nor heard leaves nothing out; nor does a timeline without the medium.
    e.m.toggleTrackVisibility(0, true);
    e.m.toggleTrackAudio(0, true);
    EXPECT_TRUE(e.m.missingTimelineMedia().isEmpty());
    e.m.undo();
    e.m.undo();
    const auto& media = e.m.project().media;
    const auto gone = std::find_if(media.begin(), media.end(), [](const MediaItem& m) { return m.name == "gone.mov"; });
    ASSERT_NE(gone, media.end());
    e.m.removeMedia(QUuid(gone->id));
    EXPECT_TRUE(e.m.missingTimelineMedia().isEmpty());
    e.await(e.m.startExport(settings, q(dir / "whole.mp4")));
    ASSERT_EQ(e.m.exportResult(), std::optional<QString>(q(dir / "whole.mp4")));
    EXPECT_TRUE(e.m.exportLeftOut().isEmpty());
}

// A file deleted while the project is open is looked for again when an export starts: it becomes
// missing (the bin shows it so) and the result names it; a folder in a medium's place is as
// good as gone. A run handed the probe result of a file that went after that look fails with
// the names, writes nothing, and the media become missing.
TEST(EditorExport, AFileDeletedWhileTheProjectIsOpenIsNamed) {
    TempDir dir;
    makeMovie(dir / "a.mov");
    makeMovie(dir / "gone.mov");
    Editor e;
    e.importAndPlace({dir / "a.mov", dir / "gone.mov"});
    const QUuid a = e.m.project().media[0].id, gone = e.m.project().media[1].id;
    const MediaInfos present = e.m.infos();
    fs::remove(dir / "gone.mov");
    EXPECT_FALSE(e.m.isMissing(gone));

    ConversionSettings settings;
    settings.format = OutputFormat::proRes422;
    e.await(e.m.startExport(settings, q(dir / "out.mov")));
    ASSERT_EQ(e.m.exportResult(), std::optional<QString>(q(dir / "out.mov")));
    EXPECT_EQ(e.m.exportLeftOut(), QStringList{"gone.mov"});
    EXPECT_TRUE(e.m.isMissing(gone));
    EXPECT_FALSE(e.m.isMissing(a));
    EXPECT_EQ(probeValue(dir / "out.mov", "stream=nb_read_frames"), "60");

    fs::rename(dir / "a.mov", dir / "kept.mov");
    fs::create_directory(dir / "a.mov");
    e.m.checkTimelineMedia();
    EXPECT_TRUE(e.m.isMissing(a));

    e.m.setInfos(present);
    e.await(e.m.exportRun().start(e.m.project(), e.m.infos(), {}, settings, q(dir / "late.mov")));
    EXPECT_EQ(e.m.exportError(),
              std::optional<QString>("These files can't be found any more, so the export was stopped: a.mov, gone.mov"));
    EXPECT_EQ(e.m.exportResult(), std::nullopt);
    EXPECT_FALSE(fs::exists(dir / "late.mov"));
    EXPECT_TRUE(e.m.isMissing(a) && e.m.isMissing(gone));
}

// Every frame of a movie, decoded by the ffmpeg CLI as 8-bit RGB.
std::vector<std::string> rgbFrames(const fs::path& movie, int width, int height) {
    const fs::path raw = movie.string() + ".rgb";
    ffmpeg({"-i", movie.string(), "-f", "rawvideo", "-pix_fmt", "rgb24", raw.string()});
    const std::string bytes = readFile(raw);
    const size_t size = size_t(width) * size_t(height) * 3;
    std::vector<std::string> frames;
    for (size_t at = 0; at + size <= bytes.size(); at += size) frames.push_back(bytes.substr(at, size));
    EXPECT_EQ(bytes.size() % size, 0u);
    return frames;
}

// A medium damaged while its project is open fails the export with its name and the time in
// the file, and leaves no movie; one cut in place, index and all, no longer probes and fails it
// before its first frame. Neither is left out as missing: the file is there.
TEST(EditorExport, AMediumDamagedWhileTheProjectIsOpenFailsTheExportByName) {
    TempDir dir;
    ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x36:rate=10:duration=4", "-c:v", "prores_ks", (dir / "clip.mov").string()});
    Editor e;
    e.importAndPlace({dir / "clip.mov"});
    const auto frames = proResFrames(dir / "clip.mov");
    ASSERT_EQ(frames.size(), 40u);
    garble(dir / "clip.mov", frames[15].first, frames[25].first);

    ConversionSettings settings;
    settings.format = OutputFormat::proRes422;
    e.await(e.m.startExport(settings, q(dir / "out.mov")));
    EXPECT_EQ(e.m.exportResult(), std::nullopt);
    ASSERT_TRUE(e.m.exportError());
    EXPECT_TRUE(e.m.exportError()->startsWith(
        "“clip.mov” can't be read at 1.50 s into the file, so the export was stopped: its picture there can't be decoded ("))
        << e.m.exportError()->toStdString();
    EXPECT_FALSE(fs::exists(dir / "out.mov"));
    EXPECT_FALSE(e.m.isMissing(e.m.project().media[0].id));

    cutAt(dir / "clip.mov", frames[30].first);
    e.await(e.m.startExport(settings, q(dir / "out.mov")));
    EXPECT_EQ(e.m.exportResult(), std::nullopt);
    EXPECT_TRUE(e.m.exportError().value_or("").startsWith("“clip.mov” can't be read, so the export was stopped: "))
        << e.m.exportError().value_or("").toStdString();
    EXPECT_FALSE(fs::exists(dir / "out.mov"));
}

// A medium moved away while its project is open is missing at the next look, and present again
// at the look after it is put back: that export has its picture in every frame (a flat colour,
// against the colour given to ffmpeg). One missing when the project was opened waits for Relink.
TEST(EditorExport, AMediumPutBackIsPresentAgain) {
    TempDir dir;
    fs::create_directories(dir / "media");
    // Tagged BT.709 so that every reader takes its colour alike.
    ffmpeg({"-f", "lavfi", "-i", "color=c=0x3366cc:size=64x36:rate=30:duration=1", "-vf",
            "scale=out_color_matrix=bt709:out_range=tv,format=yuv422p10le", "-colorspace", "bt709", "-color_primaries",
            "bt709", "-color_trc", "bt709", "-c:v", "prores_ks", (dir / "media/blue.mov").string()});
    makeMovie(dir / "media/other.mov");
    Editor e;
    e.importAndPlace({dir / "media/blue.mov", dir / "media/other.mov"});
    const QUuid blue = e.m.project().media[0].id, other = e.m.project().media[1].id;
    e.desktop.saveAnswers.push_back(q(dir / "Show.qmproj"));
    ASSERT_TRUE(e.m.saveProject());
    e.m.removeMedia(other);

    fs::rename(dir / "media/blue.mov", dir / "blue.mov");
    e.m.checkTimelineMedia();
    EXPECT_TRUE(e.m.isMissing(blue));
    fs::rename(dir / "blue.mov", dir / "media/blue.mov");
    EXPECT_TRUE(e.m.isMissing(blue));  // until it is looked for

    ConversionSettings settings;
    settings.format = OutputFormat::proRes4444;
    e.await(e.m.startExport(settings, q(dir / "out.mov")));
    ASSERT_EQ(e.m.exportResult(), std::optional<QString>(q(dir / "out.mov"))) << e.m.exportError().value_or("").toStdString();
    EXPECT_TRUE(e.m.exportLeftOut().isEmpty());
    EXPECT_FALSE(e.m.isMissing(blue));
    const std::vector<std::string> pictures = rgbFrames(dir / "out.mov", 64, 36);
    ASSERT_EQ(pictures.size(), 30u);
    const int expected[3] = {0x33, 0x66, 0xcc};
    for (size_t f = 0; f < pictures.size(); ++f)
        for (size_t i = 0; i < pictures[f].size(); ++i)
            ASSERT_NEAR(int(uint8_t(pictures[f][i])), expected[i % 3], 4) << "frame " << f << " byte " << i;

    // Missing at opening: the file coming back is not enough.
    fs::rename(dir / "media/other.mov", dir / "other.mov");
    e.await(e.m.openProject(q(dir / "Show.qmproj")));
    e.m.clearImportErrors();
    ASSERT_TRUE(e.m.isMissing(other));
    fs::rename(dir / "other.mov", dir / "media/other.mov");
    e.m.checkTimelineMedia();
    EXPECT_TRUE(e.m.isMissing(other));
    EXPECT_FALSE(e.m.isMissing(blue));
}

// A medium overwritten by a movie of another size (a graphic re-rendered: blue left half, orange
// right half) is drawn as what it is now, fitted as its clip says: 4:3 into a 4:3 canvas covers it,
// so every frame is blue left of the middle and orange right of it (the colours given to ffmpeg).
// Smaller and replaced before the project opens; larger and replaced while it is open.
TEST(EditorExport, AMediumReplacedByAnotherSizeIsDrawnAsItIsNow) {
    TempDir dir;
    const auto graphic = [&](int width, int height, const std::string& codec, const std::string& format) {
        const std::string half = "size=" + std::to_string(width / 2) + "x" + std::to_string(height) + ":rate=30:duration=1";
        // Tagged BT.709 so that every reader takes its colour alike.
        ffmpeg({"-f", "lavfi", "-i", "color=c=0x3366cc:" + half, "-f", "lavfi", "-i", "color=c=0xcc8833:" + half,
                "-filter_complex", "[0:v][1:v]hstack,scale=out_color_matrix=bt709:out_range=tv,format=" + format,
                "-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709", "-c:v", codec, "-f", "mov",
                (dir / "clip.mov").string()});
    };
    graphic(320, 240, "prores_ks", "yuv422p10le");
    Editor e;
    e.importAndPlace({dir / "clip.mov"});
    e.desktop.saveAnswers.push_back(q(dir / "Show.qmproj"));
    ASSERT_TRUE(e.m.saveProject());
    ConversionSettings settings;
    settings.format = OutputFormat::proRes4444;
    const std::array<int, 3> blue = {0x33, 0x66, 0xcc}, orange = {0xcc, 0x88, 0x33};
    const auto exportsTheGraphic = [&](const char* name) {
        e.await(e.m.startExport(settings, q(dir / name)));
        ASSERT_EQ(e.m.exportResult(), std::optional<QString>(q(dir / name))) << e.m.exportError().value_or("").toStdString();
        const std::vector<std::string> pictures = rgbFrames(dir / name, 320, 240);
        ASSERT_EQ(pictures.size(), 30u);
        for (size_t f = 0; f < pictures.size(); ++f)
            for (size_t at = 0; at < pictures[f].size(); at += 3) {
                const size_t x = at / 3 % 320;
                if (x >= 140 && x < 180) continue;  // where the halves meet, blurred by the scaling
                const std::array<int, 3> expected = x < 160 ? blue : orange;
                for (size_t c = 0; c < 3; ++c)
                    ASSERT_NEAR(int(uint8_t(pictures[f][at + c])), expected[c], 6) << name << " frame " << f << " pixel " << at / 3;
            }
    };

    graphic(64, 48, "libx264", "yuv420p");
    e.await(e.m.openProject(q(dir / "Show.qmproj")));
    ASSERT_FALSE(e.m.isMissing(e.m.project().media[0].id));
    exportsTheGraphic("small.mov");
    EXPECT_EQ(e.m.project().media[0].width, 64);

    graphic(640, 480, "libx264", "yuv420p");
    exportsTheGraphic("large.mov");
    EXPECT_EQ(e.m.project().media[0].width, 640);
}

// A renderer that is slow (it sleeps) always, or once and fast after: each frame asked for is on
// the frame grid, after the one before, and no older than the clock when the one before was
// finished (late frames are skipped, never caught up on); none is shown ahead of the clock by half a
// frame or more (the readers' reading ahead never chooses the frame); one picture is drawn at a
// time, and each is shown, in order.
TEST(EditorPlayback, ASlowRendererGetsTheNewestFrameOneAtATime) {
    qtApp();
    struct Case {
        const char* name;
        int slowMs, fastMs, slowCalls;  // the first `slowCalls` renders take slowMs, the rest fastMs
    };
    for (const Case& c : {Case{"three periods each", 100, 100, 0}, Case{"slow once, then fast", 400, 1, 2}}) {
        SCOPED_TRACE(c.name);
        Project p = oneClipProject(1.2);
        p.frameRate = 30;

        struct Drawn {
            double time, began, ended;
        };
        std::mutex lock;
        std::vector<Drawn> drawn;
        std::atomic<int> drawing{0}, mostAtOnce{0}, calls{0};
        QElapsedTimer wall;
        auto slow = [&](const Project&, const MediaInfos&, double t) {
            const int now = ++drawing;
            mostAtOnce = std::max(mostAtOnce.load(), now);
            const double began = double(wall.nsecsElapsed()) / 1e9;
            // The second render is the slow one when only one is: a stall in mid-run.
            const int call = calls++;
            const bool isSlow = c.slowCalls == 0 || call == c.slowCalls - 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(isSlow ? c.slowMs : c.fastMs));
            --drawing;
            std::lock_guard guard(lock);
            drawn.push_back({t, began, double(wall.nsecsElapsed()) / 1e9});
            QImage picture(1, 1, QImage::Format_RGBA8888);
            picture.setText("t", QString::number(t, 'g', 17));
            return picture;
        };
        EditorPlayback playback(slow, std::make_shared<CompositionRenderer>(), false);
        std::vector<double> shown;
        bool ended = false;
        // The clock read at its first report, carried on by the wall clock: never ahead of the
        // run's own, which started before that report.
        double firstTime = -1, firstWall = 0, mostAhead = -1;
        QObject::connect(&playback, &EditorPlayback::timeReached, [&](double t) {
            if (firstTime >= 0) return;
            firstTime = t;
            firstWall = double(wall.nsecsElapsed()) / 1e9;
        });
        QObject::connect(&playback, &EditorPlayback::frameShown, [&](const QImage& image) {
            const double t = image.text("t").toDouble();
            shown.push_back(t);
            mostAhead = std::max(mostAhead, t - (firstTime + double(wall.nsecsElapsed()) / 1e9 - firstWall));
        });
        QObject::connect(&playback, &EditorPlayback::reachedEnd, [&] { ended = true; });
        wall.start();
        playback.start(p, {}, {}, 0);
        ASSERT_TRUE(waitUntil([&] { return ended; }));
        playback.stop();

        std::lock_guard guard(lock);
        ASSERT_GE(drawn.size(), 2u);
        EXPECT_EQ(mostAtOnce.load(), 1);
        EXPECT_EQ(drawn.front().time, 0.0);
        EXPECT_LT(mostAhead, 0.5 / 30) << "a frame was shown that far ahead of the clock";
        // The clock started before the first drawing began, so it reads at least the wall time since.
        const double origin = drawn.front().began;
        for (size_t i = 1; i < drawn.size(); ++i) {
            const double frames = drawn[i].time * 30;
            EXPECT_NEAR(frames, std::round(frames), 1e-9);
            EXPECT_GT(drawn[i].time, drawn[i - 1].time);
            EXPECT_GE(drawn[i].time, std::floor((drawn[i - 1].ended - origin) * 30) / 30 - 1e-9) << "frame " << i;
        }
        std::vector<double> times;
        for (const Drawn& d : drawn) times.push_back(d.time);
        EXPECT_EQ(shown, times);
    }
}

TEST(EditorPlayback, WallClockEndsOnTheLastFrameWithAStillAndOneRunAfterPauseAndPlay) {
    Editor e;
    Project p = oneClipProject(0.5);
    e.m.setProject(p);

    e.m.play();
    e.m.pause();
    e.m.play();  // during the set-up of the first run
    EXPECT_TRUE(e.m.isPlaying());
    ASSERT_TRUE(waitUntil([&] { return !e.m.isPlaying() && !e.m.isRendering(); }));
    EXPECT_EQ(e.m.playhead(), 0.5);
    EXPECT_EQ(e.renderedAt->back(), 0.5);  // the still frame at the end
    // One run: the frames' times only go forward. The first run may have drawn its first frame
    // before the pause reached it; two runs going at once would step back again and again.
    std::vector<double> played(e.renderedAt->begin(), e.renderedAt->end() - 1);
    int stepsBack = 0;
    for (std::size_t i = 1; i < played.size(); ++i) stepsBack += played[i] < played[i - 1] ? 1 : 0;
    EXPECT_LE(stepsBack, 1) << ::testing::PrintToString(*e.renderedAt);
    EXPECT_LE(e.m.playbackFrames(), 16);  // paced at 30 fps: at most one frame per period (+1)

    // At 0.5 fps the pacing floor is one frame per second: a 2.5 s timeline shows at most 3 + 1.
    p.frameRate = 0.5;
    p.tracks[0].clips[0].duration = 2.5;
    e.m.setProject(p);
    e.m.seek(2);  // on the last frame (d − 1/max(f, 1) = 1.5 or later): playback starts from 0
    e.m.play();
    EXPECT_EQ(e.m.playhead(), 0.0);
    ASSERT_TRUE(waitUntil([&] { return !e.m.isPlaying(); }));
    EXPECT_LE(e.m.playbackFrames(), 4);
    EXPECT_GE(e.m.playbackFrames(), 1);  // a loaded machine may drop all but the first
    EXPECT_EQ(e.m.playhead(), 2.5);
}

TEST(EditorEyedropper, PicksTheMeanOfFfmpegsFrameUnderTheClick) {
    TempDir dir;
    const fs::path movie = dir / "moving.mov";
    // Stored as RGB, so the comparison is of the frame and the place, not of two YUV conversions.
    ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=160x90:rate=30:duration=1", "-c:v", "png", "-pix_fmt", "rgb24",
            movie.string()});
    Editor e;
    e.await(e.m.importFiles({q(movie)}));
    const QUuid media = e.m.project().media[0].id;
    e.m.addClipAtPlayhead(media, std::size_t(0), 0.5);
    const QUuid clip = e.m.project().tracks[0].clips[0].id;
    e.m.updateClip(clip, false, [](Clip& c) { c.sourceIn = 0.2; });
    e.m.setSelectedClipID(clip);

    const struct {
        double playhead;
        int frame;  // frame-rounded playhead − start + sourceIn, at 30 fps
        QPointF at;
    } cases[] = {{0.8, 15, {40, 30}}, {0.81, 15, {0, 0}}, {1.1, 24, {120, 70}}, {1.1, 24, {159, 89}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frame);
        e.m.seek(c.playhead);
        const auto undo = e.m.undoCount();
        e.await(e.m.pickKeyColor(c.at));
        EXPECT_EQ(e.m.undoCount(), undo + 1);
        const RGBColor picked = e.m.clip(clip)->transform->effects.keyColor;
        EXPECT_FALSE(e.m.clip(clip)->transform->effects.keyEnabled);

        const fs::path raw = dir / "frame.rgb";
        ffmpeg({"-i", movie.string(), "-vf", "select=eq(n\\," + std::to_string(c.frame) + ")", "-frames:v", "1", "-f",
                "rawvideo", "-pix_fmt", "rgb24", raw.string()});
        const std::string px = readFile(raw);
        ASSERT_EQ(px.size(), 160u * 90 * 3);
        double sum[3] = {0, 0, 0};
        int n = 0;
        for (int y = std::max(0, int(c.at.y()) - 2); y <= std::min(89, int(c.at.y()) + 2); ++y)
            for (int x = std::max(0, int(c.at.x()) - 2); x <= std::min(159, int(c.at.x()) + 2); ++x, ++n)
                for (int k = 0; k < 3; ++k) sum[k] += uint8_t(px[std::size_t((y * 160 + x) * 3 + k)]);
        EXPECT_NEAR(picked.r, sum[0] / n / 255, 2.0 / 255);
        EXPECT_NEAR(picked.g, sum[1] / n / 255, 2.0 / 255);
        EXPECT_NEAR(picked.b, sum[2] / n / 255, 2.0 / 255);
    }
    // Outside the picture: nothing changes.
    const auto undo = e.m.undoCount();
    e.await(e.m.pickKeyColor({-5, 10}));
    EXPECT_EQ(e.m.undoCount(), undo);
}

// A stream whose pictures shrink midway (160×90, then 96×54): a click picks from the later picture
// where it is drawn, fitted to the same place, as ffmpeg decodes that picture.
TEST(EditorEyedropper, PicksFromALaterPictureOfAnotherSizeWhereItIsDrawn) {
    TempDir dir;
    std::string joined;
    for (const std::string size : {"160x90", "96x54"}) {
        const fs::path part = dir / (size + ".h264");
        ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=" + size + ":rate=30:duration=1", "-c:v", "libx264", "-preset", "ultrafast",
                "-pix_fmt", "yuv420p", "-colorspace", "bt709", "-color_range", "tv", part.string()});
        joined += readFile(part);
    }
    writeFile(dir / "joined.h264", joined);
    const fs::path movie = dir / "joined.mp4";
    ffmpeg({"-r", "30", "-i", (dir / "joined.h264").string(), "-c", "copy", movie.string()});
    const fs::path raw = dir / "later.rgb";
    ffmpeg({"-i", (dir / "96x54.h264").string(), "-vf", "select=eq(n\\,15),scale=in_color_matrix=bt709", "-frames:v", "1",
            "-f", "rawvideo", "-pix_fmt", "rgb24", raw.string()});
    const std::string px = readFile(raw);
    ASSERT_EQ(px.size(), 96u * 54 * 3);

    Editor e;
    e.await(e.m.importFiles({q(movie)}));
    e.m.addClipAtPlayhead(e.m.project().media[0].id, std::size_t(0), 0.0);
    const QUuid clip = e.m.project().tracks[0].clips[0].id;
    e.m.setSelectedClipID(clip);
    e.m.seek(1.5);  // the later picture 15
    for (const QPointF at : {QPointF(40, 30), QPointF(150, 80)}) {
        SCOPED_TRACE(at.x());
        const auto undo = e.m.undoCount();
        e.await(e.m.pickKeyColor(at));
        ASSERT_EQ(e.m.undoCount(), undo + 1);
        const RGBColor picked = e.m.clip(clip)->transform->effects.keyColor;
        const int X = int(at.x() * 96 / 160), Y = int(at.y() * 54 / 90);
        double sum[3] = {0, 0, 0};
        int n = 0;
        for (int y = std::max(0, Y - 2); y <= std::min(53, Y + 2); ++y)
            for (int x = std::max(0, X - 2); x <= std::min(95, X + 2); ++x, ++n)
                for (int k = 0; k < 3; ++k) sum[k] += uint8_t(px[std::size_t((y * 96 + x) * 3 + k)]);
        EXPECT_NEAR(picked.r, sum[0] / n / 255, 3.0 / 255);
        EXPECT_NEAR(picked.g, sum[1] / n / 255, 3.0 / 255);
        EXPECT_NEAR(picked.b, sum[2] / n / 255, 3.0 / 255);
    }
}

}  // namespace
}  // namespace qm::test
