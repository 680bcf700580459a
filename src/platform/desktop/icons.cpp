#include "platform/desktop/icons.h"

#include <QHash>
#include <QPainter>
#include <QStandardPaths>

namespace qm {

namespace {

const QHash<QString, QString>& table() {
    static const QHash<QString, QString> symbols = {
        {QStringLiteral("plus"), QStringLiteral("list-add")},
        {QStringLiteral("folder"), QStringLiteral("folder")},
        {QStringLiteral("film"), QStringLiteral("video-x-generic")},
        {QStringLiteral("film.stack"), QStringLiteral("folder-videos")},
        {QStringLiteral("checkmark.circle.fill"), QStringLiteral("dialog-ok-apply")},
        {QStringLiteral("magnifyingglass"), QStringLiteral("edit-find")},
        {QStringLiteral("exclamationmark.triangle.fill"), QStringLiteral("dialog-warning")},
        {QStringLiteral("exclamationmark.triangle"), QStringLiteral("emblem-warning")},
        {QStringLiteral("xmark.circle.fill"), QStringLiteral("edit-delete-remove")},
        {QStringLiteral("list.bullet"), QStringLiteral("view-list-details")},
        {QStringLiteral("arrow.right.circle"), QStringLiteral("go-next")},
        {QStringLiteral("stop.fill"), QStringLiteral("media-playback-stop")},
        {QStringLiteral("arrow.triangle.2.circlepath"), QStringLiteral("view-refresh")},
        {QStringLiteral("play.fill"), QStringLiteral("media-playback-start")},
        {QStringLiteral("pause.fill"), QStringLiteral("media-playback-pause")},
    };
    return symbols;
}

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
    QStringList names = table().keys();
    names.sort();
    return names;
}

}  // namespace qm
