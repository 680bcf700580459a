#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QListView>
#include <QMimeData>
#include <QPushButton>
#include <QToolTip>
#include <QTest>

#include "support/scripted_desktop.h"
#include "editor/editor_model.h"
#include "editor/sync/timecode.h"
#include "editor/views/media_bin.h"
#include "support/qt_app.h"
#include "support/qt_events.h"

namespace qm {
namespace {

TEST(MediaBinText, DurationsDetailsAndLtcLines) {
    const std::pair<double, const char*> durations[] = {
        {0, "0:00"}, {0.4, "0:00"}, {0.5, "0:01"}, {59.5, "1:00"}, {125, "2:05"}, {7200, "120:00"},
        {-3, "0:00"}, {std::nan(""), "0:00"}, {std::numeric_limits<double>::infinity(), "0:00"}, {1e300, "0:00"},
    };
    for (const auto& [seconds, text] : durations) {
        EXPECT_EQ(formatDuration(seconds), QString::fromUtf8(text)) << seconds;
    }

    MediaItem picture;
    picture.codecName = QStringLiteral("Hap Q");
    picture.width = 1920;
    picture.height = 1080;
    picture.duration = 125;
    EXPECT_EQ(mediaDetailText(picture), QString::fromUtf8("Hap Q · 1920×1080 · 2:05"));
    picture.height = 0;  // the size decides, not the sound
    EXPECT_EQ(mediaDetailText(picture), QString::fromUtf8("Audio · Hap Q · 2:05"));

    LTCInfo ltc;
    ltc.nominalRate = 30;
    ltc.measuredRate = 30;
    const std::pair<double, std::optional<const char*>> lines[] = {
        {89.9995, "LTC 00:00:03:00 · 30 fps"},
        {89.998, "LTC 00:00:02:29 · 30 fps"},
        {std::nan(""), std::nullopt},
        {1e300, std::nullopt},
        {-std::numeric_limits<double>::infinity(), std::nullopt},
    };
    for (const auto& [start, text] : lines) {
        ltc.startFrame = start;
        const auto got = ltcLineText(ltc);
        ASSERT_EQ(got.has_value(), text.has_value()) << start;
        if (text) {
            EXPECT_EQ(*got, QString::fromUtf8(*text));
        }
    }
}

class MediaBin : public ::testing::Test {
protected:
    void SetUp() override {
        test::qtApp<QApplication>();
        EditorModel::Environment environment;
        environment.desktop = &desktop;
        environment.render = [](const Project&, const MediaInfos&, double) { return QImage(4, 4, QImage::Format_RGBA8888); };
        editor = std::make_unique<EditorModel>(std::move(environment));
        setDesktopServices(&desktop);
        bin = std::make_unique<MediaBinView>(*editor);
        bin->resize(240, 500);
        bin->show();
    }
    void TearDown() override {
        bin.reset();
        setDesktopServices(nullptr);
    }
    // Three items; those named in `present` have a probe result, the others are missing.
    void fill(std::initializer_list<int> present) {
        Project p = editor->project();
        MediaInfos infos;
        for (int i = 0; i < 3; ++i) {
            MediaItem item;
            item.id = QUuid::createUuid();
            item.name = QStringLiteral("clip%1.mov").arg(i);
            item.path = QStringLiteral("/media/clip%1.mov").arg(i);
            item.width = 640;
            item.height = 360;
            item.duration = 3;
            p.media.push_back(item);
            ids.push_back(item.id);
            if (std::find(present.begin(), present.end(), i) != present.end()) infos.insert(item.id, MediaInfo{});
        }
        editor->setProject(p);
        editor->setInfos(infos);
    }
    QPoint rowCentre(int row) { return bin->list()->visualRect(bin->list()->model()->index(row, 0)).center(); }
    QStringList menuTexts(const QSet<QUuid>& ids) {
        QStringList texts;
        QObject owner;
        for (QAction* a : bin->menuActions(ids, &owner)) texts.append(a->isSeparator() ? QStringLiteral("-") : a->text());
        return texts;
    }

    test::ScriptedDesktop desktop;
    std::unique_ptr<EditorModel> editor;
    std::unique_ptr<MediaBinView> bin;
    std::vector<QUuid> ids;
};

// Whether a picture holds the warning's orange anywhere inside `area`.
bool hasOrange(const QImage& image, const QRect& area) {
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 200 && c.green() > 100 && c.green() < 180 && c.blue() < 60) return true;
        }
    return false;
}

