#pragma once
// The current mode, stored as its raw text under "appMode". Modes not part of this build read as
// Convert; the stored text is replaced only when a mode is chosen.

#include <QObject>
#include <QString>

#include "app/app_mode.h"

namespace qm {

class ModeSetting : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kKey = "appMode";

    explicit ModeSetting(QObject* parent = nullptr);

    // True for the modes this build has.
    static bool isBuilt(AppMode mode);

    AppMode mode() const;
    void setMode(AppMode mode);

    // The raw stored text (the opened-file routing reads and writes it directly).
    QString storedText() const;
    void writeStoredText(const QString& text);

signals:
    void modeChanged(qm::AppMode mode);

private:
    AppMode last_;
};

}  // namespace qm
