// The credits model without widgets: stored state, rebuilds and their races, preview and
// playback on a hand-moved clock, export cancellation, and project commands.
#include <gtest/gtest.h>

#include <QSignalSpy>

#include <algorithm>

#include "model_test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::qpath;
using test::waitUntil;

class CreditsModelState : public test::CreditsModelTest {
protected:
    // A small roll with a (stand-in) list, so that there is something to play and export.
    void makeRoll(double rollSeconds) {
        model = makeModel();
        CreditsSettings s = model->settings();
        s.width = 320;
        s.height = 180;
        s.rollSeconds = rollSeconds;
        model->setSettings(s);
        model->loadDocument(qpath(dir / "Credits.docx"), false);
        ASSERT_TRUE(waitUntil([&] { return model->strip().has_value(); }));
    }
};

TEST_F(CreditsModelState, StoredOutputsThatCannotBeWrittenFallBackAndEveryOutputAssignmentIsStored) {
    model = makeModel();
    EXPECT_EQ(model->settings(), CreditsSettings{});
    EXPECT_EQ(model->output(), CreditsModel::defaultOutput());
    model.reset();

    for (const char* format : {"notchLC", "hevcAlpha", "hapQ"}) {
        store().setText("creditsOutput", QStringLiteral("{\"format\":\"%1\",\"scalePercent\":25}").arg(format));
        model = makeModel();
        const bool usable = std::string(format) != "notchLC";
        EXPECT_EQ(model->output().format, usable ? *outputFormatFromRawValue(format) : OutputFormat::proRes422HQ) << format;
        EXPECT_EQ(model->output().scalePercent, usable ? 25 : 50) << format;
        model.reset();
    }

    model = makeModel();
    auto s = store();
    s.remove("creditsOutput");
    s.remove("creditsSettings");
    QSignalSpy outputs(model.get(), &CreditsModel::outputChanged);
    QSignalSpy renderers(model.get(), &CreditsModel::rendererChanged);
    model->setOutput(model->output());
    EXPECT_TRUE(store().contains("creditsOutput"));
    EXPECT_EQ(outputs.count(), 0);
    // Equal settings: nothing saved, nothing rebuilt.
    model->setSettings(model->settings());
    EXPECT_FALSE(store().contains("creditsSettings"));
    EXPECT_EQ(renderers.count(), 0);
}

TEST_F(CreditsModelState, OnlyLayoutFieldsRebuildTheStripAndRapidChangesBuildOnce) {
    model = makeModel();
    model->loadDocument(qpath(dir / "list.DOCX"), true);
    ASSERT_TRUE(waitUntil([&] { return model->strip().has_value(); }));
    EXPECT_EQ(gate->calls(), 1);
    const int64_t generation = model->stripGeneration();

    QSignalSpy renderers(model.get(), &CreditsModel::rendererChanged);
    CreditsSettings s = model->settings();
    s.height = 720;
    s.frameRate = 50;
    s.rollSeconds = 20;
    s.background = CreditsSettings::Background::transparent;
    model->setSettings(s);
    EXPECT_EQ(renderers.count(), 1);
    EXPECT_EQ(model->stripGeneration(), generation);
    EXPECT_FALSE(model->isBuildingStrip());

    gate->close();
    for (int64_t width : {1000, 1100, 1280}) {
        s.width = width;
        model->setSettings(s);
    }
    EXPECT_EQ(model->stripGeneration(), generation + 3);
    ASSERT_TRUE(waitUntil([&] { return gate->calls() == 2; }));
    EXPECT_EQ(gate->lastWidth(), 1280);
    EXPECT_TRUE(model->isBuildingStrip());
    gate->release();
    ASSERT_TRUE(waitUntil([&] { return !model->isBuildingStrip(); }));
    EXPECT_EQ(model->strip()->width, 768);
    EXPECT_EQ(gate->calls(), 2);
}

