#pragma once
// The result of lining clips up with a reference clip: one entry per media item that took part.

#include <QString>
#include <QUuid>

#include <vector>

namespace qm {

struct SyncReport {
    struct Outcome {
        enum class Kind { differentSpeed, timecode, sound, noSound, noMatch, partial };
        Kind kind = Kind::noMatch;
        double percent = 0;  // differentSpeed only: positive when the clip plays faster

        static Outcome differentSpeed(double percent) { return {Kind::differentSpeed, percent}; }
        static Outcome timecode() { return {Kind::timecode, 0}; }
        static Outcome sound() { return {Kind::sound, 0}; }
        static Outcome noSound() { return {Kind::noSound, 0}; }
        static Outcome noMatch() { return {Kind::noMatch, 0}; }
        static Outcome partial() { return {Kind::partial, 0}; }

        // The one-line text and the hint under it (empty for the two synced outcomes), translated.
        QString title() const;
        QString detail() const;

        // The percent takes part only for differentSpeed.
        bool operator==(const Outcome& other) const {
            return kind == other.kind && (kind != Kind::differentSpeed || percent == other.percent);
        }
    };

    struct Entry {
        QUuid id = QUuid::createUuid();
        QString name;
        Outcome outcome;
        bool operator==(const Entry&) const = default;
    };

    QUuid id = QUuid::createUuid();
    QString referenceName;
    std::vector<Entry> entries;

    // Entries lined up by timecode or by sound.
    int syncedCount() const;

    bool operator==(const SyncReport&) const = default;
};

}  // namespace qm
