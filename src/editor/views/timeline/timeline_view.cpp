#include "editor/views/timeline/timeline_view.h"
#include "editor/views/timeline/property_lane.h"

#include <algorithm>
#include <cmath>

#include <QCoreApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSlider>
#include <QToolButton>
#include <QWheelEvent>

#include "editor/editor_model.h"
#include "editor/views/timeline/timeline_content.h"
#include "editor/views/timeline/track_header.h"
#include "platform/desktop/icons.h"
#include "view_kit/form_style.h"

namespace qm {

using namespace timeline;

namespace {

constexpr double log2Min = 2.0;                  // 4 points a second
constexpr double log2Max = 9.643856189774725;    // 800

// A one-point rule, so the header rows keep the lanes' 57-point pitch.
QFrame* rowDivider() {
    QFrame* d = divider(Qt::Horizontal);
    d->setFrameShadow(QFrame::Plain);
    d->setFixedHeight(1);
    d->setForegroundRole(QPalette::Mid);
    return d;
}

QFrame* shortDivider() {
    QFrame* d = divider(Qt::Vertical);
    d->setFixedHeight(16);
    return d;
}

}  // namespace

TimelineView::TimelineView(EditorModel& editor, QWidget* parent) : QWidget(parent), editor_(editor) {
    auto* body = new QVBoxLayout(this);
    body->setContentsMargins(0, 0, 0, 0);
    body->setSpacing(0);

    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(12, 6, 12, 6);
    bar->setSpacing(10);
    const auto addButton = [&](const QString& label, const char* symbol, const QString& tip, auto action) {
        auto* b = new QToolButton(this);
        b->setText(label);
        b->setIcon(symbolIcon(QString::fromLatin1(symbol)));
        b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        // Small controls, so the row fits beside the inspector at the window's narrowest.
        b->setFont(calloutFont(b->font()));
        b->setIconSize(QSize(14, 14));
        b->setAutoRaise(true);
        b->setToolTip(tip);
        connect(b, &QToolButton::clicked, this, action);
        buttons_.insert(label, b);
        bar->addWidget(b);
        return b;
    };
    addButton(tr("Add Layer"), "plus.rectangle.on.rectangle", QString(), [this] { editor_.addTrack(); });
    bar->addWidget(shortDivider());
    addButton(tr("Split"), "scissors", tr("Split at Playhead (Ctrl+B)"), [this] { editor_.splitAtPlayhead(); });
    addButton(tr("Duplicate"), "plus.square.on.square", tr("Duplicate (Ctrl+D)"), [this] { editor_.duplicateClip(); });
    addButton(tr("Delete"), "trash", tr("Delete (Del)"), [this] { editor_.deleteSelection(); });
    bar->addWidget(shortDivider());
    QToolButton* graph = addButton(tr("Graph Editor"), "chart.xyaxis.line", tr("Graph Editor (Shift+F3)"),
                                   [this](bool on) { editor_.setShowGraphEditor(on); });
    graph->setCheckable(true);
    bar->addWidget(shortDivider());
    spinner_ = new QProgressBar(this);
    spinner_->setRange(0, 0);
    spinner_->setFixedSize(40, 10);
    spinner_->setTextVisible(false);
    syncText_ = new QLabel(this);
    syncText_->setForegroundRole(QPalette::PlaceholderText);
    bar->addWidget(spinner_);
    bar->addWidget(syncText_);
    addButton(tr("Sync to Selected"), "waveform.badge.magnifyingglass",
              tr("Line up every other clip with the selected clip (e.g. reference audio), by LTC timecode or by "
                 "matching sound"),
              [this] {
                  if (editor_.selectedClip()) editor_.syncClips(editor_.selectedClipID());
              });
    bar->addStretch(1);
    auto* minus = new QLabel(this);
    minus->setPixmap(symbolPixmap(QStringLiteral("minus.magnifyingglass"), 14, secondaryColor(this)));
    zoom_ = new QSlider(Qt::Horizontal, this);
    zoom_->setRange(int(std::lround(log2Min * sliderScale)), int(std::lround(log2Max * sliderScale)));
    // 140 wide where there is room; it gives way before the buttons' labels do.
    zoom_->setMinimumWidth(40);
    zoom_->setMaximumWidth(140);
    zoom_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    zoom_->setToolTip(tr("Zoom in (=), zoom out (-), fit the whole sequence (\\)"));
    // Written only by the user's moves; the ends give exactly 4 and 800.
    connect(zoom_, &QSlider::valueChanged, this, [this](int v) {
        const double pps = v <= zoom_->minimum() ? 4.0 : v >= zoom_->maximum() ? 800.0 : std::exp2(double(v) / sliderScale);
        editor_.setPixelsPerSecond(pps);
    });
    auto* plus = new QLabel(this);
    plus->setPixmap(symbolPixmap(QStringLiteral("plus.magnifyingglass"), 14, secondaryColor(this)));
    bar->addWidget(minus);
    bar->addWidget(zoom_);
    bar->addWidget(plus);
    body->addLayout(bar);
    body->addWidget(divider(Qt::Horizontal));

    scroll_ = new QScrollArea(this);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    scroll_->setFrameShape(QFrame::NoFrame);
    auto* inner = new QWidget;
    auto* columns = new QHBoxLayout(inner);
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(0);
    columns->setAlignment(Qt::AlignTop);
    headerColumn_ = new QWidget(inner);
    headerColumn_->setFixedWidth(int(headerWidth));
    headerColumn_->setAutoFillBackground(true);
    headerColumn_->setBackgroundRole(QPalette::Window);
    headerRows_ = new QVBoxLayout(headerColumn_);
    headerRows_->setContentsMargins(0, int(rulerHeight), 0, 0);
    headerRows_->setSpacing(0);
    headerRows_->setAlignment(Qt::AlignTop);
    content_ = new TimelineContent(editor_, inner);
    content_->installEventFilter(this);
    columns->addWidget(headerColumn_, 0, Qt::AlignTop);
    columns->addWidget(divider(Qt::Vertical));
    columns->addWidget(content_, 1, Qt::AlignTop);
    scroll_->setWidget(inner);
    scroll_->viewport()->installEventFilter(this);
    body->addWidget(scroll_, 1);
    auto* hrow = new QHBoxLayout;
    hrow->setContentsMargins(int(headerWidth) + 1, 0, 0, 0);
    hbar_ = new QScrollBar(Qt::Horizontal, this);
    hrow->addWidget(hbar_);
    body->addLayout(hrow);
    connect(hbar_, &QScrollBar::valueChanged, content_, [this](int v) { content_->setScrollX(v); });

    connect(content_, &TimelineContent::extentChanged, this, &TimelineView::refresh);
    for (auto signal : {&EditorModel::selectedClipIDChanged, &EditorModel::syncStatusChanged,
                        &EditorModel::showGraphEditorChanged, &EditorModel::pixelsPerSecondChanged})
        connect(&editor_, signal, this, &TimelineView::refresh);
    connect(&editor_, &EditorModel::pixelsPerSecondChanged, this, &TimelineView::syncSlider);
    syncSlider();
    refresh();
}

QToolButton* TimelineView::button(const QString& label) const { return buttons_.value(label); }

double TimelineView::graphHeight() const {
    return std::max(200.0, std::max(editor_.timelineTracksHeight(), visibleHeight_ - rulerHeight - 16));
}

void TimelineView::syncSlider() {
    const double pps = editor_.pixelsPerSecond();
    if (!(std::isfinite(pps) && pps > 0)) return;
    const QSignalBlocker block(zoom_);
    zoom_->setValue(int(std::lround(std::log2(pps) * sliderScale)));
}

QList<PropertyHeader*> TimelineView::propertyHeaders(const QUuid& trackID) const {
    QList<PropertyHeader*> found;
    for (int i = 0; i < headerRows_->count(); ++i)
        if (auto* h = qobject_cast<PropertyHeader*>(headerRows_->itemAt(i)->widget()); h && h->trackID() == trackID)
            found << h;
    return found;
}

void TimelineView::rebuildHeaders() {
    // Rows keyed by layer id: a layer keeps its header (and the text typed in it) when layers move.
    QList<QUuid> order;
    QList<QList<int>> properties;
    for (std::size_t i = 0; i < editor_.project().tracks.size(); ++i) {
        const QUuid id = editor_.project().tracks[i].id;
        order << id;
        QList<int> shown;
        if (editor_.expandedTracks().contains(id))
            for (TransformProperty p : editor_.laneProperties(i)) shown << int(p);
        properties << shown;
    }
    if (order == headerOrder_ && properties == headerProperties_) {
        for (TrackHeader* h : std::as_const(headers_)) h->refresh();
        return;
    }
    headerOrder_ = order;
    headerProperties_ = properties;
    while (QLayoutItem* item = headerRows_->takeAt(0)) {
        // Rules and property names go at once; a header may be running the menu that removed its
        // layer, so it only leaves view here and is deleted from the event loop.
        if (QWidget* w = item->widget(); qobject_cast<PropertyHeader*>(w)) {
            w->hide();
            w->deleteLater();
        } else if (w && !qobject_cast<TrackHeader*>(w)) {
            delete w;
        }
        delete item;
    }
    QHash<QUuid, TrackHeader*> kept;
    for (qsizetype k = 0; k < order.size(); ++k) {
        TrackHeader* h = headers_.take(order[k]);
        if (!h) h = new TrackHeader(editor_, order[k], headerColumn_);
        h->refresh();
        kept.insert(order[k], h);
        headerRows_->addWidget(h);
        headerRows_->addWidget(rowDivider());
        if (!properties[k].isEmpty()) {
            for (int p : properties[k])
                headerRows_->addWidget(new PropertyHeader(editor_, order[k], TransformProperty(p), headerColumn_));
            headerRows_->addWidget(rowDivider());
        }
    }
    for (TrackHeader* gone : std::as_const(headers_)) {
        gone->hide();
        gone->deleteLater();
    }
    headers_ = kept;
}

void TimelineView::refresh() {
    const bool selected = editor_.selectedClip().has_value();
    buttons_.value(tr("Duplicate"))->setEnabled(selected);
    buttons_.value(tr("Delete"))->setEnabled(selected);
    QToolButton* sync = buttons_.value(tr("Sync to Selected"));
    sync->setEnabled(selected);
    const bool syncing = editor_.syncStatus().has_value();
    sync->setVisible(!syncing);
    spinner_->setVisible(syncing);
    syncText_->setVisible(syncing);
    syncText_->setText(editor_.syncStatus().value_or(QString()));
    {
        QToolButton* graph = buttons_.value(tr("Graph Editor"));
        const QSignalBlocker block(graph);
        graph->setChecked(editor_.showGraphEditor());
    }
    rebuildHeaders();
    layoutContent();
}

void TimelineView::layoutContent() {
    const double graph = graphHeight();
    content_->setGraphHeight(graph);
    const double lanes = editor_.showGraphEditor() ? graph : editor_.timelineTracksHeight();
    const int h = int(std::ceil(lanes + rulerHeight));
    content_->setFixedHeight(h);
    headerColumn_->setMinimumHeight(h);
    const TimelineGeometry g = content_->geometry();
    const double extent = std::min(g.contentWidth() - content_->width(), double(std::numeric_limits<int>::max() / 2));
    const QSignalBlocker block(hbar_);
    hbar_->setRange(0, std::max(0, int(std::ceil(extent))));
    hbar_->setPageStep(std::max(1, content_->width()));
    hbar_->setSingleStep(20);
    content_->setScrollX(hbar_->value());
}

bool TimelineView::eventFilter(QObject* watched, QEvent* event) {
    // Sideways wheel turns (and Shift with the wheel) scroll the content, not the layer area.
    if (watched == content_ && event->type() == QEvent::Wheel) {
        auto* wheel = static_cast<QWheelEvent*>(event);
        const QPoint d = wheel->angleDelta();
        const int sideways = d.x() != 0 ? d.x() : (wheel->modifiers() & Qt::ShiftModifier) ? d.y() : 0;
        if (sideways != 0) {
            hbar_->setValue(hbar_->value() - sideways * hbar_->singleStep() / 40);
            return true;
        }
    }
    if (event->type() == QEvent::Resize) {
        if (watched == content_) {
            editor_.setTimelineViewportWidth(content_->width());
            layoutContent();
        } else if (watched == scroll_->viewport()) {
            visibleHeight_ = scroll_->viewport()->height();
            layoutContent();
        }
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace qm
