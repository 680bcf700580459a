#pragma once
// The queue's job list. The model follows the queue's jobs with row-level inserts and removals
// (a reset only when the order changes), and the view gives a row its JobRow exactly when the
// model inserts it; the item view itself drops a row's widget when the model removes the row or
// resets. A row widget is never moved to another row, so rows and widgets cannot fall out of step.

#include <vector>

#include <QAbstractListModel>
#include <QListView>

#include "convert/conversion_queue.h"

namespace qm {

class JobRow;

class JobListModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit JobListModel(ConversionQueue& queue, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    const ConversionJobRef& jobAt(int row) const { return rows_[size_t(row)]; }
    // The row of the job with this id, or -1.
    int rowOf(const QUuid& id) const;
    // True while the rows are being brought to the queue's jobs (selection changes then are the
    // view's bookkeeping, not the user's).
    bool isFollowing() const { return following_; }
    // The height every row is laid out with.
    void setRowHeight(int height);
    int rowHeight() const { return rowHeight_; }

private:
    void follow();

    ConversionQueue& queue_;
    std::vector<ConversionJobRef> rows_;
    int rowHeight_ = 52;
    bool following_ = false;
};

class JobList : public QListView {
    Q_OBJECT
public:
    explicit JobList(ConversionQueue& queue, QWidget* parent = nullptr);

    JobListModel* jobs() const { return model_; }
    int count() const { return model_->rowCount(); }
    JobRow* rowAt(int row) const;

private:
    void makeRows(int first, int last);

    ConversionQueue& queue_;
    JobListModel* model_ = nullptr;
};

}  // namespace qm