TEST_F(CreditsModelState, ARemovedDocumentNeverGetsItsStripOrErrorBack) {
    model = makeModel();
    for (bool failing : {false, true}) {
        if (failing) gate->error = "broken list";
        gate->close();
        model->loadDocument(qpath(dir / "list.docx"), true);
        const int calls = gate->calls();
        ASSERT_TRUE(waitUntil([&] { return gate->calls() == calls + 1; }));  // the build is running
        model->removeDocument();
        EXPECT_FALSE(model->isBuildingStrip());
        gate->release();
        // A later build proves the old one has come back and was dropped.
        gate->error.reset();
        model->loadDocument(qpath(dir / "other.pdf"), false);
        ASSERT_TRUE(waitUntil([&] { return model->strip().has_value(); }));
        EXPECT_FALSE(model->errorMessage()) << failing;
        EXPECT_EQ(model->documentURL(), qpath(dir / "other.pdf"));
        model->removeDocument();
    }
    // A build that fails while current clears the document and says why.
    gate->error = "broken list";
    model->loadDocument(qpath(dir / "list.docx"), true);
    ASSERT_TRUE(waitUntil([&] { return model->errorMessage().has_value(); }));
    EXPECT_EQ(*model->errorMessage(), "Reading failed: broken list");
    EXPECT_TRUE(model->documentURL().isEmpty());
    EXPECT_FALSE(model->strip());
}

TEST_F(CreditsModelState, ReviewOpensOnceAndDecisionsRebuildOnlyWhenTheyChange) {
    gate->choices = {{0, "后", "後", {"後", "后"}, false, "", 0},
                     {1, "后", "后", {"后", "後"}, false, "", 0},
                     {2, "后", "後", {"後", "後面"}, true, "", 0},
                     {3, "发", "發", {"發", "髮"}, false, "", 0}};
    model = makeModel();
    CreditsSettings s = model->settings();
    s.chineseConversion = ChineseConverter::Direction::toTraditional;
    model->setSettings(s);
    model->loadDocument(qpath(dir / "list.docx"), true);
    EXPECT_TRUE(model->reviewPending());
    ASSERT_TRUE(waitUntil([&] { return model->strip().has_value(); }));
    EXPECT_TRUE(model->isReviewingChoices());
    EXPECT_FALSE(model->reviewPending());
    EXPECT_EQ(model->uncertainChoices().size(), 3u);

    const auto choices = model->strip()->choices;
    const int64_t generation = model->stripGeneration();
    // Same source, option listed by choices 0, 1 and 2 only.
    model->choose("後", choices[0], true);
    EXPECT_EQ(model->conversionOverrides(), (ChineseConverter::Overrides{{0, "後"}, {1, "後"}, {2, "後"}}));
    EXPECT_EQ(model->stripGeneration(), generation + 1);
    model->choose("後", choices[1], false);
    EXPECT_EQ(model->stripGeneration(), generation + 1);

    s.chineseConversion = ChineseConverter::Direction::none;
    model->setSettings(s);
    EXPECT_TRUE(model->conversionOverrides().empty());
    EXPECT_FALSE(model->reviewPending());
}

TEST_F(CreditsModelState, PlaybackFollowsTheClockAndEndsOnAStillOfTheLastFrame) {
    makeRoll(4);
    const double total = model->length();
    ASSERT_GT(total, 3);

    model->seek(-3);
    EXPECT_EQ(model->playhead(), 0);
    model->seek(total + 5);
    EXPECT_EQ(model->playhead(), total);

    model->seek(total - 0.06);
    model->play();
    EXPECT_EQ(model->playhead(), total - 0.06);
    model->pause();

    model->seek(total - 0.04);
    model->play();
    EXPECT_TRUE(model->isPlaying());
    EXPECT_EQ(model->playhead(), 0);
    advance(1.5);
    ASSERT_TRUE(waitUntil([&] { return model->playhead() == 1.5; }));
    // Time runs on while frames render: the playhead is the clock, not a frame count.
    advance(total);
    ASSERT_TRUE(waitUntil([&] { return !model->isPlaying(); }));
    EXPECT_EQ(model->playhead(), total);
    const QImage last = model->renderer()->previewImage(false, total, 1280, 720);
    ASSERT_TRUE(waitUntil([&] { return model->preview() == last; }));
}

