#include "view_kit/form_style.h"

#include <QFontDatabase>
#include <QFrame>

namespace qm {

QFrame* divider(Qt::Orientation orientation) {
    auto* line = new QFrame;
    line->setFrameShape(orientation == Qt::Horizontal ? QFrame::HLine : QFrame::VLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
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

}  // namespace qm
