#include "platform/desktop/icons.h"
#include "platform/desktop/qt_desktop_services.h"

#include <QApplication>

#include "support/qt_app.h"
#include <QSet>

#include <gtest/gtest.h>

namespace qm {
namespace {

QApplication& app() { return test::qtApp<QApplication>(); }

TEST(SymbolIcons, EverySymbolResolvesInTheThemeAndDistinctSymbolsLookDistinct) {
    app();
    installIconTheme();
    QSet<QString> names;
    for (const QString& symbol : knownSymbols()) {
        const QString name = themeIconName(symbol);
        EXPECT_TRUE(QIcon::hasThemeIcon(name)) << symbol.toStdString() << " -> " << name.toStdString();
        EXPECT_FALSE(symbolIcon(symbol).isNull()) << symbol.toStdString();
        names.insert(name);
    }
    EXPECT_EQ(names.size(), knownSymbols().size()) << "two symbols share one icon";
    EXPECT_TRUE(symbolIcon(QStringLiteral("no.such.symbol")).isNull());
}

TEST(PanelFilters, MoviePanelsOfferMoviesThenEverything) {
    app();
    const QStringList filters = panelNameFilters({PanelContentType::movie});
    ASSERT_EQ(filters.size(), 2);
    EXPECT_TRUE(filters[0].contains(QStringLiteral("*.mov")));
    EXPECT_TRUE(filters[0].contains(QStringLiteral("*.mxf")));
    EXPECT_EQ(filters[1], QStringLiteral("All files (*)"));
    EXPECT_TRUE(panelNameFilters({}).isEmpty());
}

}  // namespace
}  // namespace qm
