#include "convert/views/content_view.h"
#include "convert/views/job_row.h"
#include "view_kit/output_size_controls.h"
#include "convert/views/preview_panel.h"
#include "convert/views/settings_panel.h"

#include "platform/desktop/icons.h"
#include "view_kit/pickers.h"
#include "platform/system/desktop_services.h"
#include "support/picker_sections.h"
#include "support/qt_app.h"
#include "support/qt_events.h"
#include "support/test_support.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSlider>
#include <QStandardItemModel>
#include <QTest>
#include <QToolButton>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace qm {
namespace {

class CountingDesktop : public DesktopServices {
public:
    QStringList runOpenPanel(const OpenPanelRequest&) override { return {}; }
    std::optional<QString> runSavePanel(const SavePanelRequest&) override { return std::nullopt; }
    void revealInFileManager(const QStringList& paths) override { revealed += paths; }
    void playCompletionSound() override {}
    void requestAttention(AttentionRequest) override {}
    QStringList revealed;
};

MediaInfo probedInfo(double rate = 29.97, double seconds = 75.4, bool audio = true, bool alpha = false,
                     SourceDecoder decoder = SourceDecoder::native()) {
    MediaInfo info;
    info.codecType = fourCCCode("avc1");
    info.codecName = "H.264";
    info.decoder = decoder;
    info.width = 1920;
    info.height = 1080;
    info.frameRate = rate;
    info.duration = MediaTime::fromSeconds(seconds, 600);
    info.hasAudio = audio;
    info.hasAlpha = alpha;
    return info;
}

class ConvertViews : public ::testing::Test {
protected:
    void SetUp() override {
        test::qtApp<QApplication>();
        installIconTheme();
        ConversionQueue::Environment env;
        env.desktop = &desktop;
        env.store = SettingsStore(QString::fromStdString((dir / "settings.ini").string()));
        env.probe = [](const std::filesystem::path&) { return probedInfo(); };
        queue = std::make_unique<ConversionQueue>(std::move(env));
    }
    // A job in the queue, probed and put into the given state.
    ConversionJobRef addJob(const QString& name, ConversionJob::State state,
                            std::optional<MediaInfo> info = probedInfo()) {
        const QString path = QString::fromStdString((dir / name.toStdString()).string());
        test::writeFile(path.toStdString(), "x");
        queue->add(QStringList{path});
        ConversionJobRef job = queue->jobs().back();
        test::waitUntil([&] { return !job->state().is(ConversionJob::State::Kind::probing); });
        job->setInfo(std::move(info));
        job->setState(std::move(state));
        return job;
    }
    test::TempDir dir;
    CountingDesktop desktop;
    std::unique_ptr<ConversionQueue> queue;
};

TEST(PreviewTimeText, MinutesAndZeroPaddedSeconds) {
    EXPECT_EQ(previewTimeText(75.5), "1:15.50");
    EXPECT_EQ(previewTimeText(5.25), "0:05.25");
    EXPECT_EQ(previewTimeText(3600), "60:00.00");
    EXPECT_EQ(previewTimeText(59.996), "1:00.00");
    EXPECT_EQ(previewTimeText(119.9951), "2:00.00");
    EXPECT_EQ(previewTimeText(-3), "0:00.00");
    EXPECT_EQ(previewTimeText(std::nan("")), "0:00.00");
}

TEST_F(ConvertViews, JobRowDetailLinesAndProgressText) {
    auto job = addJob("a.mov", ConversionJob::State::ready(), probedInfo(29.97, 75.4 * 60 + 3, true));
    EXPECT_EQ(jobDetailLine(*job), "H.264 · 1920×1080 · 30 fps · 75:27 · Audio");
    job->setInfo(probedInfo(23.976, 59.5, false));
    EXPECT_EQ(jobDetailLine(*job), "H.264 · 1920×1080 · 24 fps · 1:00");
    job->setInfo(probedInfo(59.94, 3599.4, false));
    EXPECT_EQ(jobDetailLine(*job), "H.264 · 1920×1080 · 59.9 fps · 59:59");
    MediaInfo indefinite = probedInfo(120, 1, false);
    indefinite.duration = MediaTime::indefinite();
    job->setInfo(indefinite);
    EXPECT_EQ(jobDetailLine(*job), "H.264 · 1920×1080 · 120 fps · 0:00");
    job->setInfo(std::nullopt);
    EXPECT_EQ(jobDetailLine(*job), QDir::toNativeSeparators(QString::fromStdString(dir.path().string())));
    EXPECT_EQ(runningProgressText(0.426, 37.6), "43% · 38 fps");

    // A probed job's row shows its whole name when there is room, and shortens it in the middle
    // when the row narrows.
    const QString longName = "Crowd cam from the second balcony, take 4 of the evening show.mov";
    auto probed = addJob(longName, ConversionJob::State::ready());
    JobRow row(*queue, probed);
    auto* name = row.findChild<QLabel*>("nameText");
    row.resize(900, 52);
    row.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(name->text(), longName);
    row.resize(300, 52);
    QCoreApplication::processEvents();
    EXPECT_TRUE(name->text().startsWith("Crowd") && name->text().endsWith(".mov") && name->text().contains(u'…'))
        << name->text().toStdString();
}

TEST_F(ConvertViews, JobRowStatusAreaAndContextMenuFollowTheState) {
    auto job = addJob("b.mov", ConversionJob::State::ready());
    JobRow row(*queue, job);
    auto removeButton = [&] { return row.statusArea()->findChild<QToolButton*>("removeButton"); };
    auto menuTitles = [&] {
        std::unique_ptr<QMenu> menu(buildJobContextMenu(*queue, job));
        QStringList titles;
        for (QAction* a : menu->actions()) titles << (a->isSeparator() ? "-" : a->text());
        return std::make_pair(titles, menu->actions().last()->isEnabled());
    };
    EXPECT_EQ(row.nameText(), "b.mov");
    EXPECT_NE(removeButton(), nullptr);

    job->setState(ConversionJob::State::running(0.426, 37.6));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(removeButton(), nullptr) << "a running row has no remove button";
    auto* progress = row.statusArea()->findChild<QLabel*>("progressText");
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(progress->text(), "43% · 38 fps");
    auto [runningMenu, removeEnabled] = menuTitles();
    EXPECT_EQ(runningMenu, (QStringList{"Show Source in File Manager", "-", "Remove"}));
    EXPECT_FALSE(removeEnabled);

    const QString output = QString::fromStdString((dir / "b_HapQ.mov").string());
    job->setState(ConversionJob::State::done(output));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(removeButton(), nullptr);
    auto* reveal = row.statusArea()->findChild<QToolButton*>("revealButton");
    ASSERT_NE(reveal, nullptr);
    EXPECT_EQ(reveal->toolTip(), "Show in File Manager");
    reveal->click();
    ASSERT_EQ(desktop.revealed.size(), 1);
    EXPECT_EQ(desktop.revealed[0], output) << "the output is revealed, not the source";
    EXPECT_EQ(menuTitles().first, (QStringList{"Show in File Manager", "Show Source in File Manager", "-", "Remove"}));

    job->setState(ConversionJob::State::failed("Reading failed: truncated"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    auto* failure = row.statusArea()->findChild<QLabel*>("failureText");
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->text(), "Reading failed: truncated");
    EXPECT_EQ(failure->toolTip(), "Reading failed: truncated");
    {
        // A two-line failure: the warning sits level with the middle of its text.
        job->setState(ConversionJob::State::failed("Writing failed: the disk is full, so the output could not be finished"));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        row.resize(600, 52);
        row.show();
        QCoreApplication::processEvents();
        auto* text = row.statusArea()->findChild<QLabel*>("failureText");
        ASSERT_NE(text, nullptr);
        ASSERT_GT(text->height(), text->fontMetrics().lineSpacing() * 3 / 2);
        QLabel* icon = nullptr;
        for (auto* label : row.statusArea()->findChildren<QLabel*>())
            if (!label->pixmap().isNull()) icon = label;
        ASSERT_NE(icon, nullptr);
        EXPECT_NEAR(icon->geometry().center().y(), text->geometry().center().y(), 2);
        job->setState(ConversionJob::State::failed("Reading failed: truncated"));
    }
    EXPECT_NE(removeButton(), nullptr);
    EXPECT_EQ(menuTitles().first, (QStringList{"Retry", "Show Source in File Manager", "-", "Remove"}));

    // Retry makes a decodable failed job ready; an unsupported one stays failed.
    std::unique_ptr<QMenu> menu(buildJobContextMenu(*queue, job));
    menu->actions().first()->trigger();
    EXPECT_TRUE(job->state().is(ConversionJob::State::Kind::ready));

    job->setInfo(probedInfo(30, 1, false, false, SourceDecoder::unsupported(fourCCCode("cvid"))));
    job->setState(ConversionJob::State::failed("Codec Cinepak can't be decoded."));
    std::unique_ptr<QMenu> again(buildJobContextMenu(*queue, job));
    again->actions().first()->trigger();
    EXPECT_TRUE(job->state().is(ConversionJob::State::Kind::failed));

    job->setInfo(std::nullopt);
    EXPECT_FALSE(menuTitles().first.contains("Retry")) << "no retry without media information";
    job->setState(ConversionJob::State::cancelled());
    EXPECT_FALSE(menuTitles().first.contains("Retry"));
}

TEST_F(ConvertViews, SettingsPanelSectionsFollowTheFormat) {
    SettingsPanel panel(*queue);
    auto choose = [&](OutputFormat f) {
        ConversionSettings s = queue->settings();
        s.format = f;
        queue->setSettings(s);
    };
    choose(OutputFormat::hapQ);
    EXPECT_FALSE(panel.gpuSection()->isHidden());
    EXPECT_FALSE(panel.chunksPicker()->isHidden());
    QStringList chunks;
    for (int i = 0; i < panel.chunksPicker()->count(); ++i) chunks << panel.chunksPicker()->itemText(i);
    EXPECT_EQ(chunks, (QStringList{"Automatic", "1", "2", "4", "8", "16"}));
    EXPECT_TRUE(panel.qualitySection()->isHidden());
    EXPECT_EQ(panel.badgeTexts(), (QStringList{"MOV", "GPU playback"}));

    choose(OutputFormat::dxv3);
    EXPECT_FALSE(panel.gpuSection()->isHidden());
    EXPECT_FALSE(static_cast<QFormLayout*>(panel.gpuSection()->layout())->isRowVisible(panel.chunksPicker()));
    EXPECT_FALSE(panel.highQualityToggle()->isHidden());

    for (OutputFormat f : {OutputFormat::h264, OutputFormat::hevc}) {
        choose(f);
        EXPECT_TRUE(panel.gpuSection()->isHidden());
        EXPECT_FALSE(panel.qualitySection()->isHidden());
    }
    choose(OutputFormat::proRes422HQ);
    EXPECT_TRUE(panel.qualitySection()->isHidden());

    // Image sequences: audio is shown but cannot change.
    const bool audio = queue->settings().includeAudio;
    choose(OutputFormat::pngSequence);
    EXPECT_FALSE(panel.includeAudioToggle()->isEnabled());
    EXPECT_EQ(panel.includeAudioToggle()->isChecked(), audio);
    choose(OutputFormat::proRes4444);
    EXPECT_TRUE(panel.includeAudioToggle()->isEnabled());

    // NotchLC is listed but cannot be picked.
    auto* model = static_cast<QStandardItemModel*>(panel.formatPicker()->model());
    bool sawNotch = false;
    for (int i = 0; i < model->rowCount(); ++i) {
        const QVariant data = model->item(i)->data(Qt::UserRole);
        if (data.isValid() && data.toInt() == int(OutputFormat::notchLC)) {
            sawNotch = true;
            EXPECT_FALSE(model->item(i)->isEnabled());
        }
    }
    EXPECT_TRUE(sawNotch);
}

TEST_F(ConvertViews, FormatPickerGroupTitlesAndBadges) {
    SettingsPanel panel(*queue);
    // Every group has its section, NotchLC's included; what cannot be written is shown disabled.
    EXPECT_EQ(test::pickerSections(*panel.formatPicker()),
              test::expectedSections([](OutputFormat f) { return isAvailable(f); }, false));

    const QString mov = "MOV", alpha = "Alpha", gpu = "GPU playback";
    const std::pair<OutputFormat, QStringList> badges[] = {
        {OutputFormat::hap, {mov, gpu}},           {OutputFormat::hapAlpha, {mov, alpha, gpu}},
        {OutputFormat::hapQ, {mov, gpu}},          {OutputFormat::hapQAlpha, {mov, alpha, gpu}},
        {OutputFormat::dxv3, {mov, gpu}},          {OutputFormat::dxv3Alpha, {mov, alpha, gpu}},
        {OutputFormat::proRes422Proxy, {mov}},     {OutputFormat::proRes422LT, {mov}},
        {OutputFormat::proRes422, {mov}},          {OutputFormat::proRes422HQ, {mov}},
        {OutputFormat::proRes4444, {mov, alpha}},  {OutputFormat::proRes4444XQ, {mov, alpha}},
        {OutputFormat::h264, {"MP4"}},             {OutputFormat::hevc, {"MP4"}},
        {OutputFormat::hevcAlpha, {mov, alpha}},   {OutputFormat::pngSequence, {"PNG", alpha}},
        {OutputFormat::tiffSequence, {"TIF", alpha}}, {OutputFormat::jpegSequence, {"JPG"}},
        {OutputFormat::notchLC, {mov, alpha}},
    };
    for (const auto& [format, texts] : badges) {
        ConversionSettings s = queue->settings();
        s.format = format;
        queue->setSettings(s);
        EXPECT_EQ(panel.badgeTexts(), texts) << label(format);
    }
}

TEST_F(ConvertViews, ConvertButtonAlphaWarningAndDestination) {
    SettingsPanel panel(*queue);
    EXPECT_EQ(panel.actionButton()->text(), "Convert");
    EXPECT_FALSE(panel.actionButton()->isEnabled());
    EXPECT_EQ(panel.folderLabel()->text(), "Not selected");
    EXPECT_TRUE(panel.revealButton()->isHidden());

    addJob("1.mov", ConversionJob::State::ready());
    EXPECT_EQ(panel.actionButton()->text(), "Convert 1 File");
    for (const char* name : {"2.mov", "3.mov"}) addJob(name, ConversionJob::State::ready());
    EXPECT_EQ(panel.actionButton()->text(), "Convert 3 Files");
    EXPECT_TRUE(panel.actionButton()->isEnabled());

    // A platform-decoded source with alpha warns for a format without alpha, not for one with it,
    // and not when the alpha comes from a DXV source.
    ConversionSettings s = queue->settings();
    s.format = OutputFormat::h264;
    queue->setSettings(s);
    EXPECT_TRUE(panel.alphaWarning()->isHidden());
    auto dxvAlpha = addJob("d.mov", ConversionJob::State::ready(), probedInfo(30, 1, false, true, SourceDecoder::dxv()));
    EXPECT_TRUE(panel.alphaWarning()->isHidden());
    addJob("p.mov", ConversionJob::State::failed("x"), probedInfo(30, 1, false, true));
    EXPECT_FALSE(panel.alphaWarning()->isHidden());
    s.format = OutputFormat::hevc;
    queue->setSettings(s);
    EXPECT_FALSE(panel.alphaWarning()->isHidden());
    s.format = OutputFormat::proRes4444;
    queue->setSettings(s);
    EXPECT_TRUE(panel.alphaWarning()->isHidden());

    queue->setOutputFolder(QString::fromStdString(dir.path().string()));
    EXPECT_EQ(panel.folderLabel()->text(), QString::fromStdString(dir.path().filename().string()));
    EXPECT_EQ(panel.folderLabel()->toolTip(), QString::fromStdString(dir.path().string()));
    EXPECT_FALSE(panel.revealButton()->isHidden());
}

// The 340-point column holds every row without cutting or sliding under the scroll bar; the wheel
// scrolls the form instead of changing a picker the user has not focused; a disabled form greys
// its secondary texts too.
TEST_F(ConvertViews, SettingsColumnFitsTheWheelScrollsAndDisabledTextGreys) {
    ConversionSettings s = queue->settings();
    s.format = OutputFormat::h264;
    queue->setSettings(s);
    SettingsPanel panel(*queue);
    panel.setFixedSize(340, 560);  // short enough for the form to scroll
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    auto* scroll = panel.findChild<QScrollArea*>();
    ASSERT_TRUE(scroll && scroll->verticalScrollBar()->isVisible());
    const QRect visible(scroll->viewport()->mapTo(&panel, QPoint(0, 0)), scroll->viewport()->size());
    auto fits = [&](QWidget* w) {
        const QRect r(w->mapTo(&panel, QPoint(0, 0)), w->size());
        return r.left() >= visible.left() && r.right() <= visible.right() && w->width() >= w->minimumSizeHint().width();
    };
    for (QAbstractButton* b : panel.qualityPicker()->buttons()) {
        EXPECT_TRUE(fits(b)) << b->text().toStdString();
        EXPECT_GE(b->width(), b->fontMetrics().horizontalAdvance(b->text())) << b->text().toStdString();
    }
    EXPECT_TRUE(fits(panel.formatPicker()));
    EXPECT_TRUE(fits(panel.chooseButton()));

    s.format = OutputFormat::hapQ;
    queue->setSettings(s);
    QCoreApplication::processEvents();
    QComboBox* chunks = panel.chunksPicker();
    const int before = chunks->currentIndex();
    const int scrolled = scroll->verticalScrollBar()->value();
    auto wheelDown = [&] {
        const QPoint at = chunks->rect().center();
        QWheelEvent wheel(at, chunks->mapToGlobal(at), {}, QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(chunks, &wheel);
    };
    wheelDown();
    EXPECT_EQ(chunks->currentIndex(), before) << "an unfocused picker keeps its value";
    EXPECT_GT(scroll->verticalScrollBar()->value(), scrolled) << "the form scrolls instead";
    EXPECT_FALSE(chunks->hasFocus());
    panel.activateWindow();
    chunks->setFocus();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&panel) && chunks->hasFocus());
    wheelDown();
    EXPECT_NE(chunks->currentIndex(), before) << "a focused picker takes the wheel";

    // The darkest pixel of the summary is lighter while the form is disabled.
    auto darkest = [&] {
        const QImage image = panel.summaryLabel()->grab().toImage();
        int value = 255;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) value = std::min(value, qGray(image.pixel(x, y)));
        return value;
    };
    const int enabled = darkest();
    addJob("r.mov", ConversionJob::State::running(0.1, 1));
    panel.form()->setEnabled(false);
    EXPECT_GT(darkest(), enabled + 40);
}

