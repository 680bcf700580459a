#include "platform/desktop/icons.h"

#include <QGuiApplication>
#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QStandardPaths>

namespace qm {

namespace {

const QHash<QString, QString>& table() {
    static const QHash<QString, QString> symbols = {
        {QStringLiteral("plus"), QStringLiteral("list-add")},
        {QStringLiteral("folder"), QStringLiteral("folder")},
        {QStringLiteral("film"), QStringLiteral("video-x-generic")},
        {QStringLiteral("magnifyingglass"), QStringLiteral("edit-find")},
        {QStringLiteral("exclamationmark.triangle"), QStringLiteral("emblem-warning")},
        {QStringLiteral("xmark.circle.fill"), QStringLiteral("edit-delete-remove")},
        {QStringLiteral("xmark.octagon.fill"), QStringLiteral("dialog-error")},
        {QStringLiteral("list.bullet"), QStringLiteral("view-list-details")},
        {QStringLiteral("arrow.right.circle"), QStringLiteral("go-next")},
        {QStringLiteral("stop.fill"), QStringLiteral("media-playback-stop")},
        {QStringLiteral("arrow.triangle.2.circlepath"), QStringLiteral("view-refresh")},
        {QStringLiteral("play.fill"), QStringLiteral("media-playback-start")},
        {QStringLiteral("pause.fill"), QStringLiteral("media-playback-pause")},
        {QStringLiteral("backward.end.fill"), QStringLiteral("media-skip-backward")},
        {QStringLiteral("backward.frame.fill"), QStringLiteral("media-seek-backward")},
        {QStringLiteral("forward.frame.fill"), QStringLiteral("media-seek-forward")},
        {QStringLiteral("forward.end.fill"), QStringLiteral("media-skip-forward")},
        {QStringLiteral("square.and.arrow.down"), QStringLiteral("document-import")},
        {QStringLiteral("text.line.first.and.arrowtriangle.forward"), QStringLiteral("view-media-lyrics")},
        {QStringLiteral("doc.text"), QStringLiteral("text-x-generic")},
        {QStringLiteral("doc.richtext"), QStringLiteral("x-office-document")},
        {QStringLiteral("plus.rectangle.on.rectangle"), QStringLiteral("document-new")},
        {QStringLiteral("text.below.photo"), QStringLiteral("insert-image")},
        {QStringLiteral("square.and.arrow.up"), QStringLiteral("document-export")},
        {QStringLiteral("checkmark.circle"), QStringLiteral("dialog-ok")},
        {QStringLiteral("text.magnifyingglass"), QStringLiteral("edit-find-replace")},
        {QStringLiteral("stopwatch"), QStringLiteral("chronometer")},
        {QStringLiteral("stopwatch.fill"), QStringLiteral("chronometer-start")},
        {QStringLiteral("chevron.left"), QStringLiteral("arrow-left")},
        {QStringLiteral("chevron.right"), QStringLiteral("arrow-right")},
        {QStringLiteral("link"), QStringLiteral("link")},
        {QStringLiteral("link.badge.plus"), QStringLiteral("insert-link")},
        {QStringLiteral("eyedropper"), QStringLiteral("color-picker")},
        {QStringLiteral("scissors"), QStringLiteral("edit-cut")},
        {QStringLiteral("plus.square.on.square"), QStringLiteral("edit-copy")},
        {QStringLiteral("trash"), QStringLiteral("edit-delete")},
        {QStringLiteral("chart.xyaxis.line"), QStringLiteral("office-chart-line")},
        {QStringLiteral("waveform.badge.magnifyingglass"), QStringLiteral("audio-x-generic")},
        {QStringLiteral("minus.magnifyingglass"), QStringLiteral("zoom-out")},
        {QStringLiteral("plus.magnifyingglass"), QStringLiteral("zoom-in")},
        {QStringLiteral("eye"), QStringLiteral("view-visible")},
        {QStringLiteral("eye.slash"), QStringLiteral("view-hidden")},
        {QStringLiteral("speaker.wave.2"), QStringLiteral("audio-volume-high")},
        {QStringLiteral("speaker.slash"), QStringLiteral("audio-volume-muted")},
        {QStringLiteral("ellipsis"), QStringLiteral("overflow-menu")},
    };
    return symbols;
}

// Symbols the theme has no fitting icon for are drawn: solid shapes whose inner mark is cut out,
// so a tint colours the shape and the mark stays readable on any background (a selected row).
using Drawing = void (*)(QPainter&, qreal size);

void clearMode(QPainter& p) { p.setCompositionMode(QPainter::CompositionMode_Clear); }

void drawCheckDisc(QPainter& p, qreal s) {
    p.setPen(Qt::NoPen);
    p.drawEllipse(QRectF(0.04 * s, 0.04 * s, 0.92 * s, 0.92 * s));
    clearMode(p);
    QPen mark(Qt::black, 0.12 * s, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(mark);
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF{{0.29 * s, 0.52 * s}, {0.44 * s, 0.67 * s}, {0.71 * s, 0.37 * s}});
}

void drawExclamationDisc(QPainter& p, qreal s) {
    p.setPen(Qt::NoPen);
    p.drawEllipse(QRectF(0.04 * s, 0.04 * s, 0.92 * s, 0.92 * s));
    clearMode(p);
    p.setPen(QPen(Qt::black, 0.12 * s, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(0.5 * s, 0.26 * s), QPointF(0.5 * s, 0.54 * s));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(0.5 * s, 0.72 * s), 0.07 * s, 0.07 * s);
}

void drawWarningTriangle(QPainter& p, qreal s) {
    QPen edge(p.brush().color(), 0.1 * s, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(edge);
    p.drawPolygon(QPolygonF{{0.5 * s, 0.1 * s}, {0.93 * s, 0.88 * s}, {0.07 * s, 0.88 * s}});
    clearMode(p);
    p.setPen(QPen(Qt::black, 0.12 * s, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(0.5 * s, 0.38 * s), QPointF(0.5 * s, 0.6 * s));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(0.5 * s, 0.75 * s), 0.065 * s, 0.065 * s);
}

// One frame of film: a solid strip with sprocket holes along both edges and a picture window.
void drawFilmFrame(QPainter& p, const QRectF& r) {
    const auto mode = p.compositionMode();
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(r, r.width() * 0.08, r.width() * 0.08);
    clearMode(p);
    const qreal band = r.height() * 0.2;
    const qreal hole = band * 0.5;
    constexpr int holes = 6;
    const qreal step = r.width() / holes;
    for (int i = 0; i < holes; ++i) {
        const qreal x = r.left() + step * (i + 0.5) - hole / 2;
        p.drawRect(QRectF(x, r.top() + (band - hole) / 2, hole, hole));
        p.drawRect(QRectF(x, r.bottom() - band + (band - hole) / 2, hole, hole));
    }
    p.drawRect(QRectF(r.left() + step * 0.4, r.top() + band, r.width() - step * 0.8, r.height() - 2 * band));
    p.setCompositionMode(mode);
}

void drawFilmStack(QPainter& p, qreal s) {
    const QRectF front(0.04 * s, 0.34 * s, 0.74 * s, 0.56 * s);
    drawFilmFrame(p, front.translated(0.18 * s, -0.24 * s));
    clearMode(p);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(front.adjusted(-0.05 * s, -0.05 * s, 0.05 * s, 0.05 * s), 0.08 * s, 0.08 * s);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    drawFilmFrame(p, front);
}

// The keyframe marks: a diamond outline and a solid diamond.
QPolygonF diamond(qreal s, qreal inset) {
    return QPolygonF{{0.5 * s, inset}, {s - inset, 0.5 * s}, {0.5 * s, s - inset}, {inset, 0.5 * s}};
}

void drawDiamond(QPainter& p, qreal s) {
    p.setPen(QPen(p.brush().color(), 0.1 * s, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPolygon(diamond(s, 0.12 * s));
}

void drawDiamondFill(QPainter& p, qreal s) {
    p.setPen(Qt::NoPen);
    p.drawPolygon(diamond(s, 0.07 * s));
}

const QHash<QString, Drawing>& drawings() {
    static const QHash<QString, Drawing> symbols = {
        {QStringLiteral("checkmark.circle.fill"), &drawCheckDisc},
        // The theme's warning icon is a speech bubble, which reads as nothing once tinted.
        {QStringLiteral("exclamationmark.circle.fill"), &drawExclamationDisc},
        {QStringLiteral("exclamationmark.triangle.fill"), &drawWarningTriangle},
        {QStringLiteral("film.stack"), &drawFilmStack},
        {QStringLiteral("diamond"), &drawDiamond},
        {QStringLiteral("diamond.fill"), &drawDiamondFill},
    };
    return symbols;
}

class DrawnIconEngine : public QIconEngine {
public:
    explicit DrawnIconEngine(Drawing drawing) : drawing_(drawing) {}
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        // Drawn apart first: the cut-outs must clear the symbol, not what lies under it.
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        const int side = std::min(rect.width(), rect.height());
        QImage image(QSize(side, side) * ratio, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(ratio);
        image.fill(Qt::transparent);
        {
            QPainter p(&image);
            p.setRenderHint(QPainter::Antialiasing);
            QColor colour = QGuiApplication::palette().color(QPalette::WindowText);
            if (mode == QIcon::Disabled) colour.setAlphaF(0.35f);
            p.setBrush(colour);
            drawing_(p, side);
        }
        painter->drawImage(QPointF(rect.x() + (rect.width() - side) / 2.0, rect.y() + (rect.height() - side) / 2.0),
                           image);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return pixmap;
    }
    QIconEngine* clone() const override { return new DrawnIconEngine(drawing_); }

private:
    Drawing drawing_;
};

}  // namespace

void installIconTheme() {
    // Without a desktop platform theme (offscreen, bare X servers) Qt searches only its resources;
    // the installed themes live in the XDG data folders.
    QStringList paths = QIcon::themeSearchPaths();
    for (const QString& dir : QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation)) {
        const QString icons = dir + QStringLiteral("/icons");
        if (!paths.contains(icons)) paths.append(icons);
    }
    if (!paths.contains(QStringLiteral("/usr/share/icons"))) paths.append(QStringLiteral("/usr/share/icons"));
    QIcon::setThemeSearchPaths(paths);
    QIcon::setThemeName(QString::fromLatin1(kIconTheme));
}

QString themeIconName(const QString& symbol) { return table().value(symbol); }

QIcon symbolIcon(const QString& symbol) {
    if (const Drawing drawing = drawings().value(symbol)) return QIcon(new DrawnIconEngine(drawing));
    const QString name = themeIconName(symbol);
    if (name.isEmpty()) return {};
    return QIcon::fromTheme(name);
}

QPixmap symbolPixmap(const QString& symbol, int size, const QColor& tint) {
    QPixmap pixmap = symbolIcon(symbol).pixmap(size, size);
    if (pixmap.isNull() || !tint.isValid()) return pixmap;
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), tint);
    return pixmap;
}

QStringList knownSymbols() {
    QStringList names = table().keys() + drawings().keys();
    names.sort();
    return names;
}

}  // namespace qm
