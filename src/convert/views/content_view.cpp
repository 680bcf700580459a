#include "convert/views/content_view.h"

#include <QAction>
#include <QDragEnterEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "convert/views/job_list.h"
#include "convert/views/job_row.h"
#include "convert/views/settings_panel.h"
#include "platform/desktop/icons.h"
#include "view_kit/form_style.h"

namespace qm {

// The empty queue's drop zone: a large symbol, two lines of text and a dashed outline.
class DropPlaceholder : public QWidget {
public:
    explicit DropPlaceholder(QWidget* parent) : QWidget(parent) {
        auto* stack = new QVBoxLayout(this);
        stack->setSpacing(14);
        stack->addStretch(1);
        symbol_ = new QLabel;
        symbol_->setAlignment(Qt::AlignCenter);
        stack->addWidget(symbol_);
        auto* title = new QLabel(ContentView::tr("Drop videos or folders here"));
        QFont big = title->font();
        big.setPointSizeF(big.pointSizeF() * 1.35);
        big.setWeight(QFont::Medium);
        title->setFont(big);
        title->setAlignment(Qt::AlignCenter);
        stack->addWidget(title);
        auto* formats = new QLabel(ContentView::tr("NotchLC · Hap · DXV · ProRes · H.264 · HEVC · MOV · MP4"));
        formats->setAlignment(Qt::AlignCenter);
        formats->setForegroundRole(QPalette::PlaceholderText);
        stack->addWidget(formats);
        stack->addStretch(1);
        setTargeted(false);
    }
    void setTargeted(bool targeted) {
        targeted_ = targeted;
        // The symbol tints with the accent colour while a drag hovers.
        const QPixmap pixmap = symbolPixmap(QStringLiteral("film.stack"), 56,
                                            targeted ? palette().color(QPalette::Highlight)
                                                     : palette().color(QPalette::PlaceholderText));
        symbol_->setPixmap(pixmap);
        update();
    }
    bool targeted() const { return targeted_; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QColor colour = targeted_ ? palette().color(QPalette::Highlight) : palette().color(QPalette::PlaceholderText);
        if (!targeted_) colour.setAlphaF(0.35f);
        QPen pen(colour, 2);
        pen.setDashPattern({4, 3});  // 8 on, 6 off at width 2
        p.setPen(pen);
        p.drawRoundedRect(QRectF(rect()).adjusted(21, 21, -21, -21), 14, 14);
    }

private:
    QLabel* symbol_ = nullptr;
    bool targeted_ = false;
};

// The accent outline drawn over the job list while a drag hovers; it takes no mouse events.
class ListOverlay : public QWidget {
public:
    explicit ListOverlay(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        hide();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(palette().color(QPalette::Highlight), 3));
        p.drawRoundedRect(QRectF(rect()).adjusted(5.5, 5.5, -5.5, -5.5), 10, 10);
    }
};

namespace {

// The left column forwards drags of file URLs to the view.
class DropColumn : public QWidget {
public:
    explicit DropColumn(ContentView* view) : QWidget(view), view_(view) { setAcceptDrops(true); }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override {
        if (view_->acceptsDrop(event->mimeData())) {
            view_->setDropTargeted(true);
            event->acceptProposedAction();
        }
    }
    void dragMoveEvent(QDragMoveEvent* event) override {
        if (view_->acceptsDrop(event->mimeData())) event->acceptProposedAction();
    }
    void dragLeaveEvent(QDragLeaveEvent*) override { view_->setDropTargeted(false); }
    void dropEvent(QDropEvent* event) override {
        if (view_->drop(event->mimeData()))
            event->acceptProposedAction();
        else
            event->ignore();
    }

private:
    ContentView* view_;
};

}  // namespace