TEST_F(CreditsModelState, CancelledExportLeavesNothingAndTheNextStartsAtOnce) {
    makeRoll(60);
    CreditsSettings s = model->settings();
    ConversionSettings out = model->output();
    out.format = OutputFormat::proRes422;
    model->setOutput(out);

    const fs::path first = dir / "first.mov";
    model->startExport(qpath(first));
    ASSERT_TRUE(model->isExporting());
    // A request while exporting asks nothing.
    model->exportCredits();
    EXPECT_TRUE(desktop.saves.empty());
    model->cancelExport();
    ASSERT_TRUE(waitUntil([&] { return !model->isExporting(); }));
    EXPECT_FALSE(model->exportError());
    EXPECT_TRUE(model->exportResult().isEmpty());
    EXPECT_FALSE(fs::exists(first));

    s.rollSeconds = 1;
    s.head.hold = 0;
    s.tail.hold = 0;
    model->setSettings(s);
    const fs::path second = dir / "second.mov";
    model->startExport(qpath(second));
    EXPECT_TRUE(model->isExporting());
    ASSERT_TRUE(waitUntil([&] { return !model->isExporting(); }));
    EXPECT_FALSE(model->exportError()) << model->exportError()->toStdString();
    EXPECT_EQ(model->exportResult(), qpath(second));
    EXPECT_TRUE(fs::exists(second));
    EXPECT_EQ(model->exportProgress().fraction, 1.0);

    // Quitting during an export stops it and removes the partial movie.
    s.rollSeconds = 60;
    model->setSettings(s);
    const fs::path third = dir / "third.mov";
    model->startExport(qpath(third));
    model.reset();
    EXPECT_FALSE(fs::exists(third));
}

TEST_F(CreditsModelState, ExportNamesAndPanels) {
    makeRoll(2);
    CreditsSettings s = model->settings();
    s.width = 1280;
    s.height = 720;
    model->setSettings(s);
    model->exportCredits();
    ASSERT_EQ(desktop.saves.size(), 1u);
    EXPECT_EQ(desktop.saves[0].suggestedName, "Credits_1280x720_ProResHQ.mov");
    model->removeDocument();
    model->loadPicture(qpath(picture("p.png")), CreditsModel::Slot::opening);
    model->exportCredits();
    EXPECT_EQ(desktop.saves.back().suggestedName, "End Credits_1280x720_ProResHQ.mov");
    ConversionSettings out = model->output();
    for (auto [format, name] : {std::pair{OutputFormat::hevc, "End Credits_1280x720_HEVC.mp4"},
                                std::pair{OutputFormat::hevcAlpha, "End Credits_1280x720_HEVCAlpha.mov"}}) {
        out.format = format;
        model->setOutput(out);
        model->exportCredits();
        EXPECT_EQ(desktop.saves.back().suggestedName, name);
    }
    EXPECT_FALSE(model->isExporting());

    out.format = OutputFormat::pngSequence;
    model->setOutput(out);
    model->loadDocument(qpath(dir / "Credits.docx"), false);
    ASSERT_TRUE(waitUntil([&] { return model->strip().has_value(); }));
    desktop.openAnswers = {{qpath(dir / "F")}};
    s.rollSeconds = 1;
    s.head.hold = s.tail.hold = 0;
    s.width = 64;
    s.height = 36;
    model->setSettings(s);
    model->exportCredits();
    EXPECT_EQ(desktop.opens.back().prompt, "Export Here");
    EXPECT_FALSE(desktop.opens.back().canChooseFiles);
    ASSERT_TRUE(model->isExporting());
    ASSERT_TRUE(waitUntil([&] { return !model->isExporting(); }));
    EXPECT_EQ(model->exportResult(), qpath(dir / "F" / "Credits_64x36_PNG"));
}