TEST_F(ConvertViews, OutputSizeRowsAndReadout) {
    SettingsPanel panel(*queue);
    OutputSizeControls* size = panel.sizeControls();
    auto form = [&] { return static_cast<QFormLayout*>(size->ratioRow()->parentWidget()->layout()); };
    auto setSize = [&](OutputSize o, double percent = 50) {
        ConversionSettings s = queue->settings();
        s.outputSize = o;
        s.scalePercent = percent;
        queue->setSettings(s);
    };
    setSize(OutputSize::original);
    EXPECT_FALSE(form()->isRowVisible(size->ratioRow()));
    EXPECT_FALSE(form()->isRowVisible(size->readout()));

    setSize(OutputSize::percent);
    EXPECT_TRUE(form()->isRowVisible(size->ratioRow()));
    EXPECT_FALSE(form()->isRowVisible(size->readout())) << "no source selected";

    auto job = addJob("s.mov", ConversionJob::State::ready());
    queue->setSelectedJobID(job->id());
    EXPECT_TRUE(form()->isRowVisible(size->readout()));
    EXPECT_EQ(size->readout()->text(), "Output: 960 × 540");

    setSize(OutputSize::hd720);
    EXPECT_FALSE(form()->isRowVisible(size->ratioRow()));
    EXPECT_EQ(size->readout()->text(), "Output: 1280 × 720");

    setSize(OutputSize::percent);
    QMenu* presets = size->presetsButton()->menu();
    ASSERT_EQ(presets->actions().size(), 10);
    EXPECT_EQ(presets->actions()[2]->text(), "33.3%");
    presets->actions()[2]->trigger();
    EXPECT_DOUBLE_EQ(queue->settings().scalePercent, 33.3);
    EXPECT_EQ(size->ratioField()->text(), QLocale().toString(33.3, 'f', 1));
    presets->actions()[3]->trigger();
    EXPECT_EQ(size->ratioField()->text(), "50");
}

