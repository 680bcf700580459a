#include "credits/views/chinese_choices_sheet.h"
#include "credits/views/clock_format.h"
#include "credits/views/credits_export_bar.h"
#include "credits/views/credits_preview.h"
#include "credits/views/credits_settings_panel.h"
#include "credits/views/credits_transport.h"
#include "credits/views/credits_view.h"
#include "credits/views/form_controls.h"

#include "credits/model_test_support.h"
#include "support/picker_sections.h"
#include "support/qt_app.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QScrollBar>
#include <QSlider>
#include <QWheelEvent>
#include <QStandardItemModel>
#include <QTest>
#include <QtTest/qtestspontaneevent.h>
#include <QTextLayout>
#include <QRawFont>
#include <QGlyphRun>
#include <QToolButton>

#include <gtest/gtest.h>

namespace qm {
namespace {

using test::qpath;
using test::waitUntil;

class CreditsViews : public ::testing::Test {
protected:
    void SetUp() override {
        test::qtApp<QApplication>();
        setDesktopServices(&desktop);
        CreditsModel::Environment environment;
        environment.desktop = &desktop;
        environment.store = SettingsStore(qpath(dir / "settings.ini"));
        environment.buildStrip = [gate = gate](const std::filesystem::path&, const CreditsSettings& settings,
                                               const ChineseConverter::Overrides&) { return gate->build(settings); };
        model = std::make_unique<CreditsModel>(std::move(environment));
    }
    void TearDown() override {
        gate->release();
        model.reset();
        setDesktopServices(nullptr);
    }
    QString picture(const std::string& name) {
        test::ffmpeg({"-f", "lavfi", "-i", "color=red:s=64x48", "-frames:v", "1", (dir / name).string()});
        return qpath(dir / name);
    }
    QString emptyFile(const std::string& name) {
        test::writeFile(dir / name, "");
        return qpath(dir / name);
    }
    void editSettings(const std::function<void(CreditsSettings&)>& change) {
        CreditsSettings s = model->settings();
        change(s);
        model->setSettings(s);
    }
    static void type(QLineEdit* field, const QString& text) {
        field->setFocus();
        field->setText(text);
        field->setModified(true);
        QTest::keyClick(field, Qt::Key_Return);
    }
    static ChineseConverter::Choice choice(int id, const char* source, bool byPhrase) {
        ChineseConverter::Choice c;
        c.id = id;
        c.source = source;
        c.result = "\xE5\xB9\xB9";  // 幹
        c.options = {"\xE5\xB9\xB9", "\xE4\xB9\xBE", "\xE5\xB9\xB2"};
        c.byPhrase = byPhrase;
        c.context = "\xE4\xBD\xA0\xE5\xB9\xB9\xE4\xBB\x80";
        c.contextOffset = 1;
        return c;
    }
    // A Word list whose strip carries these choices.
    void loadListWithChoices(std::vector<ChineseConverter::Choice> choices) {
        gate->choices = std::move(choices);
        editSettings([](CreditsSettings& s) { s.chineseConversion = ChineseConverter::Direction::toTraditional; });
        model->loadDocument(emptyFile("list.docx"), false);
        ASSERT_TRUE(waitUntil([&] { return model->strip().has_value() && !model->isBuildingStrip(); }));
    }

