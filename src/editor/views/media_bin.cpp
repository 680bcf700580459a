#include "editor/views/media_bin.h"

#include <cmath>
#include <limits>

#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QHelpEvent>
#include <QToolTip>
#include <QToolButton>
#include <QVBoxLayout>

#include "editor/editor_model.h"
#include "editor/sync/timecode.h"
#include "platform/desktop/icons.h"
#include "platform/system/desktop_services.h"

namespace qm {

namespace {

const QString kSeparator = QStringLiteral(" \u00B7 ");
const QColor kOrange(240, 140, 0);

QPixmap missingSymbol(int size) { return symbolPixmap(QStringLiteral("exclamationmark.triangle.fill"), size, kOrange); }

// Where a row's warning sits, and its side.
QRect missingSymbolRect(const QRect& row, const QFont& font) {
    const int s = QFontMetrics(font).height() - 2;
    return {row.left() + 8, row.top() + 2 + 1, s, s};
}

QFont captionFont(const QFont& base) {
    QFont f = base;
    f.setPointSizeF(base.pointSizeF() * 0.85);
    return f;
}

// Paints a row: the name (with a warning for missing media), the detail line and the LTC line.
class MediaRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem background = option;
        initStyleOption(&background, index);
        background.text.clear();
        background.icon = {};
        option.widget->style()->drawControl(QStyle::CE_ItemViewItem, &background, p, option.widget);

        const bool selected = option.state & QStyle::State_Selected;
        const QPalette& pal = option.palette;
        const QRect r = option.rect.adjusted(8, 2, -8, -2);
        const QFontMetrics nameMetrics(option.font);
        const QFont caption = captionFont(option.font);
        const QFontMetrics captionMetrics(caption);
        p->save();
        int x = r.left();
        int y = r.top();
        if (index.data(MediaBinModel::missingRole).toBool()) {
            const QRect symbol = missingSymbolRect(option.rect, option.font);
            p->drawPixmap(symbol, missingSymbol(symbol.width()));
            x += symbol.width() + 4;
        }
        p->setFont(option.font);
        p->setPen(pal.color(selected ? QPalette::HighlightedText : QPalette::Text));
        const QString name = nameMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideMiddle, r.right() - x);
        p->drawText(QRect(x, y, r.right() - x, nameMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter, name);
        y += nameMetrics.height() + 2;
        p->setFont(caption);
        QColor secondary = pal.color(selected ? QPalette::HighlightedText : QPalette::Text);
        secondary.setAlphaF(0.6f);
        p->setPen(secondary);
        p->drawText(QRect(r.left(), y, r.width(), captionMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
                    captionMetrics.elidedText(index.data(MediaBinModel::detailRole).toString(), Qt::ElideRight, r.width()));
        y += captionMetrics.height() + 2;
        const QString ltc = index.data(MediaBinModel::ltcRole).toString();
        if (!ltc.isEmpty()) {
            p->setPen(pal.color(selected ? QPalette::HighlightedText : QPalette::Highlight));
            p->drawText(QRect(r.left(), y, r.width(), captionMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter, ltc);
        }
        p->restore();
    }

    // The warning has a help text of its own; the rest of the row keeps the row's.
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override {
        if (event->type() == QEvent::ToolTip && index.data(MediaBinModel::missingRole).toBool() &&
            missingSymbolRect(option.rect, option.font).contains(event->pos())) {
            QToolTip::showText(event->globalPos(), MediaBinView::tr("File not found or not accessible. Right-click to relink."),
                               view->viewport(), missingSymbolRect(option.rect, option.font));
            return true;
        }
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const int caption = QFontMetrics(captionFont(option.font)).height() + 2;
        const int lines = index.data(MediaBinModel::ltcRole).toString().isEmpty() ? 1 : 2;
        return QSize(200, QFontMetrics(option.font).height() + 2 + lines * caption + 4);
    }
};

// Right-clicks and double-clicks on the list reach the bin.
class BinList : public QListView {
public:
    using QListView::QListView;
    std::function<void(QPoint)> onContextMenu;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override {
        if (onContextMenu) onContextMenu(event->pos());
    }
};

}  // namespace

QString formatDuration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e15) return QStringLiteral("0:00");
    const auto whole = static_cast<long long>(std::round(seconds));
    return QStringLiteral("%1:%2").arg(whole / 60).arg(whole % 60, 2, 10, QLatin1Char('0'));
}

QString mediaDetailText(const MediaItem& item) {
    if (item.width > 0 && item.height > 0)
        return item.codecName + kSeparator + QStringLiteral("%1\u00D7%2").arg(item.width).arg(item.height) + kSeparator +
               formatDuration(item.duration);
    return MediaBinView::tr("Audio") + kSeparator + item.codecName + kSeparator + formatDuration(item.duration);
}

std::optional<QString> ltcLineText(const LTCInfo& info) {
    const double frame = std::floor(info.startFrame + 0.001);
    // Beyond ±2^62 the frame number no longer fits the timecode arithmetic.
    if (!std::isfinite(frame) || std::fabs(frame) > 4.6e18) return std::nullopt;
    const Timecode start = Timecode::fromFrameNumber(static_cast<int64_t>(frame), info.nominalRate, info.dropFrame);
    return MediaBinView::tr("LTC %1 · %2 fps")
        .arg(QString::fromStdString(start.displayText()), QString::fromStdString(info.rateText()));
}