class CreditsModelSequences : public CreditsModelState {
protected:
    // A roll of `seconds` at 25 fps without holds, exported as a PNG sequence "Here" into `folder`;
    // the frames the run set out to write.
    int exportRoll(double seconds, const fs::path& folder) {
        CreditsSettings s = model->settings();
        s.rollSeconds = seconds;
        s.head.hold = s.tail.hold = 0;
        s.width = 64;
        s.height = 36;
        model->setSettings(s);
        desktop.openAnswers = {{qpath(folder)}};
        model->exportCredits();
        const int frames = model->exporter() ? int(model->exporter()->frameCount()) : 0;
        EXPECT_TRUE(waitUntil([&] { return !model->isExporting(); }));
        return frames;
    }
    void SetUp() override {
        CreditsModelState::SetUp();
        makeRoll(4);
        ConversionSettings out = model->output();
        out.format = OutputFormat::pngSequence;
        model->setOutput(out);
    }
};

TEST_F(CreditsModelSequences, ASecondExportIntoTheSameFolderTakesTheNextNameAndLeavesTheFirstWhole) {
    const fs::path first = dir / "F" / "Credits_64x36_PNG";
    const int longer = exportRoll(4, dir / "F");
    ASSERT_EQ(model->exportResult().toStdString(), first.string()) << model->exportError().value_or("").toStdString();
    const auto firstFrames = test::folderFiles(first);
    EXPECT_EQ(test::fileNames(first), test::sequenceFrameNames(first, longer, "png"));

    const int shorter = exportRoll(1, dir / "F");
    ASSERT_LT(shorter, longer);
    const fs::path second = dir / "F" / "Credits_64x36_PNG 2";
    ASSERT_EQ(model->exportResult().toStdString(), second.string()) << model->exportError().value_or("").toStdString();
    EXPECT_EQ(test::fileNames(second), test::sequenceFrameNames(second, shorter, "png"));
    EXPECT_EQ(test::folderFiles(first), firstFrames);
    EXPECT_EQ(test::fileNames(dir / "F"), (std::vector<std::string>{"Credits_64x36_PNG", "Credits_64x36_PNG 2"}));
}

TEST_F(CreditsModelSequences, ASecondExportThatFillsTheDiskNeverTouchesTheFirst) {
    test::SmallDisk disk(2 << 20);
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    const fs::path first = disk / "Credits_64x36_PNG";
    const int longer = exportRoll(4, disk.path());
    ASSERT_EQ(model->exportResult().toStdString(), first.string()) << model->exportError().value_or("").toStdString();
    const auto firstFrames = test::folderFiles(first);
    ASSERT_EQ(firstFrames.size(), size_t(longer));

    // Room for a few frames of the second run, not for all of them.
    disk.fill(8 * 4096);
    const int shorter = exportRoll(1, disk.path());
    ASSERT_TRUE(model->exportError().has_value());
    EXPECT_TRUE(model->exportError()->endsWith("(No space left on device)")) << model->exportError()->toStdString();
    EXPECT_TRUE(model->exportResult().isEmpty());
    EXPECT_EQ(test::folderFiles(first), firstFrames);
    // What the failed run finished stays in a folder of its own, under its own frame names.
    const fs::path second = disk / "Credits_64x36_PNG 2";
    const auto names = test::sequenceFrameNames(second, shorter, "png");
    const auto written = fs::exists(second) ? test::fileNames(second) : std::vector<std::string>{};
    EXPECT_LT(written.size(), names.size());
    // The unbroken run from the first frame, whatever order the frames were written in.
    EXPECT_EQ(written, test::sequenceFrameNames(second, int(written.size()), "png"));
    std::vector<std::string> expected{".filler", "Credits_64x36_PNG"};
    if (fs::exists(second)) expected.push_back("Credits_64x36_PNG 2");
    EXPECT_EQ(test::fileNames(disk.path()), expected);
}

