#pragma once
// The small pieces of look the modes' forms share: dividers, the caption size and digits that
// keep their width.

#include <QFont>
#include <Qt>

class QFrame;
class QLabel;
class QString;
class QWidget;
class QColor;

namespace qm {

QFrame* divider(Qt::Orientation orientation);
// The callout size of a font: one point below it.
QFont calloutFont(const QFont& base);
// The caption size of a font.
QFont captionFont(const QFont& base);
// The fixed-pitch font at the size of `base` times `scale`, for numbers that change as they run.
QFont digitsFont(const QFont& base, double scale = 1.0);

// Active state (an animated property, a keyframe under the playhead) and inactive state.
QColor accentColor(const QWidget* widget);
QColor secondaryColor(const QWidget* widget);

// A label showing the theme's symbol painted in one colour; its object name is the symbol's.
QLabel* tintedSymbolLabel(const QString& symbol, const QColor& colour, int size, QWidget* parent = nullptr);

}  // namespace qm