MediaBinModel::MediaBinModel(EditorModel& model, QObject* parent) : QAbstractListModel(parent), model_(model) {
    for (auto signal : {&EditorModel::projectChanged, &EditorModel::infosChanged, &EditorModel::ltcChanged})
        connect(&model_, signal, this, [this] {
            beginResetModel();
            endResetModel();
        });
}

int MediaBinModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(model_.project().media.size());
}

QVariant MediaBinModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const MediaItem& item = model_.project().media[std::size_t(index.row())];
    switch (role) {
        case Qt::DisplayRole: return item.name;
        case Qt::ToolTipRole: return MediaBinView::tr("Drag onto the timeline, or double-click to add at the playhead");
        case idRole: return item.id;
        case missingRole: return model_.isMissing(item.id);
        case detailRole: return mediaDetailText(item);
        case ltcRole: {
            const auto found = model_.ltc().constFind(item.id);
            if (found == model_.ltc().constEnd()) return QString();
            return ltcLineText(*found).value_or(QString());
        }
        default: return {};
    }
}

Qt::ItemFlags MediaBinModel::flags(const QModelIndex& index) const {
    return QAbstractListModel::flags(index) | Qt::ItemIsDragEnabled;
}

QStringList MediaBinModel::mimeTypes() const { return {QStringLiteral("text/plain")}; }

QMimeData* MediaBinModel::mimeData(const QModelIndexList& indexes) const {
    QStringList ids;
    for (const QModelIndex& index : indexes)
        ids.append(index.data(idRole).toUuid().toString(QUuid::WithoutBraces).toUpper());
    auto* data = new QMimeData;
    data->setText(ids.join(QLatin1Char('\n')));
    return data;
}

MediaBinView::MediaBinView(EditorModel& model, QWidget* parent)
    : QWidget(parent),
      model_(model),
      rows_(new MediaBinModel(model, this)),
      stack_(new QStackedWidget(this)),
      empty_(new QWidget(this)),
      list_(new BinList(this)),
      banner_(new QWidget(this)),
      missing_(new QLabel(banner_)),
      relink_(new QPushButton(tr("Relink…"), banner_)) {
    setAcceptDrops(true);

    auto* title = new QLabel(tr("Media"), this);
    QFont headline = title->font();
    headline.setBold(true);
    title->setFont(headline);
    auto* import = new QToolButton(this);
    import->setIcon(symbolIcon(QStringLiteral("plus")));
    import->setToolTip(tr("Import media"));
    import->setAutoRaise(true);
    import->setFocusPolicy(Qt::NoFocus);
    connect(import, &QToolButton::clicked, this, [this] { model_.importMediaPanel(); });
    auto* header = new QHBoxLayout;
    header->setContentsMargins(12, 8, 12, 8);
    header->addWidget(title);
    header->addStretch(1);
    header->addWidget(import);

    auto* emptyIcon = new QLabel(empty_);
    emptyIcon->setPixmap(symbolIcon(QStringLiteral("square.and.arrow.down")).pixmap(28, 28, QIcon::Disabled));
    auto* emptyText = new QLabel(tr("Drop videos or audio here"), empty_);
    emptyText->setForegroundRole(QPalette::PlaceholderText);
    auto* emptyColumn = new QVBoxLayout(empty_);
    emptyColumn->setSpacing(8);
    emptyColumn->addStretch(1);
    emptyColumn->addWidget(emptyIcon, 0, Qt::AlignHCenter);
    emptyColumn->addWidget(emptyText, 0, Qt::AlignHCenter);
    emptyColumn->addStretch(1);

    list_->setModel(rows_);
    list_->setItemDelegate(new MediaRowDelegate(list_));
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setDragEnabled(true);
    list_->setDragDropMode(QAbstractItemView::DragOnly);
    list_->setFrameShape(QFrame::NoFrame);
    list_->setUniformItemSizes(false);
    list_->setTextElideMode(Qt::ElideMiddle);
    static_cast<BinList*>(list_)->onContextMenu = [this](QPoint at) {
        QMenu menu;
        menu.addActions(menuActions(menuTargets(at), &menu));
        menu.exec(list_->viewport()->mapToGlobal(at));
    };
    connect(list_, &QListView::doubleClicked, this, [this](const QModelIndex& index) {
        const QUuid id = index.data(MediaBinModel::idRole).toUuid();
        addAtPlayhead(selection_.contains(id) ? selection_ : QSet<QUuid>{id});
    });
    connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (restoring_) return;
        selection_.clear();
        for (const QModelIndex& index : list_->selectionModel()->selectedRows())
            selection_.insert(index.data(MediaBinModel::idRole).toUuid());
    });
    connect(rows_, &QAbstractItemModel::modelReset, this, &MediaBinView::restoreSelection);

    stack_->addWidget(empty_);
    stack_->addWidget(list_);

    auto* warning = new QLabel(banner_);
    warning->setPixmap(missingSymbol(16));
    relink_->setFocusPolicy(Qt::NoFocus);
    connect(relink_, &QPushButton::clicked, this, [this] {
        for (const MediaItem& item : model_.project().media)
            if (model_.isMissing(item.id)) {
                model_.relinkMedia(item.id);
                return;
            }
    });
    auto* bannerRow = new QHBoxLayout(banner_);
    bannerRow->setContentsMargins(12, 8, 12, 8);
    bannerRow->setSpacing(6);
    bannerRow->addWidget(warning);
    bannerRow->addWidget(missing_);
    bannerRow->addStretch(1);
    bannerRow->addWidget(relink_);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setForegroundRole(QPalette::Mid);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addLayout(header);
    column->addWidget(divider);
    column->addWidget(stack_, 1);
    column->addWidget(banner_);

    // The drop tint lies over the list, which paints an opaque background of its own.
    tint_ = new DropTint(this);
    tint_->hide();

    for (auto signal : {&EditorModel::projectChanged, &EditorModel::infosChanged})
        connect(&model_, signal, this, &MediaBinView::refresh);
    refresh();
}

