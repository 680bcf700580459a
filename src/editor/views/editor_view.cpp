#include "editor/views/editor_view.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QShowEvent>
#include <QSplitter>

#include "editor/editor_key_monitor.h"
#include "editor/editor_model.h"
#include "editor/views/inspector/inspector_view.h"
#include "editor/views/media_bin.h"
#include "editor/views/viewer_view.h"

namespace qm {

namespace {

QFrame* dividerLine(QFrame::Shape shape, QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(shape);
    line->setFrameShadow(QFrame::Plain);
    line->setForegroundRole(QPalette::Mid);
    return line;
}

// A plain panel holding a place in the layout.
QWidget* placeholderPanel(const QString& name, QWidget* parent) {
    auto* panel = new QWidget(parent);
    panel->setObjectName(name);
    panel->setAutoFillBackground(true);
    panel->setBackgroundRole(QPalette::Base);
    return panel;
}

}  // namespace

EditorView::EditorView(EditorModel& model, QWidget* parent)
    : QWidget(parent),
      model_(model),
      keyMonitor_(new EditorKeyMonitor(this)),
      splitter_(new QSplitter(Qt::Vertical, this)),
      bin_(new MediaBinView(model, this)),
      viewer_(new ViewerView(model, this)),
      timeline_(placeholderPanel(QStringLiteral("timeline"), this)),
      inspector_(new InspectorView(model, this)) {
    bin_->setFixedWidth(240);
    inspector_->setFixedWidth(330);

    auto* upper = new QWidget(splitter_);
    auto* row = new QHBoxLayout(upper);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(bin_);
    row->addWidget(dividerLine(QFrame::VLine, upper));
    row->addWidget(viewer_, 1);
    upper->setMinimumHeight(320);
    timeline_->setMinimumHeight(200);
    splitter_->addWidget(upper);
    splitter_->addWidget(timeline_);
    splitter_->setChildrenCollapsible(false);
    splitter_->setStretchFactor(0, 430);
    splitter_->setStretchFactor(1, 280);
    splitter_->setSizes({430, 280});

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(splitter_, 1);
    layout->addWidget(dividerLine(QFrame::VLine, this));
    layout->addWidget(inspector_);
}

EditorView::~EditorView() { keyMonitor_->stop(); }

void EditorView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous()) return;
    keyMonitor_->start(&model_);
    model_.requestRender();
}

void EditorView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (event->spontaneous()) return;
    keyMonitor_->stop();
    model_.pause();
    bin_->clearSelection();
}

}  // namespace qm