// A source that could not be read shows why in the preview, as its row does, rather than waiting
// for a probe that has ended.
TEST_F(ConvertViews, APreviewOfAnUnreadableSourceShowsItsFailure) {
    ConversionQueue::Environment env;  // the real probe
    env.desktop = &desktop;
    env.store = SettingsStore(QString::fromStdString((dir / "real.ini").string()));
    ConversionQueue real(std::move(env));
    PreviewPanel panel(real);
    const QString notes = QString::fromStdString((dir / "notes.mov").string());
    test::writeFile(notes.toStdString(), "not a movie");
    real.add(QStringList{notes});
    const ConversionJobRef job = real.jobs().front();
    ASSERT_EQ(real.selectedJobID(), job->id());
    ASSERT_TRUE(test::waitUntil([&] { return !job->state().is(ConversionJob::State::Kind::probing); }));
    ASSERT_TRUE(job->state().is(ConversionJob::State::Kind::failed));
    EXPECT_EQ(job->state().message, "The file “notes.mov” couldn’t be opened because it isn’t a movie file.");
    EXPECT_EQ(panel.placeholderText(), job->state().message);
    EXPECT_FALSE(panel.spinnerVisible());
}

TEST_F(ConvertViews, ContentViewPlaceholderFooterAndDrops) {
    ContentView view(*queue);
    EXPECT_TRUE(view.isShowingPlaceholder());
    EXPECT_EQ(view.countLabel()->text(), "0 files");
    EXPECT_TRUE(view.clearFinishedButton()->isHidden());

    const QString file = QString::fromStdString((dir / "dropped.mov").string());
    test::writeFile(file.toStdString(), "x");
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(file)});
    EXPECT_TRUE(view.drop(&data));
    EXPECT_FALSE(view.isShowingPlaceholder());
    EXPECT_EQ(view.rowCount(), 1);
    EXPECT_EQ(view.countLabel()->text(), "1 file");
    QMimeData none;
    none.setText("not a file");
    EXPECT_FALSE(view.drop(&none));

    auto done = addJob("done.mov", ConversionJob::State::done("/tmp/x.mov"));
    EXPECT_FALSE(view.clearFinishedButton()->isHidden());
    EXPECT_EQ(view.countLabel()->text(), "2 files");

    // Delete removes only the selected job.
    queue->setSelectedJobID(done->id());
    view.removeSelected();
    ASSERT_EQ(queue->jobs().size(), 1u);
    EXPECT_EQ(view.rowCount(), 1);
    queue->remove(queue->jobs().front());
    EXPECT_TRUE(view.isShowingPlaceholder());
}

}  // namespace
}  // namespace qm
