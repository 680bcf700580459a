#pragma once
// Packaging the open project: copies of its readable media and the project pointing at them,
// written on the background pool into a staged folder and swapped in whole, progress posted back.
//
// Lives on the GUI thread; one run at a time. Destroying it waits for a run in flight to end.

#include <optional>

#include <QFuture>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUuid>

#include "editor/model/project.h"
#include "platform/system/task_pool.h"

namespace qm {

struct PackagingProgress {
    int done = 0;
    int total = 0;
    bool operator==(const PackagingProgress&) const = default;
};

struct PackageResult {
    QUuid id;
    QString url;
    QStringList missing;
    bool operator==(const PackageResult&) const = default;
};

// Why a package of `project` can't be written at `path` (empty: it can): replacing it would
// remove a file the project reads.
QString packageRefusal(const Project& project, const QString& path);

class EditorPackaging : public QObject {
    Q_OBJECT

public:
    explicit EditorPackaging(QObject* parent = nullptr);
    ~EditorPackaging() override;

    // Set while a run is active.
    const std::optional<PackagingProgress>& progress() const { return progress_; }
    const std::optional<PackageResult>& result() const { return result_; }
    void clearResult() { setResult(std::nullopt); }

    // Packages a copy of `project` at `path`; the future ends once the outcome is stored. Ignored
    // while a run is active.
    QFuture<void> start(const Project& project, const QString& path);

signals:
    void progressChanged();
    void resultChanged();
    // Why a run was refused or failed, for the model's error list.
    void failed(const QString& text);

private:
    void setProgress(std::optional<PackagingProgress> value);
    void setResult(std::optional<PackageResult> value);

    std::optional<PackagingProgress> progress_;
    std::optional<PackageResult> result_;
    quint64 generation_ = 0;
    PoolTask task_;  // the run in flight
};

}  // namespace qm
