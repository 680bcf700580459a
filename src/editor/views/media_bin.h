#pragma once
// The editor's media column: the project's media as a list (drag a row onto the timeline,
// double-click to add it at the playhead), file drops to import, and the missing-media banner.

#include <optional>

#include <QAbstractListModel>
#include <QSet>
#include <QUuid>
#include <QWidget>

class QLabel;
class QListView;
class QPushButton;
class QStackedWidget;

namespace qm {

class EditorModel;
struct LTCInfo;
struct MediaItem;

// Minutes and seconds of the rounded time ("2:05", "120:00"); "0:00" for a negative or non-finite time.
QString formatDuration(double seconds);
// "Hap Q · 1920×1080 · 2:05", or "Audio · AAC · 2:05" for an item without a picture size.
QString mediaDetailText(const MediaItem& item);
// "LTC 01:00:00:00 · 25 fps"; nothing when the start frame is not a usable number.
std::optional<QString> ltcLineText(const LTCInfo& info);

// The rows of the bin, one per media item of the project, in project order.
class MediaBinModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role { idRole = Qt::UserRole + 1, missingRole, detailRole, ltcRole };

    explicit MediaBinModel(EditorModel& model, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    // The ids of the rows as upper-case UUID texts, one a line: what a timeline lane reads.
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override { return Qt::CopyAction; }

private:
    EditorModel& model_;
};

// The accent wash over the whole bin while files are dragged over it.
class DropTint : public QWidget {
public:
    explicit DropTint(QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
};

class MediaBinView : public QWidget {
    Q_OBJECT
public:
    explicit MediaBinView(EditorModel& model, QWidget* parent = nullptr);

    QListView* list() const { return list_; }
    QLabel* missingLabel() const { return missing_; }
    QWidget* missingBanner() const { return banner_; }
    QPushButton* relinkButton() const { return relink_; }
    QWidget* emptyState() const { return empty_; }
    QWidget* dropTint() const { return tint_; }
    bool isTargeted() const { return targeted_; }

    QSet<QUuid> selection() const { return selection_; }
    void setSelection(const QSet<QUuid>& ids);
    void clearSelection() { setSelection({}); }

    // What a right-click at a list position acts on: the selection when the row is selected, that
    // row alone when it is not, nothing below the rows.
    QSet<QUuid> menuTargets(QPoint listPosition) const;
    // The context menu's commands for a set of ids, by their texts (for the menu and for tests).
    QList<QAction*> menuActions(const QSet<QUuid>& ids, QObject* owner);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void refresh();
    void restoreSelection();
    void addAtPlayhead(const QSet<QUuid>& ids);
    void setTargeted(bool targeted);

    EditorModel& model_;
    MediaBinModel* rows_;
    QStackedWidget* stack_;
    QWidget* empty_;
    QListView* list_;
    QWidget* banner_;
    QLabel* missing_;
    QPushButton* relink_;
    DropTint* tint_ = nullptr;
    QSet<QUuid> selection_;
    bool restoring_ = false;
    bool targeted_ = false;
};

}  // namespace qm
