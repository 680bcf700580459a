#include "platform/desktop/icons.h"

#include <QApplication>

#include "support/qt_app.h"
#include <QSet>

#include <gtest/gtest.h>

namespace qm {
namespace {

QApplication& app() { return test::qtApp<QApplication>(); }

TEST(SymbolIcons, EverySymbolResolvesAndDistinctSymbolsLookDistinct) {
    app();
    installIconTheme();
    QSet<QString> names;
    int drawn = 0;
    for (const QString& symbol : knownSymbols()) {
        const QString name = themeIconName(symbol);
        EXPECT_FALSE(symbolIcon(symbol).isNull()) << symbol.toStdString();
        if (name.isEmpty()) {
            ++drawn;
            continue;
        }
        EXPECT_TRUE(QIcon::hasThemeIcon(name)) << symbol.toStdString() << " -> " << name.toStdString();
        names.insert(name);
    }
    EXPECT_EQ(names.size() + drawn, knownSymbols().size()) << "two symbols share one icon";
    EXPECT_TRUE(symbolIcon(QStringLiteral("no.such.symbol")).isNull());
}

// A tinted filled symbol keeps its mark cut out, so it reads on a selected row's highlight too.
TEST(SymbolIcons, TintedFilledSymbolsKeepTheirMarkCutOut) {
    app();
    installIconTheme();
    const QColor green(0x28, 0xa7, 0x45);
    const QImage check = symbolPixmap(QStringLiteral("checkmark.circle.fill"), 32, green).toImage();
    ASSERT_EQ(check.width(), 32);
    EXPECT_EQ(check.pixelColor(6, 16), green) << "the disc is solid";
    EXPECT_EQ(check.pixelColor(14, 21).alpha(), 0) << "the check is a hole in the disc";
    EXPECT_EQ(check.pixelColor(0, 0).alpha(), 0) << "outside the disc";
    const QImage warning = symbolPixmap(QStringLiteral("exclamationmark.triangle.fill"), 32, Qt::red).toImage();
    EXPECT_EQ(warning.pixelColor(16, 24).alpha(), 0) << "the exclamation mark's dot";
    EXPECT_EQ(warning.pixelColor(9, 26), QColor(Qt::red));
}

}  // namespace
}  // namespace qm
