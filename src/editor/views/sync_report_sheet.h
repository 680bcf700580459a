#pragma once
// The sheet that sums up a sync run: a headline with a coloured symbol, the reference, one row per
// file with what happened to it, a hint when some stayed where they were, and "OK".

#include <QColor>
#include <QDialog>

#include "editor/sync/sync_report.h"

class QLabel;
class QPushButton;
class QScrollArea;

namespace qm {

// "All 3 files are synced", "2 of 5 files synced", ...
QString syncSummaryText(const SyncReport& report);

// The symbol name and colour of the headline, and of an entry's row.
struct SyncSymbol {
    QString name;
    QColor colour;
    bool operator==(const SyncSymbol&) const = default;
};
SyncSymbol syncHeaderSymbol(const SyncReport& report);
SyncSymbol syncRowSymbol(const SyncReport::Outcome& outcome);

class SyncReportSheet : public QDialog {
    Q_OBJECT
public:
    explicit SyncReportSheet(const SyncReport& report, QWidget* parent = nullptr);

    QLabel* summaryLabel() const { return summary_; }
    QLabel* hintLabel() const { return hint_; }
    QScrollArea* rows() const { return scroll_; }
    QPushButton* okButton() const { return ok_; }

private:
    QLabel* summary_;
    QLabel* hint_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QPushButton* ok_;
};

}  // namespace qm