ContentView::ContentView(ConversionQueue& queue, QWidget* parent) : QWidget(parent), queue_(queue) {
    auto* root = new QHBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    left_ = new DropColumn(this);
    left_->setMinimumWidth(480);
    auto* column = new QVBoxLayout(left_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    stack_ = new QStackedWidget;
    placeholder_ = new DropPlaceholder(stack_);
    list_ = new JobList(queue_);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setFrameShape(QFrame::NoFrame);
    list_->setAcceptDrops(false);
    list_->viewport()->setAcceptDrops(false);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    overlay_ = new ListOverlay(list_);
    stack_->addWidget(placeholder_);
    stack_->addWidget(list_);
    column->addWidget(stack_, 1);
    column->addWidget(divider(Qt::Horizontal));

    auto* footer = new QWidget;
    auto* footerRow = new QHBoxLayout(footer);
    footerRow->setContentsMargins(12, 8, 12, 8);
    count_ = new QLabel;
    count_->setForegroundRole(QPalette::PlaceholderText);
    footerRow->addWidget(count_);
    footerRow->addStretch(1);
    clear_ = new QPushButton(tr("Clear Finished"));
    footerRow->addWidget(clear_);
    column->addWidget(footer);
    root->addWidget(left_, 1);
    root->addWidget(divider(Qt::Vertical));

    settings_ = new SettingsPanel(queue_, this);
    settings_->setFixedWidth(340);
    root->addWidget(settings_);

    addFiles_ = new QAction(symbolIcon(QStringLiteral("plus")), tr("Add Files"), this);
    addFiles_->setToolTip(tr("Add videos or folders"));
    connect(addFiles_, &QAction::triggered, this, [this] { queue_.presentAddPanel(); });
    connect(clear_, &QPushButton::clicked, this, [this] { queue_.clearFinished(); });

    connect(list_->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this](const QModelIndex& current) {
        // Rows leaving or arriving move the view's current row; the queue keeps its own selection.
        if (syncingSelection_ || list_->jobs()->isFollowing()) return;
        queue_.setSelectedJobID(current.isValid() ? list_->jobs()->jobAt(current.row())->id() : QUuid());
    });
    connect(&queue_, &ConversionQueue::jobsChanged, this, &ContentView::syncRows);
    connect(&queue_, &ConversionQueue::selectedJobIDChanged, this, &ContentView::syncSelectionFromModel);
    connect(&queue_, &ConversionQueue::hasFinishedJobsChanged, this, &ContentView::refreshFooter);
    connect(&queue_, &ConversionQueue::isRunningChanged, this, &ContentView::refreshFooter);
    syncRows();
}

bool ContentView::isShowingPlaceholder() const { return stack_->currentWidget() == placeholder_; }

JobRow* ContentView::rowAt(int index) const { return list_->rowAt(index); }

int ContentView::rowCount() const { return list_->count(); }

void ContentView::syncRows() {
    // The list follows the queue by itself; the selection and the footer follow here.
    syncSelectionFromModel();
    stack_->setCurrentWidget(queue_.jobs().empty() ? static_cast<QWidget*>(placeholder_) : list_);
    refreshFooter();
}

void ContentView::syncSelectionFromModel() {
    syncingSelection_ = true;
    const int row = list_->jobs()->rowOf(queue_.selectedJobID());
    if (row < 0) {
        list_->clearSelection();
        list_->setCurrentIndex({});
    } else {
        list_->setCurrentIndex(list_->jobs()->index(row));
    }
    syncingSelection_ = false;
}

void ContentView::refreshFooter() {
    const auto count = qlonglong(queue_.jobs().size());
    count_->setText(count == 1 ? tr("%1 file").arg(count) : tr("%1 files").arg(count));
    clear_->setVisible(queue_.hasFinishedJobs());
    clear_->setEnabled(!queue_.isRunning());
}

void ContentView::removeSelected() {
    const QUuid id = queue_.selectedJobID();
    if (id.isNull()) return;
    for (const ConversionJobRef& job : queue_.jobs())
        if (job->id() == id) {
            queue_.remove(job);
            return;
        }
}

bool ContentView::acceptsDrop(const QMimeData* data) const {
    if (data == nullptr || !data->hasUrls()) return false;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) return true;
    return false;
}

bool ContentView::drop(const QMimeData* data) {
    setDropTargeted(false);
    if (!acceptsDrop(data)) return false;
    QList<QUrl> files;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) files.append(url);
    queue_.add(files);
    return !files.isEmpty();
}

void ContentView::setDropTargeted(bool targeted) {
    dropTargeted_ = targeted;
    placeholder_->setTargeted(targeted);
    overlay_->setGeometry(list_->rect());
    overlay_->setVisible(targeted && !queue_.jobs().empty());
    overlay_->raise();
}

}  // namespace qm