TEST_F(MediaBin, EmptyStateRowsAndTheMissingBanner) {
    EXPECT_TRUE(bin->emptyState()->isVisible());
    EXPECT_FALSE(bin->missingBanner()->isVisible());
    fill({1});
    EXPECT_FALSE(bin->emptyState()->isVisible());
    EXPECT_TRUE(bin->list()->isVisible());
    ASSERT_EQ(bin->list()->model()->rowCount(), 3);
    EXPECT_EQ(bin->list()->model()->index(2, 0).data().toString(), "clip2.mov");
    EXPECT_TRUE(bin->missingBanner()->isVisible());
    EXPECT_EQ(bin->missingLabel()->text(), "2 missing");
    // The warnings are orange, and the row's has a help text of its own.
    EXPECT_TRUE(hasOrange(bin->missingBanner()->grab().toImage(), bin->missingBanner()->rect()));
    const QRect row = bin->list()->visualRect(bin->list()->model()->index(0, 0));
    const QImage rows = bin->list()->viewport()->grab().toImage();
    const int side = QFontMetrics(bin->list()->font()).height();
    EXPECT_TRUE(hasOrange(rows, QRect(row.left() + 8, row.top() + 2, side, side)));
    EXPECT_FALSE(hasOrange(rows, bin->list()->visualRect(bin->list()->model()->index(1, 0))));
    const auto tip = [&](QPoint at) {
        QHelpEvent help(QEvent::ToolTip, at, bin->list()->viewport()->mapToGlobal(at));
        QApplication::sendEvent(bin->list()->viewport(), &help);
        return QToolTip::text();
    };
    EXPECT_EQ(tip(QPoint(row.left() + 8 + side / 2, row.top() + 2 + side / 2)),
              "File not found or not accessible. Right-click to relink.");
    EXPECT_EQ(tip(row.center() + QPoint(40, 0)), "Drag onto the timeline, or double-click to add at the playhead");
    editor->setInfos({{ids[0], MediaInfo{}}, {ids[1], MediaInfo{}}, {ids[2], MediaInfo{}}});
    EXPECT_FALSE(bin->missingBanner()->isVisible());
}

TEST_F(MediaBin, MenusActOnTheSelectionOrTheClickedRow) {
    fill({1, 2});
    bin->setSelection({ids[1], ids[2]});
    EXPECT_EQ(bin->menuTargets(rowCentre(1)), (QSet<QUuid>{ids[1], ids[2]}));
    EXPECT_EQ(bin->menuTargets(rowCentre(0)), QSet<QUuid>{ids[0]});
    EXPECT_EQ(bin->menuTargets(QPoint(5, 480)), QSet<QUuid>{});
    const QStringList plain{"Add to Timeline at Playhead", "Show in File Manager", "-", "Remove from Project"};
    EXPECT_EQ(menuTexts({ids[1], ids[2]}), plain);
    EXPECT_EQ(menuTexts({}), plain);
    EXPECT_EQ(menuTexts({ids[0], ids[1]}), (QStringList{"Relink…", "-"} + plain));

    // Each removal is its own undo step.
    QObject owner;
    const std::size_t before = editor->undoCount();
    bin->menuActions({ids[0], ids[1], ids[2]}, &owner).last()->trigger();
    EXPECT_TRUE(editor->project().media.empty());
    EXPECT_EQ(editor->undoCount(), before + 3);
}

TEST_F(MediaBin, SelectionSurvivesResetsDragsCarryTheIdAndDoubleClickAdds) {
    fill({0, 1, 2});
    bin->setSelection({ids[2]});
    Project p = editor->project();
    p.media[0].name = QStringLiteral("renamed.mov");
    editor->setProject(p);  // rebuilds the rows
    const QModelIndexList selected = bin->list()->selectionModel()->selectedRows();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(selected.first().row(), 2);
    EXPECT_EQ(bin->selection(), QSet<QUuid>{ids[2]});

    std::unique_ptr<QMimeData> drag(bin->list()->model()->mimeData(selected));
    EXPECT_EQ(drag->text(), ids[2].toString(QUuid::WithoutBraces).toUpper());

    emit bin->list()->doubleClicked(bin->list()->model()->index(2, 0));
    ASSERT_EQ(editor->project().tracks.front().clips.size(), 1u);
    EXPECT_EQ(editor->project().tracks.front().clips.front().mediaID, ids[2]);
}

TEST_F(MediaBin, DroppedFilesGoToTheImport) {
    fill({0, 1, 2});
    const QPoint inList = bin->list()->mapTo(bin.get(), bin->list()->rect().bottomLeft() - QPoint(-20, 20));
    const QColor plain = bin->grab().toImage().pixelColor(inList);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QStringLiteral("/nonexistent/a.mov")), QUrl(QStringLiteral("https://example.com/b.mov"))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(bin.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    EXPECT_TRUE(bin->isTargeted());
    EXPECT_NE(bin->grab().toImage().pixelColor(inList), plain) << "the tint lies over the list";
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(bin.get(), &drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_FALSE(bin->isTargeted());
    EXPECT_EQ(bin->grab().toImage().pixelColor(inList), plain);
    ASSERT_TRUE(test::waitUntil([&] { return editor->importErrors().size() == 2; }));
    EXPECT_EQ(editor->importErrors()[0], "https://example.com/b.mov: can't be imported (only files on this computer can)");
}

}  // namespace
}  // namespace qm