// A folder that refuses the movie, on a read-only disk that root cannot write through either, is
// named with the movie, as Convert names its outputs.
TEST_F(CreditsModelState, AnExportIntoAReadOnlyFolderNamesTheMovie) {
    test::SmallDisk disk;
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    ASSERT_TRUE(disk.setReadOnly(true));
    makeRoll(1);
    model->startExport(qpath(disk / "Show.mov"));
    ASSERT_TRUE(waitUntil([&] { return !model->isExporting(); }));
    EXPECT_EQ(model->exportError(), std::optional<QString>("Writing failed: Show.mov (Read-only file system)"));
    EXPECT_TRUE(model->exportResult().isEmpty());
}

class CreditsModelProjects : public test::CreditsModelTest {
protected:
    // Opening and closing pictures and a list, loaded.
    void loadInputs() {
        head = picture("in/Logo.PNG");
        tail = picture("in/sub/logo.png", "blue");
        list = dir / "in" / "Show list.docx";
        test::writeFile(list, "list bytes");
        model = makeModel();
        model->openFile({qpath(head), qpath(tail), qpath(list)}, CreditsModel::Slot::automatic);
        ASSERT_TRUE(waitUntil([&] { return model->strip().has_value(); }));
        ASSERT_EQ(model->headURL(), qpath(head));
        ASSERT_EQ(model->tailURL(), qpath(tail));
    }
    void packageTo(const fs::path& target) {
        desktop.saveAnswers.push_back(qpath(target));
        model->packageProject();
    }
    // Every item beside `folder` in its parent, by name.
    static std::vector<std::string> siblings(const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder.parent_path())) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path head, tail, list;
};

TEST_F(CreditsModelProjects, SaveOpenRoundTripWithNamesPanelsAndMissingFiles) {
    loadInputs();
    CreditsSettings s = model->settings();
    s.rollSeconds = 12;
    model->setSettings(s);
    ConversionSettings out = model->output();
    out.format = OutputFormat::hapQ;
    model->setOutput(out);

    model->saveProject(false);
    EXPECT_EQ(desktop.saves.back().suggestedName, "Show list.qmcredits");
    const fs::path show = dir / "Show.qmcredits";
    desktop.saveAnswers.push_back(qpath(show));
    model->saveProject(false);
    EXPECT_EQ(model->projectURL(), qpath(show));
    EXPECT_EQ(*model->projectMessage(), "Saved Show.qmcredits.");
    const size_t panels = desktop.saves.size();
    model->saveProject(false);
    EXPECT_EQ(desktop.saves.size(), panels);
    model->packageProject();
    EXPECT_EQ(desktop.saves.back().suggestedName, "Show Package.qmcredits");

    model->newProject();
    EXPECT_FALSE(model->hasContent());
    EXPECT_EQ(model->defaultBaseName(), "End Credits");
    EXPECT_EQ(model->settings().rollSeconds, 12);

    fs::rename(head, dir / "moved.png");
    s.rollSeconds = 30;
    model->setSettings(s);
    out.format = OutputFormat::h264;
    model->setOutput(out);
    // The status of the last save stays through an open; only New clears it.
    desktop.saveAnswers.push_back(qpath(dir / "Other.qmcredits"));
    model->saveProject(true);
    ASSERT_EQ(model->projectMessage(), std::optional<QString>("Saved Other.qmcredits."));
    model->openProject(qpath(show / "project.json"));
    EXPECT_EQ(model->projectMessage(), std::optional<QString>("Saved Other.qmcredits."));
    EXPECT_EQ(*model->errorMessage(), "Missing files: Logo.PNG. Choose them again, then save the project.");
    EXPECT_TRUE(model->headURL().isEmpty());
    EXPECT_EQ(model->tailURL(), qpath(tail));
    EXPECT_EQ(model->documentURL(), qpath(list));
    EXPECT_EQ(model->settings().rollSeconds, 12);
    EXPECT_EQ(model->output().format, OutputFormat::hapQ);
    EXPECT_EQ(model->projectURL(), qpath(show));
    EXPECT_EQ(model->defaultBaseName(), "Show");

    // A malformed project changes nothing but the message.
    test::writeFile(dir / "Bad.qmcredits" / "project.json", "{\"version\":1}");
    model->setErrorMessage(std::nullopt);
    model->openProject(qpath(dir / "Bad.qmcredits"));
    ASSERT_TRUE(model->errorMessage());
    EXPECT_TRUE(model->errorMessage()->startsWith("Bad.qmcredits couldn't be opened: ")) << model->errorMessage()->toStdString();
    EXPECT_EQ(model->projectURL(), qpath(show));

    EXPECT_FALSE(model->openFile({}, CreditsModel::Slot::automatic));
    EXPECT_TRUE(model->openFile({qpath(dir / "old.doc")}, CreditsModel::Slot::automatic));
    EXPECT_EQ(*model->errorMessage(), "Use a Word (.docx) or PDF file. Older .doc files: save them as .docx in Word first.");
    EXPECT_EQ(model->documentURL(), qpath(list));

    // An open that finds everything leaves the earlier error and the last save's status alone.
    fs::rename(dir / "moved.png", head);
    model->openProject(qpath(show));
    EXPECT_EQ(model->headURL(), qpath(head));
    EXPECT_EQ(*model->errorMessage(), "Use a Word (.docx) or PDF file. Older .doc files: save them as .docx in Word first.");
    EXPECT_EQ(model->projectMessage(), std::optional<QString>("Saved Other.qmcredits."));
    model->newProject();
    EXPECT_EQ(model->projectMessage(), std::nullopt);
    EXPECT_EQ(model->errorMessage(), std::nullopt);
}

