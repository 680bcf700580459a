#include "view_kit/form_style.h"

#include <QFontDatabase>
#include <QColor>
#include <QFrame>
#include <QPalette>
#include <QWidget>

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

}  // namespace qm
