#include "convert/views/job_list.h"

#include <algorithm>
#include <unordered_set>

#include <QFileInfo>

#include "convert/views/job_row.h"

namespace qm {

JobListModel::JobListModel(ConversionQueue& queue, QObject* parent) : QAbstractListModel(parent), queue_(queue) {
    rows_ = queue_.jobs();
    connect(&queue_, &ConversionQueue::jobsChanged, this, &JobListModel::follow);
}

int JobListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(rows_.size()); }

QVariant JobListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    switch (role) {
    case Qt::SizeHintRole: return QSize(0, rowHeight_);
    // The row's widget draws everything; the name is there for assistive technology.
    case Qt::AccessibleTextRole: return QFileInfo(jobAt(index.row())->path()).fileName();
    default: return {};
    }
}

int JobListModel::rowOf(const QUuid& id) const {
    if (id.isNull()) return -1;
    for (size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i]->id() == id) return int(i);
    return -1;
}

void JobListModel::setRowHeight(int height) {
    if (height == rowHeight_) return;
    rowHeight_ = height;
    if (!rows_.empty()) emit dataChanged(index(0), index(rowCount() - 1), {Qt::SizeHintRole});
}

void JobListModel::follow() {
    const auto& jobs = queue_.jobs();
    following_ = true;
    std::unordered_set<const ConversionJob*> wanted;
    for (const auto& job : jobs) wanted.insert(job.get());

    // Rows whose job left the queue, in runs from the back so earlier row numbers stay valid.
    for (int last = int(rows_.size()) - 1; last >= 0;) {
        if (wanted.contains(rows_[size_t(last)].get())) {
            --last;
            continue;
        }
        int first = last;
        while (first > 0 && !wanted.contains(rows_[size_t(first - 1)].get())) --first;
        beginRemoveRows({}, first, last);
        rows_.erase(rows_.begin() + first, rows_.begin() + last + 1);
        endRemoveRows();
        last = first - 1;
    }

    // New jobs, in runs at their place in the queue.
    std::unordered_set<const ConversionJob*> present;
    for (const auto& row : rows_) present.insert(row.get());
    bool reordered = false;
    for (size_t i = 0; i < jobs.size() && !reordered;) {
        if (i < rows_.size() && rows_[i] == jobs[i]) {
            ++i;
            continue;
        }
        if (present.contains(jobs[i].get())) {
            reordered = true;
            break;
        }
        size_t end = i;
        while (end < jobs.size() && !present.contains(jobs[end].get())) ++end;
        beginInsertRows({}, int(i), int(end) - 1);
        rows_.insert(rows_.begin() + std::ptrdiff_t(i), jobs.begin() + std::ptrdiff_t(i),
                     jobs.begin() + std::ptrdiff_t(end));
        endInsertRows();
        i = end;
    }
    if (reordered || rows_ != jobs) {
        beginResetModel();
        rows_ = jobs;
        endResetModel();
    }
    following_ = false;
}

JobList::JobList(ConversionQueue& queue, QWidget* parent) : QListView(parent), queue_(queue) {
    model_ = new JobListModel(queue_, this);
    setModel(model_);
    setUniformItemSizes(true);
    // Connected after setModel, so the view has taken the change in before rows get widgets.
    connect(model_, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex&, int first, int last) { makeRows(first, last); });
    connect(model_, &QAbstractItemModel::modelReset, this, [this] { makeRows(0, model_->rowCount() - 1); });
    makeRows(0, model_->rowCount() - 1);
}

JobRow* JobList::rowAt(int row) const {
    if (row < 0 || row >= count()) return nullptr;
    return qobject_cast<JobRow*>(indexWidget(model_->index(row)));
}

void JobList::makeRows(int first, int last) {
    int height = model_->rowHeight();
    for (int i = first; i <= last; ++i) {
        auto* row = new JobRow(queue_, model_->jobAt(i));
        height = std::max(height, row->sizeHint().height());
        setIndexWidget(model_->index(i), row);
    }
    model_->setRowHeight(height);
}

}  // namespace qm
