#pragma once
// The error of a failed file step, worded for the user: the step, the path in quotes and the
// system's reason in parentheses when there is one.

#include <stdexcept>

#include <QString>

namespace qm {

[[noreturn]] inline void throwFileError(const char* step, const QString& path, const QString& reason = {}) {
    QString text = QStringLiteral("%1 “%2”").arg(QString::fromUtf8(step), path);
    if (!reason.isEmpty()) text += QStringLiteral(" (%1)").arg(reason);
    throw std::runtime_error(text.toStdString());
}

}  // namespace qm
