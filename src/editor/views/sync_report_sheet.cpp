#include "editor/views/sync_report_sheet.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "platform/desktop/icons.h"
#include "view_kit/form_style.h"

namespace qm {

namespace {

const QColor kGreen(52, 168, 83);
const QColor kRed(220, 53, 69);
const QColor kOrange(240, 140, 0);

bool isSynced(const SyncReport::Outcome& outcome) {
    return outcome.kind == SyncReport::Outcome::Kind::timecode || outcome.kind == SyncReport::Outcome::Kind::sound;
}

QLabel* symbolLabel(const SyncSymbol& symbol, int size, QWidget* parent) {
    return tintedSymbolLabel(symbol.name, symbol.colour, size, parent);
}

QLabel* secondaryLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setForegroundRole(QPalette::PlaceholderText);
    label->setWordWrap(true);
    return label;
}

}  // namespace

QString syncSummaryText(const SyncReport& report) {
    const auto count = static_cast<long long>(report.entries.size());
    const long long synced = report.syncedCount();
    if (count == 0) return SyncReportSheet::tr("Nothing to sync");
    // A count of one reads in the singular.
    if (synced == count)
        return count == 1 ? SyncReportSheet::tr("The file is synced")
                          : SyncReportSheet::tr("All %1 files are synced").arg(count);
    if (synced == 0) return count == 1 ? SyncReportSheet::tr("The file couldn't be synced")
                                       : SyncReportSheet::tr("No files could be synced");
    return SyncReportSheet::tr("%1 of %2 files synced").arg(synced).arg(count);
}

SyncSymbol syncHeaderSymbol(const SyncReport& report) {
    const auto count = static_cast<int>(report.entries.size());
    const int synced = report.syncedCount();
    if (count > 0 && synced == count) return {QStringLiteral("checkmark.circle.fill"), kGreen};
    if (synced == 0) return {QStringLiteral("xmark.circle.fill"), kRed};
    return {QStringLiteral("exclamationmark.circle.fill"), kOrange};
}

SyncSymbol syncRowSymbol(const SyncReport::Outcome& outcome) {
    if (isSynced(outcome)) return {QStringLiteral("checkmark.circle.fill"), kGreen};
    return {QStringLiteral("exclamationmark.triangle.fill"), kOrange};
}

SyncReportSheet::SyncReportSheet(const SyncReport& report, QWidget* parent)
    : QDialog(parent), summary_(new QLabel(syncSummaryText(report), this)), ok_(new QPushButton(tr("OK"), this)) {
    setWindowModality(Qt::WindowModal);
    setFixedWidth(420);

    QFont headline = summary_->font();
    headline.setBold(true);
    summary_->setFont(headline);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    titles->addWidget(summary_);
    titles->addWidget(secondaryLabel(tr("Reference: %1").arg(report.referenceName), this));
    auto* header = new QHBoxLayout;
    header->setSpacing(10);
    header->addWidget(symbolLabel(syncHeaderSymbol(report), 28, this), 0, Qt::AlignVCenter);
    header->addLayout(titles, 1);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(14);
    column->addLayout(header);

    if (report.entries.empty()) {
        column->addWidget(new QLabel(tr("Put the clips you want to sync on the timeline first."), this));
    } else {
        auto* box = new QWidget;
        box->setObjectName(QStringLiteral("syncRows"));
        box->setStyleSheet(QStringLiteral("#syncRows { background: rgba(128,128,128,20); border-radius: 8px; }"));
        auto* rows = new QVBoxLayout(box);
        rows->setContentsMargins(12, 12, 12, 12);
        rows->setSpacing(10);
        for (const SyncReport::Entry& entry : report.entries) {
            auto* name = new QLabel(box);
            QFont medium = name->font();
            medium.setWeight(QFont::Medium);
            name->setFont(medium);
            name->setText(name->fontMetrics().elidedText(entry.name, Qt::ElideMiddle, 330));
            name->setToolTip(entry.name);
            auto* title = new QLabel(entry.outcome.title(), box);
            if (isSynced(entry.outcome)) title->setForegroundRole(QPalette::PlaceholderText);
            auto* lines = new QVBoxLayout;
            lines->setSpacing(2);
            lines->addWidget(name);
            lines->addWidget(title);
            if (!entry.outcome.detail().isEmpty()) lines->addWidget(secondaryLabel(entry.outcome.detail(), box));
            auto* row = new QHBoxLayout;
            row->setSpacing(8);
            QLabel* symbol = symbolLabel(syncRowSymbol(entry.outcome), 16, box);
            symbol->setFixedWidth(18);
            row->addWidget(symbol, 0, Qt::AlignTop);
            row->addLayout(lines, 1);
            rows->addLayout(row);
        }
        // Many files would make the sheet taller than the window: the rows scroll instead.
        scroll_ = new QScrollArea(this);
        scroll_->setWidget(box);
        scroll_->setWidgetResizable(true);
        scroll_->setFrameShape(QFrame::NoFrame);
        scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        const int wanted = box->sizeHint().height();
        const int room = parent ? std::max(160, parent->window()->height() - 260) : 480;
        scroll_->setFixedHeight(std::min(wanted, room));
        column->addWidget(scroll_);
    }
    if (report.syncedCount() < static_cast<int>(report.entries.size())) {
        hint_ = secondaryLabel(tr("Clips that weren't synced stay where they were."), this);
        column->addWidget(hint_);
    }
    auto* footer = new QHBoxLayout;
    footer->addStretch(1);
    footer->addWidget(ok_);
    column->addLayout(footer);
    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace qm
