#pragma once
// One row of the Convert queue: file name, a summary of the probed source, and a status area
// that follows the job's state, with the row's own actions and context menu.

#include <QString>
#include <QWidget>

#include "convert/conversion_queue.h"

class QLabel;
class QMenu;
class QHBoxLayout;

namespace qm {

// The row's second line: the folder of an unprobed source, else codec · size · rate · length
// [· Audio].
QString jobDetailLine(const ConversionJob& job);

// "%.0f%% · %.0f fps" of a running job.
QString runningProgressText(double fraction, double fps);

// The row's context menu, built fresh for the job's current state (owned by the caller).
QMenu* buildJobContextMenu(ConversionQueue& queue, const ConversionJobRef& job, QWidget* parent = nullptr);

class JobRow : public QWidget {
    Q_OBJECT
public:
    JobRow(ConversionQueue& queue, ConversionJobRef job, QWidget* parent = nullptr);

    const ConversionJobRef& job() const { return job_; }

    // For tests: the texts and buttons the status area shows now.
    QString nameText() const;
    QString detailText() const;
    QWidget* statusArea() const { return status_; }

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void refreshDetail();
    void elideName();
    void rebuildStatus();
    void updateRunning();

    ConversionQueue& queue_;
    ConversionJobRef job_;
    QLabel* name_ = nullptr;
    QLabel* detail_ = nullptr;
    QWidget* status_ = nullptr;
    QHBoxLayout* statusLayout_ = nullptr;
    ConversionJob::State::Kind shownKind_{};
    bool built_ = false;
};

}  // namespace qm
