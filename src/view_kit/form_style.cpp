#include "view_kit/form_style.h"

#include <QFontDatabase>
#include <QColor>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QWidget>

#include "platform/desktop/icons.h"

namespace qm {

QFrame* divider(Qt::Orientation orientation) {
    auto* line = new QFrame;
    line->setFrameShape(orientation == Qt::Horizontal ? QFrame::HLine : QFrame::VLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QFont calloutFont(const QFont& base) {
    QFont callout = base;
    callout.setPointSizeF(base.pointSizeF() - 1);
    return callout;
}

QFont captionFont(const QFont& base) {
    QFont caption = base;
    caption.setPointSizeF(base.pointSizeF() * 0.85);
    return caption;
}

QFont digitsFont(const QFont& base, double scale) {
    QFont digits = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    digits.setPointSizeF(base.pointSizeF() * scale);
    return digits;
}

// Qt 6.4 has no accent role: the selection colour stands for it, the placeholder's for secondary.
QColor accentColor(const QWidget* widget) { return widget->palette().color(QPalette::Highlight); }
QColor secondaryColor(const QWidget* widget) { return widget->palette().color(QPalette::PlaceholderText); }

QLabel* tintedSymbolLabel(const QString& symbol, const QColor& colour, int size, QWidget* parent) {
    QPixmap pixmap = symbolIcon(symbol).pixmap(size, size);
    if (!pixmap.isNull()) {
        QPainter p(&pixmap);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(pixmap.rect(), colour);
    }
    auto* label = new QLabel(parent);
    label->setPixmap(pixmap);
    label->setObjectName(symbol);
    return label;
}

}  // namespace qm