    test::TempDir dir;
    test::ScriptedDesktop desktop;
    std::shared_ptr<test::StripGate> gate = std::make_shared<test::StripGate>();
    std::unique_ptr<CreditsModel> model;
};

TEST_F(CreditsViews, FieldsCommitClampedEntriesAndIgnoreJunk) {
    CreditsSettingsPanel panel(*model);
    panel.show();
    type(panel.widthField(), "20000");
    EXPECT_EQ(model->settings().width, 16384);
    EXPECT_EQ(panel.widthField()->text(), "16384");
    type(panel.heightField(), "8");
    EXPECT_EQ(model->settings().height, 16);
    type(panel.widthField(), "wide");
    EXPECT_EQ(model->settings().width, 16384) << "junk keeps the value";
    EXPECT_EQ(panel.widthField()->text(), "16384");
    type(panel.opening().hold, QString::fromUtf8("\xE2\x88\x92" "5"));
    EXPECT_EQ(model->settings().head.hold, 0);
    type(panel.frameRateField(), "500");
    EXPECT_EQ(model->settings().frameRate, 240);
    type(panel.fadeInField(), "1.25");
    EXPECT_DOUBLE_EQ(model->settings().fadeIn, 1.25);
    EXPECT_EQ(panel.fadeInField()->text(), "1.3") << "one decimal shown";
    type(panel.lengthField(), "7200");
    EXPECT_EQ(model->settings().rollSeconds, 3600);
    type(panel.lengthField(), "1:30");
    EXPECT_EQ(model->settings().rollSeconds, 90);
    EXPECT_EQ(panel.lengthField()->text(), "1:30");
    type(panel.lengthField(), "1e999");
    EXPECT_EQ(model->settings().rollSeconds, 90);
    EXPECT_EQ(panel.frameRateMenu()->text(), "240");

    // Sliders reach their exact bounds at the ends.
    panel.columnWidth()->slider()->setValue(LabeledSlider::kSteps);
    EXPECT_EQ(model->settings().contentWidthPercent, 100);
    panel.columnWidth()->slider()->setValue(0);
    EXPECT_EQ(model->settings().contentWidthPercent, 10);
    EXPECT_EQ(panel.columnWidth()->valueLabel()->text(), "10% of width");
}

TEST_F(CreditsViews, APresetIsTwoChangesAndTheSizeSelectsItsPreset) {
    CreditsSettingsPanel panel(*model);
    std::vector<std::pair<int64_t, int64_t>> sizes;
    QObject::connect(model.get(), &CreditsModel::settingsChanged, [&] {
        sizes.emplace_back(model->settings().width, model->settings().height);
    });
    EXPECT_EQ(panel.sizePicker()->currentText(), QString::fromUtf8("1920 × 1080 (HD)"));
    emit panel.sizePicker()->activated(1);
    EXPECT_EQ(sizes, (std::vector<std::pair<int64_t, int64_t>>{{3840, 1080}, {3840, 2160}}));
    EXPECT_EQ(panel.sizePicker()->currentIndex(), 1);
    editSettings([](CreditsSettings& s) { s.width = s.height = 1000; });
    EXPECT_EQ(panel.sizePicker()->currentText(), "Custom");
    emit panel.sizePicker()->activated(panel.sizePicker()->currentIndex());
    EXPECT_EQ(model->settings().width, 1000) << "Custom changes nothing";
}

TEST_F(CreditsViews, RowsFollowTheirSettings) {
    CreditsSettingsPanel panel(*model);
    auto shown = [&](QWidget* w) { return w->isVisibleTo(&panel); };
    const auto& opening = panel.opening();

    // Pictures: the file row alone until there is a picture.
    EXPECT_FALSE(shown(opening.details));
    EXPECT_EQ(opening.file->nameLabel()->fullText(), "Drop a picture here or click Choose");
    EXPECT_FALSE(shown(opening.file->removeButton()));
    model->loadPicture(picture("logo.png"), CreditsModel::Slot::opening);
    EXPECT_EQ(opening.file->nameLabel()->fullText(), "logo.png");
    EXPECT_TRUE(shown(opening.file->removeButton()));
    struct KeyRows {
        CreditsSettings::KeyMode key;
        bool colour, tolerance, softness, outer;
    };
    for (const KeyRows& k : {KeyRows{CreditsSettings::KeyMode::automatic, false, true, false, true},
                             KeyRows{CreditsSettings::KeyMode::color, true, true, true, true},
                             KeyRows{CreditsSettings::KeyMode::none, false, false, false, false}}) {
        editSettings([&](CreditsSettings& s) { s.head.key = k.key; });
        EXPECT_EQ(shown(opening.keyColor), k.colour);
        EXPECT_EQ(shown(opening.tolerance), k.tolerance);
        EXPECT_EQ(shown(opening.softness), k.softness);
        EXPECT_EQ(shown(opening.outerOnly), k.outer);
        EXPECT_TRUE(shown(opening.size) && shown(opening.hold));
    }
    opening.file->removeButton()->click();
    EXPECT_TRUE(model->headURL().isEmpty());
    EXPECT_TRUE(model->headImage().isNull());
    EXPECT_FALSE(shown(opening.details));
    EXPECT_EQ(model->settings().head.key, CreditsSettings::KeyMode::none) << "the slot's settings stay";

    // Text effect.
    EXPECT_FALSE(shown(panel.effectRows()));
    editSettings([](CreditsSettings& s) { s.effect = CreditsSettings::Effect::glow; });
    EXPECT_TRUE(shown(panel.effectRows()));
    EXPECT_FALSE(shown(panel.shadowDistance()));
    editSettings([](CreditsSettings& s) { s.effect = CreditsSettings::Effect::shadow; });
    EXPECT_TRUE(shown(panel.shadowDistance()));

    // Canvas background.
    editSettings([](CreditsSettings& s) { s.background = CreditsSettings::Background::transparent; });
    EXPECT_TRUE(shown(panel.alphaNote()));
    EXPECT_FALSE(shown(panel.backgroundColor()));
    EXPECT_EQ(panel.alphaNote()->text(),
              "Export with a format that has alpha (Hap Alpha, Hap Q Alpha, DXV3 Alpha, ProRes 4444, HEVC Alpha or PNG).");
    editSettings([](CreditsSettings& s) { s.background = CreditsSettings::Background::color; });
    EXPECT_FALSE(shown(panel.alphaNote()));
    EXPECT_TRUE(shown(panel.backgroundColor()));
    panel.backgroundColor()->pick(QColor(255, 0, 0));
    EXPECT_EQ(model->settings().backgroundColor, (RGBColor{1, 0, 0}));
    panel.backgroundColor()->pick(QColor());
    EXPECT_EQ(model->settings().backgroundColor, (RGBColor{1, 0, 0})) << "an invalid colour writes nothing";

    // The credits list: Word rows, the PDF note, the colour's title, skipped lines.
    EXPECT_TRUE(shown(panel.wordRows()));
    EXPECT_FALSE(shown(panel.pdfNote()));
    EXPECT_FALSE(shown(panel.documentStatus()));
    gate->close();
    model->loadDocument(emptyFile("LIST.PDF"), false);
    EXPECT_TRUE(waitUntil([&] { return model->isBuildingStrip(); }));
    EXPECT_TRUE(shown(panel.pdfNote()));
    EXPECT_FALSE(shown(panel.wordRows()));
    EXPECT_EQ(panel.documentStatusText()->text(), QString::fromUtf8("Laying out…"));
    gate->release();
    ASSERT_TRUE(waitUntil([&] { return model->strip().has_value() && !model->isBuildingStrip(); }));
    EXPECT_EQ(panel.documentStatusText()->text(), QString::fromUtf8("1152 × 400 px"));
    editSettings([](CreditsSettings& s) { s.textColorMode = CreditsSettings::TextColorMode::document; });
    EXPECT_EQ(panel.textColor()->titleLabel()->text(), "Colour for automatic text");
    EXPECT_EQ(panel.skipCount()->text(), "None");
    panel.skipMore()->click();
    EXPECT_EQ(panel.skipCount()->text(), "1 line");
    editSettings([](CreditsSettings& s) { s.skipLeadingLines = 20; });
    EXPECT_EQ(panel.skipCount()->text(), "20 lines");
    EXPECT_FALSE(panel.skipMore()->isEnabled());
}

TEST_F(CreditsViews, TheWheelScrollsThePanelOverControlsOnlyClickedOrNotFocused) {
    model->loadPicture(picture("logo.png"), CreditsModel::Slot::opening);  // its sliders too
    editSettings([](CreditsSettings& s) { s.effect = CreditsSettings::Effect::shadow; });
    CreditsView view(*model);
    view.resize(1100, 600);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    CreditsSettingsPanel* panel = view.settingsPanel();
    QScrollBar* bar = panel->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    // Wheel turns as the window system hands them to the window, which finds the widget under the
    // pointer and passes what that ignores on to its parents.
    const auto turn = [&](QPoint at, int delta) {
        QWheelEvent wheel(at, view.mapToGlobal(at), {}, QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QSpontaneKeyEvent::setSpontaneous(&wheel);
        qApp->notify(view.windowHandle(), &wheel);
    };
    QSlider* gap = panel->gap()->slider();
    const auto over = [&](QWidget* w) { return w->mapTo(&view, w->rect().center()); };

    // The pointer held still over the column of sliders, then of fields: every row passes under it.
    const CreditsSettings before = model->settings();
    for (const int x : {over(gap).x(), panel->width() - 40}) {
        for (int i = 0; i < 400 && bar->value() < bar->maximum(); ++i) turn(QPoint(x, 300), -120);
        EXPECT_EQ(bar->value(), bar->maximum());
        for (int i = 0; i < 400 && bar->value() > 0; ++i) turn(QPoint(x, 300), 120);
        EXPECT_EQ(bar->value(), 0);
    }
    EXPECT_EQ(model->settings(), before);

    // A slider just dragged keeps the focus, unseen: the wheel over it still scrolls.
    panel->ensureWidgetVisible(gap, 0, 200);
    const QPoint knob(int(gap->width() * before.gapPercent / 100), gap->height() / 2);
    QTest::mousePress(gap, Qt::LeftButton, {}, knob);
    QTest::mouseMove(gap, knob + QPoint(30, 0));
    QTest::mouseRelease(gap, Qt::LeftButton, {}, knob + QPoint(30, 0));
    ASSERT_TRUE(gap->hasFocus());
    const double dragged = model->settings().gapPercent;
    const int scrolled = bar->value();
    turn(over(gap), -120);
    EXPECT_EQ(model->settings().gapPercent, dragged);
    EXPECT_GT(bar->value(), scrolled);

    // Reached with the keyboard, it takes the wheel.
    QTest::keyClick(gap, Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    ASSERT_TRUE(gap->hasFocus());
    panel->ensureWidgetVisible(gap, 0, 200);
    turn(over(gap), -120);
    EXPECT_LT(model->settings().gapPercent, dragged);
}

TEST_F(CreditsViews, ReviewEntryCountsTheStripsChoices) {
    CreditsSettingsPanel panel(*model);
    EXPECT_FALSE(panel.reviewButton()->isVisibleTo(&panel));
    loadListWithChoices({choice(0, "\xE5\xB9\xB2", false), choice(1, "\xE5\xB9\xB2", false), choice(2, "\xE5\x8F\x91", true)});
    ASSERT_TRUE(panel.reviewButton()->isVisibleTo(&panel));
    EXPECT_EQ(panel.reviewButton()->text(), QString::fromUtf8("Check 2 uncertain characters…"));
    panel.reviewButton()->click();
    EXPECT_TRUE(model->isReviewingChoices());

    loadListWithChoices({choice(0, "\xE5\x8F\x91", true)});
    EXPECT_EQ(panel.reviewButton()->text(), QString::fromUtf8("Review 1 converted character…"));
    loadListWithChoices({});
    EXPECT_FALSE(panel.reviewButton()->isVisibleTo(&panel));
    EXPECT_EQ(panel.noChoicesLabel()->text(), "No characters to check");
    editSettings([](CreditsSettings& s) { s.chineseConversion = ChineseConverter::Direction::none; });
    EXPECT_FALSE(panel.noChoicesLabel()->isVisibleTo(&panel));
}

TEST_F(CreditsViews, SheetListsGuessedThenDecidedPlacesAndAPickChangesOnePlace) {
    loadListWithChoices({choice(0, "\xE5\xB9\xB2", false), choice(1, "\xE5\xB9\xB2", true), choice(2, "\xE5\xB9\xB2", false),
                         choice(3, "\xE5\x8F\x91", true)});
    ChineseChoicesSheet sheet(*model);
    EXPECT_EQ(sheet.size(), QSize(620, 560));
    EXPECT_TRUE(sheet.explanation()->text().contains("more than one Traditional form"));
    ASSERT_NE(sheet.guessedHeader(), nullptr);
    ASSERT_NE(sheet.decidedHeader(), nullptr);
    EXPECT_EQ(sheet.guessedHeader()->text(), "Guessed from the character alone: please check");
    QList<int> order;
    for (ChoiceRow* row : sheet.rows()) order << row->choice().id;
    EXPECT_EQ(order, (QList<int>{0, 2, 1, 3}));
    ChoiceRow* first = sheet.rows().front();
    ASSERT_NE(first->sameForAllButton(), nullptr);
    EXPECT_EQ(first->sameForAllButton()->text(), "Same for all 3");
    EXPECT_EQ(sheet.rows().back()->sameForAllButton(), nullptr);
    EXPECT_EQ(first->contextLabel()->text(), QString::fromUtf8("你<b style=\"color:#e67e00\">幹</b>什"));
    // Han characters take the forms of their script: 发 converted from Simplified, 幹 Traditional.
    const auto hanFamily = [](const char* text, const QFont& font) {
        QTextLayout layout(QString::fromUtf8(text), font);
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        return layout.glyphRuns().value(0).rawFont().familyName();
    };
    EXPECT_EQ(hanFamily("发", sheet.rows().back()->sourceLabel()->font()), "Noto Sans CJK SC");
    EXPECT_EQ(hanFamily("幹", first->contextLabel()->font()), "Noto Sans CJK TC");
    EXPECT_EQ(hanFamily("乾", first->picker()->font()), "Noto Sans CJK TC");

    emit first->picker()->activated(1);
    EXPECT_EQ(model->conversionOverrides(), (ChineseConverter::Overrides{{0, "\xE4\xB9\xBE"}}));
    ASSERT_TRUE(waitUntil([&] { return !model->isBuildingStrip() && sheet.rows().size() == 4; }));
    sheet.rows().front()->sameForAllButton()->click();
    EXPECT_EQ(model->conversionOverrides().size(), 3u) << "every place of that source";

    editSettings([](CreditsSettings& s) { s.chineseConversion = ChineseConverter::Direction::toSimplified; });
    EXPECT_TRUE(sheet.explanation()->text().contains("more than one Simplified form"));
    loadListWithChoices({});
    EXPECT_EQ(sheet.guessedHeader(), nullptr);
    EXPECT_EQ(sheet.decidedHeader(), nullptr);
    EXPECT_TRUE(sheet.doneButton()->isEnabled());
}

TEST_F(CreditsViews, ExportBarOffersFormatsWarnsAndShowsOneStatus) {
    CreditsExportBar bar(*model);
    auto shown = [&](QWidget* w) { return w->isVisibleTo(&bar); };
    auto* rows = qobject_cast<QStandardItemModel*>(bar.formatPicker()->model());
    ASSERT_NE(rows, nullptr);
    int formats = 0, offered = 0;
    for (int i = 0; i < rows->rowCount(); ++i) formats += rows->item(i)->data(Qt::UserRole).isValid();
    for (OutputFormat f : allOutputFormats) offered += isOfferedForCredits(f);
    EXPECT_EQ(formats, offered);
    EXPECT_FALSE(isOfferedForCredits(OutputFormat::notchLC));
    // One section per group that keeps an offered format: NotchLC's has none and is left out.
    EXPECT_EQ(test::pickerSections(*bar.formatPicker()),
              test::expectedSections([](OutputFormat f) { return f != OutputFormat::notchLC && isAvailable(f); }, true));

    const int h264 = bar.formatPicker()->findData(int(OutputFormat::h264), Qt::UserRole);
    emit bar.formatPicker()->activated(h264);
    EXPECT_EQ(model->output().format, OutputFormat::h264);
    EXPECT_FALSE(shown(bar.alphaWarning()));
    editSettings([](CreditsSettings& s) { s.background = CreditsSettings::Background::transparent; });
    EXPECT_TRUE(shown(bar.alphaWarning()));
    for (OutputFormat f : {OutputFormat::proRes4444, OutputFormat::pngSequence}) {
        ConversionSettings o = model->output();
        o.format = f;
        model->setOutput(o);
        EXPECT_FALSE(shown(bar.alphaWarning()));
        EXPECT_EQ(bar.formatPicker()->currentData(Qt::UserRole).toInt(), int(f));
    }

    EXPECT_FALSE(bar.exportButton()->isEnabled()) << "nothing to roll";
    model->loadPicture(picture("a.png"), CreditsModel::Slot::opening);
    EXPECT_TRUE(bar.exportButton()->isEnabled());
    EXPECT_EQ(bar.status(), CreditsExportBar::Status::none);
    model->setExportError(QStringLiteral("Writing failed: disk full"));
    EXPECT_EQ(bar.status(), CreditsExportBar::Status::error);
    EXPECT_TRUE(shown(bar.errorLabel()));
    model->setExportResult(qpath(dir / "a.mov"));
    EXPECT_EQ(bar.status(), CreditsExportBar::Status::result) << "a result wins over an error";
    bar.revealButton()->click();
    EXPECT_EQ(desktop.revealed, QStringList{qpath(dir / "a.mov")});
    model->setIsExporting(true);
    EXPECT_EQ(bar.status(), CreditsExportBar::Status::progress);
    EXPECT_TRUE(shown(bar.cancelButton()));
    EXPECT_FALSE(shown(bar.revealButton()));
    EXPECT_FALSE(bar.exportButton()->isEnabled());
}

// Export twice into one folder from the bar: the second sequence gets a folder of its own, and
// the bar shows the user that one.
TEST_F(CreditsViews, ASecondSequenceFromTheBarIsRevealedUnderItsOwnName) {
    CreditsExportBar bar(*model);
    model->loadPicture(picture("a.png"), CreditsModel::Slot::opening);
    editSettings([](CreditsSettings& s) {
        s.width = 64;
        s.height = 36;
        s.head.hold = 0.2;
    });
    ConversionSettings o = model->output();
    o.format = OutputFormat::pngSequence;
    model->setOutput(o);
    for (const char* name : {"End Credits_64x36_PNG", "End Credits_64x36_PNG 2"}) {
        desktop.openAnswers.push_back({qpath(dir / "out")});
        bar.exportButton()->click();
        ASSERT_TRUE(waitUntil([&] { return !model->isExporting(); }));
        ASSERT_EQ(bar.status(), CreditsExportBar::Status::result) << model->exportError().value_or("").toStdString();
        desktop.revealed.clear();
        bar.revealButton()->click();
        EXPECT_EQ(desktop.revealed, QStringList{qpath(dir / "out" / name)});
    }
    EXPECT_EQ(test::fileNames(dir / "out"), (std::vector<std::string>{"End Credits_64x36_PNG", "End Credits_64x36_PNG 2"}));
}

TEST_F(CreditsViews, TheAlertComesOverTheSheetAndClearsTheMessage) {
    CreditsView view(*model);
    view.resize(1100, 680);
    view.show();
    EXPECT_EQ(view.settingsPanel()->width(), 380);
    EXPECT_GE(view.rightColumn()->width(), 520);
    model->setIsReviewingChoices(true);
    ASSERT_NE(view.sheet(), nullptr);
    EXPECT_EQ(view.sheet()->windowModality(), Qt::WindowModal);
    model->setErrorMessage(QStringLiteral("The picture cannot be read."));
    ASSERT_NE(view.alert(), nullptr);
    EXPECT_EQ(view.alert()->parentWidget(), view.sheet());
    EXPECT_EQ(view.alert()->text(), "Can't use this file");
    EXPECT_EQ(view.alert()->informativeText(), "The picture cannot be read.");
    view.alert()->button(QMessageBox::Ok)->click();
    EXPECT_FALSE(model->errorMessage().has_value());
    model->setErrorMessage(QStringLiteral("Again"));
    ASSERT_TRUE(waitUntil([&] { return view.alert() != nullptr; }));
    view.alert()->close();
    EXPECT_FALSE(model->errorMessage().has_value()) << "closing the alert any way clears it";

    view.sheet()->reject();
    EXPECT_FALSE(model->isReviewingChoices());
    EXPECT_TRUE(waitUntil([&] { return view.sheet() == nullptr; }));
}

TEST_F(CreditsViews, PreviewShowsThePlaceholderUntilThereIsContentAndTakesDrops) {
    CreditsPreview preview(*model);
    preview.resize(600, 400);
    auto inkInMiddle = [&] {
        const QImage shot = preview.grab().toImage();
        int ink = 0;
        for (int y = 150; y < 250; ++y)
            for (int x = 100; x < 500; ++x) ink += qGray(shot.pixel(x, y)) > 60;
        return ink;
    };
    EXPECT_TRUE(preview.showsPlaceholder());
    EXPECT_GT(inkInMiddle(), 50) << "the placeholder's symbol and text";

    QMimeData files;
    files.setUrls({QUrl::fromLocalFile(picture("drop.png"))});
    QDropEvent drop(QPointF(300, 200), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    // Straight to the widget: the application routes drops only to the target of a real drag.
    static_cast<QObject&>(preview).event(&drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_FALSE(model->headURL().isEmpty());
    EXPECT_FALSE(preview.showsPlaceholder());
    QMimeData none;
    QDropEvent empty(QPointF(300, 200), Qt::CopyAction, &none, Qt::LeftButton, Qt::NoModifier);
    empty.setAccepted(false);
    static_cast<QObject&>(preview).event(&empty);
    EXPECT_FALSE(empty.isAccepted());
}

TEST_F(CreditsViews, SpaceTogglesPlaybackButTypesIntoAFocusedField) {
    CreditsView view(*model);
    view.resize(1100, 680);
    view.show();
    QApplication::setActiveWindow(&view);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    model->loadPicture(picture("a.png"), CreditsModel::Slot::opening);
    ASSERT_GT(model->length(), 0);
    view.preview()->setFocus();
    QTest::keyClick(view.preview(), Qt::Key_Space);
    EXPECT_TRUE(model->isPlaying());
    QTest::keyClick(view.preview(), Qt::Key_Space);
    EXPECT_FALSE(model->isPlaying());

    QLineEdit* field = view.settingsPanel()->fadeInField();
    field->setFocus();
    QTest::keyClick(field, Qt::Key_Space);
    EXPECT_FALSE(model->isPlaying());
    EXPECT_TRUE(field->text().contains(' '));

    // The transport's readout and scrubber follow the model.
    model->seek(2);
    EXPECT_EQ(view.transport()->readout()->text(), QStringLiteral("0:02 / ") + clockString(model->length()));
    view.transport()->startButton()->click();
    EXPECT_EQ(model->playhead(), 0);
}

}  // namespace
}  // namespace qm