TEST_F(CreditsModelProjects, PackagingOntoItsOwnSourceKeepsEveryByteAndAMovedPackageOpens) {
    loadInputs();
    const fs::path package = dir / "out" / "Show.qmcredits";
    packageTo(package);
    ASSERT_FALSE(model->errorMessage()) << model->errorMessage()->toStdString();
    EXPECT_EQ(model->lastPackageURL(), qpath(package));
    EXPECT_EQ(test::readFile(package / "Media" / "logo 2.png"), test::readFile(tail));

    // Open the package itself, then package it onto itself.
    model->openProject(qpath(package));
    ASSERT_EQ(model->headURL(), qpath(package / "Media" / "Logo.PNG"));
    packageTo(package);
    ASSERT_FALSE(model->errorMessage()) << model->errorMessage()->toStdString();
    EXPECT_EQ(test::readFile(package / "Media" / "Logo.PNG"), test::readFile(head));
    EXPECT_EQ(test::readFile(package / "Media" / "logo 2.png"), test::readFile(tail));
    EXPECT_EQ(test::readFile(package / "Media" / "Show list.docx"), "list bytes");
    EXPECT_TRUE(fs::exists(fs::path(model->headURL().toStdString())));
    EXPECT_EQ(siblings(package), std::vector<std::string>{"Show.qmcredits"});

    // Moved, with the originals gone, it opens from its Media folder.
    const fs::path moved = dir / "elsewhere.qmcredits";
    fs::rename(package, moved);
    fs::remove_all(dir / "in");
    model->newProject();
    model->openProject(qpath(moved));
    EXPECT_FALSE(model->errorMessage());
    EXPECT_EQ(model->headURL(), qpath(moved / "Media" / "Logo.PNG"));
    EXPECT_EQ(model->tailURL(), qpath(moved / "Media" / "logo 2.png"));
    EXPECT_EQ(model->documentURL(), qpath(moved / "Media" / "Show list.docx"));
}

