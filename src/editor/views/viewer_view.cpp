#include "editor/views/viewer_view.h"

#include <algorithm>
#include <cmath>

#include <QFrame>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QRegion>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

#include "editor/editor_model.h"
#include "editor/sync/timecode.h"
#include "editor/timecode_text.h"
#include "editor/views/selection_overlay.h"
#include "platform/desktop/icons.h"
#include "view_kit/form_style.h"

namespace qm {

namespace {

constexpr int kInset = 12;

const QBrush& checkerBrush() {
    // One 20 × 20 tile: light ground, dark squares at (0, 0) and (10, 10).
    static const QBrush brush = [] {
        QImage tile(20, 20, QImage::Format_RGB32);
        tile.fill(QColor::fromRgbF(0.8f, 0.8f, 0.8f));
        QPainter p(&tile);
        const QColor dark = QColor::fromRgbF(0.65f, 0.65f, 0.65f);
        p.fillRect(0, 0, 10, 10, dark);
        p.fillRect(10, 10, 10, 10, dark);
        p.end();
        return QBrush(tile);
    }();
    return brush;
}

// The grey pane with the canvas; paints the background, the checkerboard or black and the preview.
class PictureArea : public QWidget {
public:
    PictureArea(EditorModel& model, QWidget* parent) : QWidget(parent), model_(model) {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }
    QRectF canvas() const {
        const QRectF inner = QRectF(rect()).adjusted(kInset, kInset, -kInset, -kInset);
        const QSizeF size = fittedCanvas(inner.size(), model_.project().width, model_.project().height);
        return QRectF(inner.center().x() - size.width() / 2, inner.center().y() - size.height() / 2, size.width(),
                      size.height());
    }

    // Over the whole pane, so that handles of a clip hanging over the canvas edge can be grabbed.
    SelectionOverlay* overlay = nullptr;
    void placeOverlay() {
        if (!overlay) return;
        overlay->setGeometry(rect());
        overlay->setCanvasRect(canvas());
    }

protected:
    void resizeEvent(QResizeEvent*) override { placeOverlay(); }
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const QRectF c = canvas();
        // The grey surround only where the canvas cannot cover: a full-screen fill under it would
        // cost as much as the picture's own draw.
        const QRect inside(QPoint(int(std::ceil(c.left())), int(std::ceil(c.top()))),
                           QPoint(int(std::floor(c.right())) - 1, int(std::floor(c.bottom())) - 1));
        for (const QRect& r : QRegion(rect()).subtracted(QRegion(inside))) p.fillRect(r, QColor::fromRgbF(0.08f, 0.08f, 0.08f));
        const QImage& image = model_.previewImage();
        // A picture known to be opaque hides whatever lies under it.
        if (model_.project().transparentBackground)
            paintCheckerboard(p, c);
        else if (image.isNull() || image.hasAlphaChannel())
            p.fillRect(c, Qt::black);
        if (!image.isNull()) {
            p.setRenderHint(QPainter::SmoothPixmapTransform);
            p.drawImage(c, image);
        }
    }

private:
    EditorModel& model_;
};

QToolButton* transportButton(const QString& symbol, const QString& help, QWidget* parent) {
    auto* b = new QToolButton(parent);
    b->setIcon(symbolIcon(symbol));
    b->setToolTip(help);
    b->setAccessibleName(help);
    b->setAutoRaise(true);
    // Space and the arrows belong to the editor's key monitor, not to a focused button.
    b->setFocusPolicy(Qt::NoFocus);
    return b;
}

}  // namespace

QSizeF fittedCanvas(QSizeF area, int projectWidth, int projectHeight) {
    const double aspect = double(projectWidth) / double(std::max(projectHeight, 1));
    const double w = area.width();
    const double h = area.height();
    QSizeF size;
    if (!(aspect > 0) || !std::isfinite(aspect))
        size = QSizeF(1, 1);
    else if (w / aspect > h)
        size = QSizeF(h * aspect, h);
    else
        size = QSizeF(w, w / aspect);
    return QSizeF(std::max(size.width(), 1.0), std::max(size.height(), 1.0));
}

