#pragma once
// Small pieces the mode models share: plain property assignment, results posted back from
// worker threads, and paths for the engine.

#include <filesystem>
#include <utility>

#include <QMetaObject>
#include <QObject>
#include <QString>

namespace qm {

inline std::filesystem::path toPath(const QString& path) { return std::filesystem::path(path.toStdString()); }

// Stores a property's new value and emits its change signal, only when the value differs.
template <typename Owner, typename T, typename V>
void assignAndNotify(Owner* owner, T& field, V&& value, void (Owner::*changed)()) {
    if (value == field) return;
    field = std::forward<V>(value);
    emit(owner->*changed)();
}

// Runs f on the owner's thread after the events already waiting there; never when the owner is
// destroyed first.
template <typename F>
void postTo(QObject* owner, F&& f) {
    QMetaObject::invokeMethod(owner, std::forward<F>(f), Qt::QueuedConnection);
}

}  // namespace qm