void MediaBinView::refresh() {
    const auto& media = model_.project().media;
    stack_->setCurrentWidget(media.empty() ? empty_ : static_cast<QWidget*>(list_));
    long long missing = 0;
    for (const MediaItem& item : media) missing += model_.isMissing(item.id) ? 1 : 0;
    banner_->setVisible(missing > 0);
    missing_->setText(tr("%1 missing").arg(missing));
}

void MediaBinView::setSelection(const QSet<QUuid>& ids) {
    selection_ = ids;
    restoreSelection();
}

void MediaBinView::restoreSelection() {
    // The rows are rebuilt on every change; the selection is kept as ids and put back.
    restoring_ = true;
    QItemSelection rows;
    for (int row = 0; row < rows_->rowCount(); ++row) {
        const QModelIndex index = rows_->index(row);
        if (selection_.contains(index.data(MediaBinModel::idRole).toUuid())) rows.select(index, index);
    }
    list_->selectionModel()->select(rows, QItemSelectionModel::ClearAndSelect);
    restoring_ = false;
}

QSet<QUuid> MediaBinView::menuTargets(QPoint listPosition) const {
    const QModelIndex index = list_->indexAt(listPosition);
    if (!index.isValid()) return {};
    const QUuid id = index.data(MediaBinModel::idRole).toUuid();
    return selection_.contains(id) ? selection_ : QSet<QUuid>{id};
}

QList<QAction*> MediaBinView::menuActions(const QSet<QUuid>& ids, QObject* owner) {
    QList<QAction*> actions;
    const auto add = [&](const QString& text, std::function<void()> run) {
        auto* action = new QAction(text, owner);
        connect(action, &QAction::triggered, this, std::move(run));
        actions.append(action);
    };
    const auto separator = [&] {
        auto* action = new QAction(owner);
        action->setSeparator(true);
        actions.append(action);
    };
    for (const QUuid& id : ids)
        if (model_.isMissing(id) && model_.project().mediaItem(id)) {
            add(tr("Relink…"), [this, id] { model_.relinkMedia(id); });
            separator();
            break;
        }
    add(tr("Add to Timeline at Playhead"), [this, ids] { addAtPlayhead(ids); });
    add(tr("Show in File Manager"), [this, ids] {
        QStringList paths;
        for (const QUuid& id : ids)
            if (const MediaItem* item = model_.project().mediaItem(id)) paths.append(item->path);
        desktopServices().revealInFileManager(paths);
    });
    separator();
    add(tr("Remove from Project"), [this, ids] {
        for (const QUuid& id : ids) model_.removeMedia(id);
    });
    return actions;
}

void MediaBinView::addAtPlayhead(const QSet<QUuid>& ids) {
    for (const QUuid& id : ids) model_.addClipAtPlayhead(id);
}

void MediaBinView::setTargeted(bool targeted) {
    if (targeted_ == targeted) return;
    targeted_ = targeted;
    tint_->setGeometry(rect());
    tint_->setVisible(targeted);
    tint_->raise();
}

void MediaBinView::dragEnterEvent(QDragEnterEvent* event) {
    if (!event->mimeData()->hasUrls()) return;
    event->acceptProposedAction();
    setTargeted(true);
}

void MediaBinView::dragLeaveEvent(QDragLeaveEvent*) { setTargeted(false); }

void MediaBinView::dropEvent(QDropEvent* event) {
    setTargeted(false);
    QStringList paths;
    QStringList refused;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
        else
            refused.append(url.toDisplayString());
    }
    event->acceptProposedAction();
    for (const QString& name : refused)
        model_.appendImportError(name + tr(": can't be imported (only files on this computer can)"));
    model_.importFiles(paths);
}

DropTint::DropTint(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_TransparentForMouseEvents); }

void DropTint::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QColor accent = palette().color(QPalette::Highlight);
    accent.setAlphaF(0.08f);
    p.fillRect(rect(), accent);
}

}  // namespace qm