void paintCheckerboard(QPainter& painter, const QRectF& rect) {
    painter.save();
    QBrush brush = checkerBrush();
    brush.setTransform(QTransform::fromTranslate(rect.left(), rect.top()));
    painter.fillRect(rect, brush);
    painter.restore();
}

QString projectSizeText(int width, int height, double frameRate) {
    return ViewerView::tr("%1×%2 · %3 fps").arg(width).arg(height).arg(QString::number(frameRate, 'g', 6));
}

LTCLines ltcLines(const Project& project, const Timecode& timecode, const Clip& clip, const LTCInfo& info) {
    const MediaItem* media = project.mediaItem(clip.mediaID);
    return {ViewerView::tr("LTC %1").arg(QString::fromStdString(timecode.displayText())),
            ViewerView::tr("%1 · %2 fps").arg(media ? media->name : QString(), QString::fromStdString(info.rateText()))};
}

ViewerView::ViewerView(EditorModel& model, QWidget* parent)
    : QWidget(parent),
      model_(model),
      picture_(new PictureArea(model, this)),
      prompt_(new QLabel(tr("Import media and drag it onto the timeline"), picture_)),
      banner_(new QWidget(picture_)),
      timecode_(new QLabel(this)),
      projectText_(new QLabel(this)),
      ltcBlock_(new QWidget(this)),
      ltcTimecode_(new QLabel(ltcBlock_)),
      ltcSource_(new QLabel(ltcBlock_)),
      start_(transportButton(QStringLiteral("backward.end.fill"), tr("Go to Start"), this)),
      back_(transportButton(QStringLiteral("backward.frame.fill"), tr("Previous Frame (←)"), this)),
      play_(transportButton(QStringLiteral("play.fill"), tr("Play / Pause (Space)"), this)),
      forward_(transportButton(QStringLiteral("forward.frame.fill"), tr("Next Frame (→)"), this)),
      end_(transportButton(QStringLiteral("forward.end.fill"), tr("Go to End"), this)),
      overlay_(new SelectionOverlay(model, picture_)) {
    static_cast<PictureArea*>(picture_)->overlay = overlay_;
    picture_->setMinimumWidth(420);
    picture_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    prompt_->setAlignment(Qt::AlignCenter);
    prompt_->setStyleSheet(QStringLiteral("color: rgba(255,255,255,150);"));
    prompt_->setAttribute(Qt::WA_TransparentForMouseEvents);
    banner_->setAttribute(Qt::WA_TransparentForMouseEvents);
    banner_->setAttribute(Qt::WA_StyledBackground);
    banner_->setObjectName(QStringLiteral("eyedropperBanner"));
    banner_->setStyleSheet(QStringLiteral(
        "#eyedropperBanner { background: rgba(40,40,40,200); border-radius: 12px; } QLabel { color: white; }"));
    {
        auto* symbol = new QLabel(banner_);
        symbol->setObjectName(QStringLiteral("symbol"));
        symbol->setPixmap(symbolPixmap(QStringLiteral("eyedropper"), 16, Qt::white));
        auto* row = new QHBoxLayout(banner_);
        row->setContentsMargins(10, 5, 10, 5);
        row->setSpacing(6);
        row->addWidget(symbol);
        row->addWidget(new QLabel(tr("Click the background colour to remove"), banner_));
    }
    auto* overlay = new QGridLayout(picture_);
    overlay->setContentsMargins(0, 18, 0, 0);
    overlay->addWidget(banner_, 0, 0, Qt::AlignHCenter | Qt::AlignTop);
    overlay->addWidget(prompt_, 0, 0, Qt::AlignCenter);

    play_->setAccessibleName(QString());
    play_->setIconSize(QSize(22, 22));
    play_->setFixedWidth(28);
    const QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    timecode_->setFont(mono);
    timecode_->setFixedWidth(110);
    QFont caption = projectText_->font();
    caption.setPointSizeF(caption.pointSizeF() * 0.85);
    projectText_->setFont(caption);
    projectText_->setForegroundRole(QPalette::PlaceholderText);
    projectText_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    projectText_->setMinimumWidth(110);

    ltcTimecode_->setFont(mono);
    QPalette accent = ltcTimecode_->palette();
    accent.setColor(QPalette::WindowText, accentColor(this));
    ltcTimecode_->setPalette(accent);
    QFont caption2 = projectText_->font();
    caption2.setPointSizeF(caption2.pointSizeF() * 0.8);
    ltcSource_->setFont(caption2);
    ltcSource_->setForegroundRole(QPalette::PlaceholderText);
    ltcBlock_->setMaximumWidth(190);
    ltcBlock_->setToolTip(tr("Timecode read from the LTC audio of the clip under the playhead"));
    auto* ltcColumn = new QVBoxLayout(ltcBlock_);
    ltcColumn->setContentsMargins(0, 0, 0, 0);
    ltcColumn->setSpacing(0);
    ltcColumn->addWidget(ltcTimecode_);
    ltcColumn->addWidget(ltcSource_);

    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(12, 8, 12, 8);
    bar->setSpacing(14);
    bar->addWidget(timecode_);
    bar->addWidget(ltcBlock_, 0, Qt::AlignLeft | Qt::AlignVCenter);
    bar->addStretch(1);
    for (QToolButton* b : transportButtons()) bar->addWidget(b);
    bar->addStretch(1);
    bar->addWidget(projectText_);

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setForegroundRole(QPalette::Mid);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(picture_, 1);
    column->addWidget(line);
    column->addLayout(bar);

    connect(start_, &QToolButton::clicked, this, [this] { model_.seek(0); });
    connect(back_, &QToolButton::clicked, this, [this] { model_.stepFrames(-1); });
    connect(play_, &QToolButton::clicked, this, [this] { model_.isPlaying() ? model_.pause() : model_.play(); });
    connect(forward_, &QToolButton::clicked, this, [this] { model_.stepFrames(1); });
    connect(end_, &QToolButton::clicked, this, [this] { model_.seek(model_.project().duration()); });

    for (auto signal : {&EditorModel::projectChanged, &EditorModel::playheadChanged, &EditorModel::isPlayingChanged,
                        &EditorModel::isPickingKeyColorChanged, &EditorModel::ltcChanged,
                        &EditorModel::selectedClipIDChanged})
        connect(&model_, signal, this, &ViewerView::refresh);
    connect(&model_, &EditorModel::previewImageChanged, picture_, qOverload<>(&QWidget::update));
    refresh();
}

QRectF ViewerView::canvasRect() const { return static_cast<PictureArea*>(picture_)->canvas(); }

QList<QToolButton*> ViewerView::transportButtons() const { return {start_, back_, play_, forward_, end_}; }

void ViewerView::refresh() {
    const Project& p = model_.project();
    timecode_->setText(formatTimecode(model_.playhead(), p.frameRate));
    projectText_->setText(projectSizeText(p.width, p.height, p.frameRate));
    const auto ltc = model_.timecodeAtPlayhead();
    ltcBlock_->setVisible(ltc.has_value());
    if (ltc) {
        const LTCLines lines = ltcLines(p, ltc->timecode, ltc->clip, ltc->info);
        ltcTimecode_->setText(lines.timecode);
        ltcSource_->setText(ltcSource_->fontMetrics().elidedText(lines.source, Qt::ElideMiddle, 190));
    }
    play_->setIcon(symbolIcon(model_.isPlaying() ? QStringLiteral("pause.fill") : QStringLiteral("play.fill")));
    prompt_->setVisible(p.media.empty());
    banner_->setVisible(model_.isPickingKeyColor());
    static_cast<PictureArea*>(picture_)->placeOverlay();
    picture_->update();
}

}  // namespace qm
