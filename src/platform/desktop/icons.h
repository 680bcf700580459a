#pragma once
// The one table from the symbol names the views use to icons of the installed icon theme, plus
// the few symbols drawn here. Views get icons only through symbolIcon().

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QStringList>

namespace qm {

// The theme the table is drawn from.
inline constexpr const char* kIconTheme = "breeze";

// Selects the icon theme for the process; call once after the application object exists.
void installIconTheme();

// The freedesktop icon name for a symbol name, or an empty string for a symbol not in the table
// (unknown, or one of the few drawn here because no theme icon fits).
QString themeIconName(const QString& symbol);

// The icon for a symbol name (a null icon for an unknown symbol).
QIcon symbolIcon(const QString& symbol);

// The symbol drawn at a size, optionally filled with one colour (for green checkmarks, red
// warnings and the like).
QPixmap symbolPixmap(const QString& symbol, int size, const QColor& tint = QColor());

// Every symbol name in the table.
QStringList knownSymbols();

}  // namespace qm