TEST_F(CreditsModelProjects, SaveAndPackageNeverReplaceAPictureOrTheListTheyRead) {
    loadInputs();
    const std::string picture = test::readFile(head), closing = test::readFile(tail);
    desktop.saveAnswers.push_back(qpath(head));
    model->saveProject(true);
    EXPECT_EQ(model->errorMessage(), std::optional<QString>("The project can’t be saved as “Logo.PNG”: it is a media file of this project."));
    packageTo(tail);
    EXPECT_EQ(model->errorMessage(), std::optional<QString>("The package can’t be written to “logo.png”: it is a media file of this project."));
    EXPECT_EQ(test::readFile(head), picture);
    EXPECT_EQ(test::readFile(tail), closing);
    EXPECT_TRUE(model->projectURL().isEmpty());
    EXPECT_TRUE(model->lastPackageURL().isEmpty());
    EXPECT_EQ(model->projectMessage(), std::nullopt);
    ASSERT_TRUE(desktop.saves.at(0).refusal);
    EXPECT_EQ(desktop.saves[0].refusal(qpath(list)), "The project can’t be saved as “Show list.docx”: it is a media file of this project.");
    EXPECT_EQ(desktop.saves[0].refusal(qpath(dir / "Show.qmcredits")), "");
}

TEST_F(CreditsModelProjects, AFailedPackageOrSaveLeavesTheOldOneAndNoTemporaryFolder) {
    loadInputs();
    const fs::path package = dir / "out" / "Show.qmcredits";
    packageTo(package);
    const std::string before = test::readFile(package / "project.json");

    fs::remove(list);  // the list vanished after it was taken in
    packageTo(package);
    ASSERT_TRUE(model->errorMessage());
    EXPECT_EQ(test::readFile(package / "project.json"), before);
    EXPECT_EQ(test::readFile(package / "Media" / "Show list.docx"), "list bytes");
    EXPECT_EQ(siblings(package), std::vector<std::string>{"Show.qmcredits"});

    test::writeFile(dir / "plain", "");
    model->setErrorMessage(std::nullopt);
    packageTo(dir / "plain" / "P.qmcredits");
    EXPECT_TRUE(model->errorMessage());
    EXPECT_EQ(model->lastPackageURL(), qpath(package));

    // A full disk: the save and the package fail with the system's reason, naming the place the
    // user chose, and the saved project stays as it was.
    test::SmallDisk disk;
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    desktop.saveAnswers.push_back(qpath(disk / "Show.qmcredits"));
    model->saveProject(true);
    const std::string saved = test::readFile(disk / "Show.qmcredits" / "project.json");
    disk.fill();
    CreditsSettings s = model->settings();
    s.rollSeconds = 17;
    model->setSettings(s);
    model->saveProject(false);
    EXPECT_EQ(*model->errorMessage(),
              "Could not write “" + qpath(disk / "Show.qmcredits" / "project.json") + "” (No space left on device)");
    EXPECT_EQ(test::readFile(disk / "Show.qmcredits" / "project.json"), saved);
    packageTo(disk / "Show.qmcredits");
    EXPECT_TRUE(model->errorMessage()->startsWith("Could not copy “")) << model->errorMessage()->toStdString();
    EXPECT_TRUE(model->errorMessage()->endsWith("(No space left on device)")) << model->errorMessage()->toStdString();
    EXPECT_EQ(test::readFile(disk / "Show.qmcredits" / "project.json"), saved);
    EXPECT_EQ(siblings(disk / "Show.qmcredits"), (std::vector<std::string>{".filler", "Show.qmcredits"}));
    // Saved as a new project it fails the same way and leaves nothing under the new name.
    model->setErrorMessage(std::nullopt);
    desktop.saveAnswers.push_back(qpath(disk / "New.qmcredits"));
    model->saveProject(true);
    ASSERT_TRUE(model->errorMessage());
    EXPECT_EQ(*model->errorMessage(),
              "Could not write “" + qpath(disk / "New.qmcredits" / "project.json") + "” (No space left on device)");
    EXPECT_EQ(siblings(disk / "New.qmcredits"), (std::vector<std::string>{".filler", "Show.qmcredits"}));
    EXPECT_EQ(model->projectURL(), qpath(disk / "Show.qmcredits"));

    // Without pictures and strip nothing is asked.
    model->newProject();
    const size_t panels = desktop.saves.size();
    model->packageProject();
    EXPECT_EQ(desktop.saves.size(), panels);
}

