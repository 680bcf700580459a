#include "editor/sync/sync_report.h"

#include <QCoreApplication>

#include <cmath>

namespace qm {

namespace {
QString tr(const char* text) { return QCoreApplication::translate("SyncReport", text); }
}  // namespace

QString SyncReport::Outcome::title() const {
    switch (kind) {
    case Kind::differentSpeed:
        // The word carries the sign, so the number is written without it.
        return percent >= 0 ? tr("Plays %.1f% faster than the reference").replace("%.1f", QString::asprintf("%.1f", percent))
                            : tr("Plays %.1f% slower than the reference").replace("%.1f", QString::asprintf("%.1f", std::abs(percent)));
    case Kind::timecode: return tr("Synced by timecode");
    case Kind::sound: return tr("Synced by matching sound");
    case Kind::noSound: return tr("Has no sound to compare");
    case Kind::noMatch: return tr("Can't find the same sound in the reference");
    case Kind::partial: return tr("Only a short part sounds the same");
    }
    return {};
}

QString SyncReport::Outcome::detail() const {
    switch (kind) {
    case Kind::differentSpeed:
    case Kind::noMatch: return tr("Probably a different recording or performance. Line it up by hand.");
    case Kind::noSound: return tr("Line it up by hand.");
    case Kind::partial: return tr("Line it up by hand, or use a longer part of the recording.");
    case Kind::timecode:
    case Kind::sound: return {};
    }
    return {};
}

int SyncReport::syncedCount() const {
    int count = 0;
    for (const Entry& e : entries)
        if (e.outcome.kind == Outcome::Kind::timecode || e.outcome.kind == Outcome::Kind::sound) ++count;
    return count;
}

}  // namespace qm
