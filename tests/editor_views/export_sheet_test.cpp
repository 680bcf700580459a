#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include "editor/document_fixtures.h"
#include "support/damaged_media.h"
#include "editor/views/export_sheet.h"
#include "editor/views/media_bin.h"
#include "platform/system/settings_store.h"

namespace qm::test {
namespace {

struct SheetTest : ::testing::Test {
    TempDir dir;
    void SetUp() override {
        qtApp<QApplication>();
        SettingsStore::setStorageFolder(q(dir / "settings"));
    }
    static void choose(ExportSheet& sheet, OutputFormat format) {
        const int index = sheet.formatPicker()->findData(int(format));
        ASSERT_GE(index, 0);
        sheet.formatPicker()->setCurrentIndex(index);
        emit sheet.formatPicker()->activated(index);
    }
    static void store(const QString& json) { SettingsStore().setText(QStringLiteral("exportSettings"), json); }
};

TEST_F(SheetTest, StoredSettingsOfferedFormatsAndRoundTrip) {
    const ConversionSettings defaults = ExportSheet::defaultSettings();
    EXPECT_EQ(defaults.format, OutputFormat::proRes422HQ);
    ConversionSettings chunked;  // a missing key takes the record's own default: Hap Q
    chunked.hapChunks = 8;
    const struct {
        std::optional<QString> stored;
        ConversionSettings expected;
    } cases[] = {
        {std::nullopt, defaults},
        {QStringLiteral("not json"), defaults},
        {QStringLiteral(R"({"format":"notchLC","hapChunks":8,"includeAudio":false})"), defaults},
        {QStringLiteral(R"({"hapChunks":8})"), chunked},
    };
    for (const auto& c : cases) {
        SettingsStore().remove(QStringLiteral("exportSettings"));
        if (c.stored) store(*c.stored);
        EXPECT_EQ(ExportSheet::loadSettings(SettingsStore()), c.expected) << c.stored.value_or("none").toStdString();
    }
    ConversionSettings s;
    s.format = OutputFormat::hevc;
    s.deliveryQuality = DeliveryQuality::maximum;
    s.outputSize = OutputSize::hd720;
    s.includeAudio = false;
    SettingsStore writer;
    ExportSheet::saveSettings(writer, s);
    EXPECT_EQ(ExportSheet::loadSettings(SettingsStore()), s);

    Editor e;
    ExportSheet sheet(e.m);
    EXPECT_EQ(sheet.settings(), s);
    for (OutputFormat f : allOutputFormats)
        EXPECT_EQ(sheet.formatPicker()->findData(int(f)) >= 0, f != OutputFormat::notchLC && isAvailable(f))
            << label(f);
    for (int i = 0; i < sheet.formatPicker()->count(); ++i)
        EXPECT_NE(sheet.formatPicker()->itemText(i), QStringLiteral("NotchLC"));
}

TEST_F(SheetTest, RowsWarningAndTextsFollowTheFormat) {
    Editor e;
    Project p = e.m.project();
    p.transparentBackground = true;
    e.m.setProject(p);
    ExportSheet sheet(e.m);
    const struct {
        OutputFormat format;
        bool chunks, texture, quality, audio, warning;
    } cases[] = {
        {OutputFormat::hapQ, true, true, false, true, true},
        {OutputFormat::hapAlpha, true, true, false, true, false},
        {OutputFormat::dxv3, false, true, false, true, true},
        {OutputFormat::proRes422, false, false, false, true, true},
        {OutputFormat::proRes4444, false, false, false, true, false},
        {OutputFormat::h264, false, false, true, true, true},
        {OutputFormat::hevc, false, false, true, true, true},
        {OutputFormat::tiffSequence, false, false, false, false, false},
        {OutputFormat::jpegSequence, false, false, false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(label(c.format));
        choose(sheet, c.format);
        EXPECT_EQ(sheet.settings().format, c.format);
        EXPECT_EQ(sheet.chunksPicker()->isVisibleTo(&sheet), c.chunks);
        EXPECT_EQ(sheet.highQualityToggle()->isVisibleTo(&sheet), c.texture);
        EXPECT_EQ(sheet.qualityPicker()->isVisibleTo(&sheet), c.quality);
        EXPECT_EQ(sheet.includeAudioToggle()->isEnabled(), c.audio);
        EXPECT_TRUE(sheet.includeAudioToggle()->isChecked());  // disabled keeps the value
        EXPECT_EQ(sheet.alphaWarning()->isVisibleTo(&sheet), c.warning);
    }
    // Hidden rows keep their values.
    choose(sheet, OutputFormat::hapQ);
    sheet.chunksPicker()->setCurrentIndex(sheet.chunksPicker()->findData(8));
    emit sheet.chunksPicker()->activated(sheet.chunksPicker()->currentIndex());
    choose(sheet, OutputFormat::proRes422);
    choose(sheet, OutputFormat::hapQ);
    EXPECT_EQ(sheet.chunksPicker()->currentText(), "8");

    EXPECT_EQ(sheet.projectSummaryLabel()->text(), "1920×1080 · 00:00:00:00");
    EXPECT_EQ(ExportSheet::progressText({0.4166, 57.4}), "42% · 57 fps");
    EXPECT_EQ(ExportSheet::progressText({std::nan(""), std::numeric_limits<double>::infinity()}), "0% · 0 fps");
    p.transparentBackground = false;
    e.m.setProject(p);
    EXPECT_FALSE(sheet.alphaWarning()->isVisibleTo(&sheet));
}

TEST_F(SheetTest, CancelStoresNothingAndExportStoresBeforeThePanel) {
    Editor e;
    {
        ExportSheet sheet(e.m);
        choose(sheet, OutputFormat::hapQ);
        e.m.setExportError(QStringLiteral("disk full"));
        EXPECT_TRUE(sheet.errorLabel()->isVisibleTo(&sheet));
        sheet.cancelButton()->click();
        EXPECT_FALSE(e.m.exportError().has_value());
        EXPECT_FALSE(SettingsStore().contains(QStringLiteral("exportSettings")));
    }
    ExportSheet sheet(e.m);
    EXPECT_EQ(sheet.settings().format, OutputFormat::proRes422HQ);
    choose(sheet, OutputFormat::hapQ);
    sheet.exportButton()->click();  // the scripted save panel is cancelled
    ASSERT_EQ(e.desktop.saves.size(), 1u);
    EXPECT_EQ(e.desktop.saves[0].suggestedName, "Untitled_HapQ.mov");
    EXPECT_FALSE(e.m.isExporting());
    EXPECT_EQ(ExportSheet::loadSettings(SettingsStore()).format, OutputFormat::hapQ);
}

TEST_F(SheetTest, ExportsShowsTheResultAndNeverWritesIntoAnEarlierSequence) {
    makeMovie(dir / "media/a.mov");
    Editor e;
    e.importAndPlace({dir / "media/a.mov"});
    ExportSheet sheet(e.m);
    choose(sheet, OutputFormat::proRes422);
    e.desktop.saveAnswers.push_back(q(dir / "out.mov"));
    sheet.exportButton()->click();
    EXPECT_TRUE(sheet.progressView()->isVisibleTo(&sheet));
    EXPECT_FALSE(sheet.settingsView()->isVisibleTo(&sheet));
    ASSERT_TRUE(waitUntil([&] { return !e.m.isExporting(); }));
    ASSERT_EQ(e.m.exportResult(), std::optional<QString>(q(dir / "out.mov"))) << e.m.exportError().value_or("").toStdString();
    EXPECT_TRUE(sheet.resultView()->isVisibleTo(&sheet));
    EXPECT_EQ(sheet.resultLabel()->text(), "out.mov");
    EXPECT_FALSE(sheet.leftOutRow()->isVisibleTo(&sheet));  // nothing was missing
    EXPECT_TRUE(std::filesystem::exists(dir / "out.mov"));  // its contents: ProjectExportPeer.EveryWritableFormat
    sheet.revealButton()->click();
    EXPECT_EQ(e.desktop.revealed, QStringList{q(dir / "out.mov")});
    EXPECT_TRUE(sheet.resultView()->isVisibleTo(&sheet));
    sheet.doneButton()->click();
    EXPECT_FALSE(e.m.exportResult().has_value());

    // A folder of an earlier export keeps its frames: the next one gets " 2".
    std::filesystem::create_directories(dir / "frames/Untitled_TIFF");
    ExportSheet again(e.m);
    choose(again, OutputFormat::tiffSequence);
    e.desktop.openAnswers.push_back({q(dir / "frames")});
    again.exportButton()->click();
    ASSERT_EQ(e.desktop.opens.size(), 1u);
    EXPECT_EQ(e.desktop.opens[0].prompt, "Export Here");
    EXPECT_FALSE(e.desktop.opens[0].canChooseFiles);
    ASSERT_TRUE(waitUntil([&] { return !e.m.isExporting(); }));
    EXPECT_EQ(e.m.exportResult(), std::optional<QString>(q(dir / "frames/Untitled_TIFF 2")));
    EXPECT_EQ(again.resultLabel()->text(), "Untitled_TIFF 2");
    EXPECT_TRUE(std::filesystem::is_empty(dir / "frames/Untitled_TIFF"));
}

TEST_F(SheetTest, MissingMediaAreNamedBeforeAndAfterTheExport) {
    makeMovie(dir / "media/a.mov");
    makeMovie(dir / "media/gone.mov");
    Editor e;
    e.importAndPlace({dir / "media/a.mov", dir / "media/gone.mov"});
    {
        ExportSheet sheet(e.m);
        EXPECT_FALSE(sheet.missingWarning()->isVisibleTo(&sheet));
    }
    e.desktop.saveAnswers.push_back(q(dir / "Show.qmproj"));
    ASSERT_TRUE(e.m.saveProject());
    std::filesystem::remove(dir / "media/gone.mov");
    e.await(e.m.openProject(q(dir / "Show.qmproj")));

    ExportSheet sheet(e.m);
    EXPECT_TRUE(sheet.missingWarning()->isVisibleTo(&sheet));
    EXPECT_EQ(sheet.missingLabel()->text(), "These files can't be found, so their clips will be left out: gone.mov");
    choose(sheet, OutputFormat::proRes422);
    e.desktop.saveAnswers.push_back(q(dir / "out.mov"));
    sheet.exportButton()->click();
    ASSERT_TRUE(waitUntil([&] { return !e.m.isExporting(); }));
    ASSERT_TRUE(sheet.resultView()->isVisibleTo(&sheet)) << e.m.exportError().value_or("").toStdString();
    EXPECT_EQ(sheet.resultLabel()->text(), "out.mov");
    EXPECT_TRUE(sheet.leftOutRow()->isVisibleTo(&sheet));
    EXPECT_EQ(sheet.leftOutLabel()->text(), "These files couldn't be found, so their clips were left out: gone.mov");
}

// Deleted after import with the project still open: named when the sheet opens and shown missing
// in the bin; one deleted while the sheet is open is found when the export starts. Both are
// named with the result, and the next sheet names both before it.
TEST_F(SheetTest, MediaDeletedAfterImportAreNamedInTheSheetAndTheResult) {
    for (const char* name : {"a.mov", "gone.mov", "late.mov"}) makeMovie(dir / "media" / name);
    Editor e;
    e.importAndPlace({dir / "media/a.mov", dir / "media/gone.mov", dir / "media/late.mov"});
    MediaBinModel bin(e.m);
    const auto shownMissing = [&](int row) { return bin.data(bin.index(row), MediaBinModel::missingRole).toBool(); };
    std::filesystem::remove(dir / "media/gone.mov");

    auto sheet = std::make_unique<ExportSheet>(e.m);
    EXPECT_TRUE(sheet->missingWarning()->isVisibleTo(sheet.get()));
    EXPECT_EQ(sheet->missingLabel()->text(), "These files can't be found, so their clips will be left out: gone.mov");
    EXPECT_FALSE(shownMissing(0));
    EXPECT_TRUE(shownMissing(1));
    EXPECT_FALSE(shownMissing(2));

    std::filesystem::remove(dir / "media/late.mov");
    choose(*sheet, OutputFormat::hapAlpha);
    e.desktop.saveAnswers.push_back(q(dir / "out.mov"));
    sheet->exportButton()->click();
    ASSERT_TRUE(waitUntil([&] { return !e.m.isExporting(); }));
    ASSERT_TRUE(sheet->resultView()->isVisibleTo(sheet.get())) << e.m.exportError().value_or("").toStdString();
    EXPECT_EQ(sheet->resultLabel()->text(), "out.mov");
    EXPECT_EQ(sheet->leftOutLabel()->text(),
              "These files couldn't be found, so their clips were left out: gone.mov, late.mov");
    EXPECT_TRUE(shownMissing(2));
    sheet->doneButton()->click();

    sheet = std::make_unique<ExportSheet>(e.m);
    EXPECT_EQ(sheet->missingLabel()->text(),
              "These files can't be found, so their clips will be left out: gone.mov, late.mov");
}

// Moved away with the project open: missing in the sheet and the bin; put back: present in both
// when the sheet opens again, and its export leaves nothing out.
TEST_F(SheetTest, AMediumPutBackIsPresentAgainInTheSheetAndTheBin) {
    makeMovie(dir / "media/a.mov");
    Editor e;
    e.importAndPlace({dir / "media/a.mov"});
    MediaBinModel bin(e.m);
    const auto shownMissing = [&] { return bin.data(bin.index(0), MediaBinModel::missingRole).toBool(); };
    std::filesystem::rename(dir / "media/a.mov", dir / "a.mov");
    {
        ExportSheet sheet(e.m);
        EXPECT_EQ(sheet.missingLabel()->text(), "These files can't be found, so their clips will be left out: a.mov");
        EXPECT_TRUE(shownMissing());
    }
    std::filesystem::rename(dir / "a.mov", dir / "media/a.mov");
    ExportSheet sheet(e.m);
    EXPECT_FALSE(sheet.missingWarning()->isVisibleTo(&sheet));
    EXPECT_FALSE(shownMissing());
    choose(sheet, OutputFormat::proRes422);
    e.desktop.saveAnswers.push_back(q(dir / "out.mov"));
    sheet.exportButton()->click();
    ASSERT_TRUE(waitUntil([&] { return !e.m.isExporting(); }));
    ASSERT_TRUE(sheet.resultView()->isVisibleTo(&sheet)) << e.m.exportError().value_or("").toStdString();
    EXPECT_FALSE(sheet.leftOutRow()->isVisibleTo(&sheet));
}

// A medium overwritten by a file that is there but does not read, while the project is open and
// at its next opening: the sheet says it can't be read (not that it can't be found), and the
// export stops naming it, writing nothing.
TEST_F(SheetTest, AMediumReplacedByAFileThatDoesNotReadIsNamedSo) {
    makeMovie(dir / "media/a.mov");
    Editor e;
    e.importAndPlace({dir / "media/a.mov"});
    e.desktop.saveAnswers.push_back(q(dir / "Show.qmproj"));
    ASSERT_TRUE(e.m.saveProject());
    writeFile(dir / "media/a.mov", "not a movie");
    for (const bool reopened : {false, true}) {
        if (reopened) e.await(e.m.openProject(q(dir / "Show.qmproj")));
        ExportSheet sheet(e.m);
        EXPECT_EQ(sheet.missingLabel()->text(), "These files are there but can't be read, so the export would stop: a.mov");
        choose(sheet, OutputFormat::proRes422);
        e.desktop.saveAnswers.push_back(q(dir / "out.mov"));
        sheet.exportButton()->click();
        ASSERT_TRUE(waitUntil([&] { return !e.m.isExporting(); }));
        EXPECT_TRUE(sheet.errorLabel()->text().startsWith("“a.mov” can't be read, so the export was stopped: "))
            << sheet.errorLabel()->text().toStdString();
        EXPECT_FALSE(std::filesystem::exists(dir / "out.mov"));
    }
}

// A medium garbled while the project is open: the sheet's export ends in the error naming it and
// the time, and no movie is left.
TEST_F(SheetTest, AnUnreadableMediumEndsTheExportInAnErrorNamingIt) {
    ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x36:rate=10:duration=2", "-c:v", "prores_ks", (dir / "clip.mov").string()});
    Editor e;
    e.importAndPlace({dir / "clip.mov"});
    const auto frames = proResFrames(dir / "clip.mov");
    ASSERT_EQ(frames.size(), 20u);
    garble(dir / "clip.mov", frames[12].first, frames[20 - 1].second);
    ExportSheet sheet(e.m);
    EXPECT_FALSE(sheet.missingWarning()->isVisibleTo(&sheet));
    choose(sheet, OutputFormat::proRes422);
    e.desktop.saveAnswers.push_back(q(dir / "out.mov"));
    sheet.exportButton()->click();
    ASSERT_TRUE(waitUntil([&] { return !e.m.isExporting(); }));
    EXPECT_FALSE(sheet.resultView()->isVisibleTo(&sheet));
    EXPECT_TRUE(sheet.settingsView()->isVisibleTo(&sheet));
    EXPECT_TRUE(sheet.errorLabel()->text().startsWith("“clip.mov” can't be read at 1.20 s into the file"))
        << sheet.errorLabel()->text().toStdString();
    EXPECT_FALSE(std::filesystem::exists(dir / "out.mov"));
}

TEST_F(SheetTest, StopReturnsToTheSettingsWithoutAnError) {
    ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x36:rate=30:duration=20", "-c:v", "mpeg4", (dir / "long.mov").string()});
    Editor e;
    e.importAndPlace({dir / "long.mov"});
    ExportSheet sheet(e.m);
    choose(sheet, OutputFormat::proRes422);
    e.desktop.saveAnswers.push_back(q(dir / "stopped.mov"));
    sheet.exportButton()->click();
    ASSERT_TRUE(sheet.stopButton()->isVisibleTo(&sheet));
    sheet.reject();  // Escape does not close a running export
    EXPECT_TRUE(e.m.isExporting());
    sheet.stopButton()->click();
    ASSERT_TRUE(waitUntil([&] { return !e.m.isExporting(); }));
    EXPECT_FALSE(e.m.exportError().has_value());
    EXPECT_FALSE(e.m.exportResult().has_value());
    EXPECT_TRUE(sheet.settingsView()->isVisibleTo(&sheet));
    EXPECT_FALSE(sheet.errorLabel()->isVisibleTo(&sheet));
}

}  // namespace
}  // namespace qm::test