// What a quit or a new project would lose: inputs and decisions never saved, or what the project
// stores changed since it was saved or opened. Settings alone, kept for the next start, are not.
TEST_F(CreditsModelProjects, UnsavedWorkIsWhatTheProjectFileDoesNotHold) {
    gate->choices = {{0, "后", "後", {"後", "后"}, false, "", 0}};
    model = makeModel();
    CreditsSettings s = model->settings();
    s.rollSeconds = 9;
    model->setSettings(s);
    EXPECT_FALSE(model->hasUnsavedWork()) << "settings are kept anyway";
    list = dir / "Show list.docx";
    test::writeFile(list, "");
    model->loadDocument(qpath(list), false);
    EXPECT_TRUE(model->hasUnsavedWork()) << "a list";
    ASSERT_TRUE(waitUntil([&] { return model->strip().has_value(); }));

    // Save answered, the panel cancelled: nothing may be replaced.
    desktop.saveChangesAnswers = {SaveChangesAnswer::save};
    EXPECT_FALSE(model->confirmReplacingProject());
    const fs::path show = dir / "Show.qmcredits";
    desktop.saveAnswers.push_back(qpath(show));
    ASSERT_TRUE(model->saveProject(false));
    EXPECT_FALSE(model->hasUnsavedWork());
    s.rollSeconds = 10;
    model->setSettings(s);
    EXPECT_TRUE(model->hasUnsavedWork()) << "the project holds its settings";
    s.rollSeconds = 9;
    model->setSettings(s);
    EXPECT_FALSE(model->hasUnsavedWork()) << "back as saved";
    model->choose("后", model->strip()->choices[0], false);
    EXPECT_TRUE(model->hasUnsavedWork()) << "a chosen character";

    desktop.saveChangesAnswers = {SaveChangesAnswer::cancel, SaveChangesAnswer::save};
    EXPECT_FALSE(model->confirmReplacingProject());
    EXPECT_TRUE(model->confirmReplacingProject());
    EXPECT_EQ(desktop.askedAbout, (QStringList{"End Credits", "Show (End Credits)", "Show (End Credits)"}));
    EXPECT_FALSE(model->hasUnsavedWork());
    EXPECT_EQ(CreditsProject::readPackage(qpath(show)).overrides(), model->conversionOverrides());

    // Open from the settings panel asks first; Cancel keeps the work.
    model->newProject();
    EXPECT_FALSE(model->hasUnsavedWork());
    model->loadPicture(qpath(picture("logo.png")), CreditsModel::Slot::opening);
    EXPECT_TRUE(model->hasUnsavedWork()) << "a picture";
    desktop.openAnswers = {{qpath(show)}};
    desktop.saveChangesAnswers = {SaveChangesAnswer::cancel};
    model->openProjectPanel();
    EXPECT_TRUE(model->projectURL().isEmpty());
    EXPECT_FALSE(model->headURL().isEmpty());
    // A project opened with a file gone is as saved: the file still names it.
    fs::remove(list);
    desktop.openAnswers = {{qpath(show)}};
    desktop.saveChangesAnswers = {SaveChangesAnswer::dontSave};
    model->openProjectPanel();
    EXPECT_EQ(model->projectURL(), qpath(show));
    EXPECT_TRUE(model->documentURL().isEmpty());
    EXPECT_FALSE(model->hasUnsavedWork());
}

}  // namespace
}  // namespace qm
