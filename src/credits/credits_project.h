#pragma once
// A saved credits project: settings, output, the Chinese conversion decisions and references to
// the opening picture, closing picture and credits list. On disk a folder (".qmcredits") holding
// "project.json", and in a package also "Media" with copies of the inputs.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <QByteArray>
#include <QString>

#include "credits/credits_settings.h"
#include "documents/chinese_converter.h"
#include "engine/conversion_settings.h"

namespace qm {

struct CreditsProject {
    struct FileReference {
        std::string name;                   // last path component, shown when the file is missing
        std::optional<std::string> packaged;  // relative to the project folder, when inside it
        std::optional<QByteArray> bookmark;   // for a file outside the folder
        std::optional<std::string> path;      // the standardized absolute path
        bool operator==(const FileReference&) const = default;

        // A reference to `file` for a project in `folder`: a packaged path when the file lies
        // inside the folder (a textual test on cleaned paths), a bookmark otherwise; the path
        // always. None for an empty file path.
        static std::optional<FileReference> make(const QString& file, const QString& folder);

        // The file a reference leads to, tried in order: the packaged copy (only a relative path
        // without ".." that stays inside the folder once links are followed), the bookmark (access
        // is started), the readable path. An empty text when none leads anywhere.
        static QString resolve(const std::optional<FileReference>& reference, const QString& folder);
    };

    int64_t version = 1;
    CreditsSettings settings;
    ConversionSettings output;
    std::map<std::string, std::string> conversionOverrides;  // decimal choice id -> option
    std::optional<FileReference> head;
    std::optional<FileReference> tail;
    std::optional<FileReference> document;
    bool operator==(const CreditsProject&) const = default;

    // Sorted keys, indented by 2, every "/" written "\/"; absent references are left out.
    // Throws std::invalid_argument for a number that is not finite.
    std::string toJsonText() const;
    // Throws std::invalid_argument for text that is not JSON, a missing required member or a
    // member of the wrong kind. Settings and output are read tolerantly, key by key.
    static CreditsProject fromJsonText(std::string_view text);

    // Creates the folder (with its parents) and replaces its "project.json" whole. Throws
    // std::runtime_error or std::invalid_argument with a text for the user.
    void writePackage(const QString& folder) const;
    // Reads folder/"project.json". Throws std::runtime_error or std::invalid_argument.
    static CreditsProject readPackage(const QString& folder);

    // Decisions in the stored form and back. Reading keeps keys of an optional sign and ASCII
    // digits naming an id in range; other members are dropped. Keys naming the same id ("7",
    // "+7", "007"): the last in key order wins.
    static std::map<std::string, std::string> storedOverrides(const ChineseConverter::Overrides& overrides);
    ChineseConverter::Overrides overrides() const;
};

}  // namespace qm
