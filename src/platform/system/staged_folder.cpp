#include "platform/system/staged_folder.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string_view>
#include <system_error>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "platform/system/file_error.h"
#include "platform/system/user_file.h"

namespace qm {

namespace {

bool isPackageName(std::string_view name) {
    const auto endsWith = [&](std::string_view extension) {
        return name.size() > extension.size() &&
               std::ranges::equal(name.substr(name.size() - extension.size()), extension,
                                  [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
    };
    return endsWith(".qmpack") || endsWith(".qmcredits");
}

}  // namespace

void clearDeadPackageRuns(const QString& folder) {
    const std::filesystem::path path = QFile::encodeName(folder).toStdString();
    sweepPartialsIn(path, isPackageName, "partial");
    std::error_code ec, kind;
    for (std::filesystem::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with('.') && isPackageName(name) && it->symlink_status(kind).type() == std::filesystem::file_type::directory)
            clearStagingMarker(it->path());
    }
}

namespace {

// Removes what killed runs for this target left: marked staging folders and, while the target
// is in place, old items set aside during a swap. With the target gone, the old item set aside
// is the last whole package and takes its name again. A folder whose run is still going holds
// its lock and stays; what is not provably ours stays too. The package at the target loses the
// marker a run killed just after swapping it in (or putting it back) left inside.
void removeStaleSiblings(const std::filesystem::path& target) {
    restoreSetAside(target);
    clearStagingMarker(target);
    sweepPartials(target);
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(target, ec))) sweepPartials(target, "old");
    // And what killed saves of any file, and packages of any name, in the folder left.
    sweepPartialsIn(target.parent_path(), [](std::string_view) { return true; }, "saving");
    clearDeadPackageRuns(QFile::decodeName(QByteArray::fromStdString(target.parent_path().string())));
}

}  // namespace

StagedFolder::StagedFolder(QString target) : target_(QDir::cleanPath(QFileInfo(target).absoluteFilePath())) {
    const QString parent = QFileInfo(target_).absolutePath();
    if (!QDir().mkpath(parent)) throwFileError("Could not create the folder", parent);
    const std::filesystem::path path = QFile::encodeName(target_).toStdString();
    removeStaleSiblings(path);
    try {
        folder_.emplace(path);
    } catch (const std::system_error& e) {
        throwFileError("Could not create", target_, systemReason(e.code().value()));
    }
    staging_ = QFile::decodeName(QByteArray::fromStdString(folder_->path().string()));
}

QString StagedFolder::userText(QString text) const { return text.replace(staging_, target_); }

void StagedFolder::commit() {
    if (const int error = folder_->replace(); error != 0) throwFileError("Could not move into place", target_, systemReason(error));
}

}  // namespace qm
