#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include "editor/views/sync_report_sheet.h"
#include "support/qt_app.h"

namespace qm {
namespace {

using Outcome = SyncReport::Outcome;

SyncReport reportOf(const std::vector<Outcome>& outcomes) {
    SyncReport report;
    report.referenceName = QStringLiteral("cam A.mov");
    for (std::size_t i = 0; i < outcomes.size(); ++i)
        report.entries.push_back({QUuid::createUuid(), QStringLiteral("clip %1.mov").arg(i), outcomes[i]});
    return report;
}

TEST(SyncSheet, SummariesAndSymbols) {
    struct Case {
        std::vector<Outcome> outcomes;
        const char* summary;
        const char* symbol;
        bool hint;
    };
    const Case cases[] = {
        {{}, "Nothing to sync", "xmark.circle.fill", false},
        {{Outcome::timecode()}, "The file is synced", "checkmark.circle.fill", false},
        {{Outcome::sound(), Outcome::timecode(), Outcome::sound()}, "All 3 files are synced", "checkmark.circle.fill", false},
        {{Outcome::noMatch(), Outcome::differentSpeed(2.5)}, "No files could be synced", "xmark.circle.fill", true},
        {{Outcome::noSound()}, "The file couldn't be synced", "xmark.circle.fill", true},
        {{Outcome::sound(), Outcome::noSound(), Outcome::timecode(), Outcome::partial(), Outcome::noMatch()},
         "2 of 5 files synced", "exclamationmark.circle.fill", true},
    };
    test::qtApp<QApplication>();
    for (const Case& c : cases) {
        const SyncReport report = reportOf(c.outcomes);
        EXPECT_EQ(syncSummaryText(report), c.summary);
        EXPECT_EQ(syncHeaderSymbol(report).name, c.symbol) << c.summary;
        SyncReportSheet sheet(report);
        EXPECT_EQ(sheet.summaryLabel()->text(), c.summary);
        EXPECT_EQ(sheet.hintLabel() != nullptr, c.hint) << c.summary;
        EXPECT_EQ(sheet.rows() != nullptr, !c.outcomes.empty()) << c.summary;
    }
    EXPECT_EQ(syncRowSymbol(Outcome::differentSpeed(1)).name, "exclamationmark.triangle.fill");
    EXPECT_EQ(syncRowSymbol(Outcome::sound()).name, "checkmark.circle.fill");
}

TEST(SyncSheet, ManyRowsScrollInsideTheWindowAndReturnCloses) {
    test::qtApp<QApplication>();
    QWidget window;
    window.resize(1200, 700);
    window.show();
    SyncReportSheet sheet(reportOf(std::vector<Outcome>(40, Outcome::noMatch())), &window);
    sheet.show();
    QApplication::processEvents();
    EXPECT_LE(sheet.height(), window.height());
    EXPECT_GT(sheet.rows()->verticalScrollBar()->maximum(), 0);
    QTest::keyClick(&sheet, Qt::Key_Return);
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
    EXPECT_FALSE(sheet.isVisible());
}

}  // namespace
}  // namespace qm
