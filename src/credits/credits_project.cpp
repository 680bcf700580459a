#include "credits/credits_project.h"

#include <charconv>
#include <limits>
#include <stdexcept>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <nlohmann/json.hpp>

#include "platform/system/bookmarks.h"
#include "platform/system/package_copy.h"
#include "platform/system/user_file.h"

namespace qm {

namespace {

using Json = nlohmann::json;

constexpr qint64 kMaxProjectBytes = 64 << 20;

[[noreturn]] void malformed(const std::string& what) { throw std::invalid_argument("The project file " + what + "."); }

const Json& required(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) malformed(std::string("has no “") + key + "” member");
    return *it;
}

[[noreturn]] void wrongKind(const char* key) { malformed(std::string("has a “") + key + "” member of the wrong kind"); }

std::optional<std::string> optionalText(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    if (!it->is_string()) wrongKind(key);
    return it->get<std::string>();
}

Json referenceJson(const CreditsProject::FileReference& reference) {
    Json json = Json::object();
    json["name"] = reference.name;
    if (reference.packaged) json["packaged"] = *reference.packaged;
    if (reference.bookmark) json["bookmark"] = reference.bookmark->toBase64().toStdString();
    if (reference.path) json["path"] = *reference.path;
    return json;
}

std::optional<CreditsProject::FileReference> readReference(const Json& project, const char* key) {
    const auto it = project.find(key);
    if (it == project.end() || it->is_null()) return std::nullopt;
    if (!it->is_object()) wrongKind(key);
    CreditsProject::FileReference reference;
    const Json& name = required(*it, "name");
    if (!name.is_string()) wrongKind("name");
    reference.name = name.get<std::string>();
    reference.packaged = optionalText(*it, "packaged");
    reference.path = optionalText(*it, "path");
    if (const auto text = optionalText(*it, "bookmark")) {
        const auto decoded = QByteArray::fromBase64Encoding(QByteArray::fromStdString(*text),
                                                            QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded) wrongKind("bookmark");
        reference.bookmark = *decoded;
    }
    return reference;
}

std::optional<int> overrideID(const std::string& key) {
    std::string_view digits = key;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) return std::nullopt;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    int64_t magnitude = 0;
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (result.ec != std::errc() || result.ptr != digits.data() + digits.size()) return std::nullopt;
    const int64_t value = negative ? -magnitude : magnitude;
    // Choice ids are ints; a larger number can name no choice.
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) return std::nullopt;
    return static_cast<int>(value);
}

}  // namespace

std::optional<CreditsProject::FileReference> CreditsProject::FileReference::make(const QString& file,
                                                                                  const QString& folder) {
    if (file.isEmpty()) return std::nullopt;
    const QString root = QDir::cleanPath(QFileInfo(folder).absoluteFilePath()) + QLatin1Char('/');
    const QString path = QDir::cleanPath(QFileInfo(file).absoluteFilePath());
    FileReference reference;
    reference.name = QFileInfo(path).fileName().toStdString();
    reference.path = path.toStdString();
    if (path.startsWith(root)) {
        reference.packaged = path.mid(root.size()).toStdString();
    } else {
        reference.bookmark = createBookmark(path, BookmarkScope::securityScoped);
        if (!reference.bookmark) reference.bookmark = createBookmark(path, BookmarkScope::plain);
    }
    return reference;
}

QString CreditsProject::FileReference::resolve(const std::optional<FileReference>& reference, const QString& folder) {
    if (!reference) return {};
    if (reference->packaged) {
        if (const auto copy = packagedCopy(folder, QString::fromStdString(*reference->packaged))) return *copy;
    }
    if (reference->bookmark) {
        auto resolved = resolveBookmark(*reference->bookmark, BookmarkScope::securityScoped);
        if (!resolved) resolved = resolveBookmark(*reference->bookmark, BookmarkScope::plain);
        if (resolved) {
            startAccessing(resolved->path);
            if (QFileInfo::exists(resolved->path)) return resolved->path;
        }
    }
    if (reference->path) {
        const QString path = QString::fromStdString(*reference->path);
        const QFileInfo info(path);
        if (info.isFile() && info.isReadable()) return QDir::cleanPath(info.absoluteFilePath());
    }
    return {};
}

std::string CreditsProject::toJsonText() const {
    Json json = Json::object();
    json["version"] = version;
    json["settings"] = Json(settings.toJson());
    json["output"] = Json(output.toJson());
    json["conversionOverrides"] = Json(conversionOverrides);
    if (head) json["head"] = referenceJson(*head);
    if (tail) json["tail"] = referenceJson(*tail);
    if (document) json["document"] = referenceJson(*document);
    std::string text = json.dump(2);
    // "/" occurs only inside strings in this document, so escaping every one is exact.
    std::string escaped;
    escaped.reserve(text.size() + 64);
    for (char c : text) {
        if (c == '/') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

CreditsProject CreditsProject::fromJsonText(std::string_view text) {
    const Json json = Json::parse(text, nullptr, false);
    if (json.is_discarded()) malformed("isn’t valid JSON");
    if (!json.is_object()) malformed("isn’t a JSON object");
    CreditsProject project;
    const Json& version = required(json, "version");
    if (!version.is_number_integer() ||
        (version.is_number_unsigned() && version.get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max()))) {
        wrongKind("version");
    }
    project.version = version.get<int64_t>();
    const Json& settings = required(json, "settings");
    if (!settings.is_object()) wrongKind("settings");
    project.settings = CreditsSettings::fromJson(settings);
    const Json& output = required(json, "output");
    if (!output.is_object()) wrongKind("output");
    project.output = ConversionSettings::fromJson(output);
    const Json& overrides = required(json, "conversionOverrides");
    if (!overrides.is_object()) wrongKind("conversionOverrides");
    for (const auto& [key, value] : overrides.items()) {
        if (!value.is_string()) wrongKind("conversionOverrides");
        project.conversionOverrides[key] = value.get<std::string>();
    }
    project.head = readReference(json, "head");
    project.tail = readReference(json, "tail");
    project.document = readReference(json, "document");
    return project;
}

void CreditsProject::writePackage(const QString& folder) const {
    std::string text;
    try {
        text = toJsonText();
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(std::string("The project couldn’t be saved: ") + e.what() + ".");
    }
    if (!QDir().mkpath(folder)) {
        throw std::runtime_error(QStringLiteral("Could not create the folder “%1”").arg(folder).toStdString());
    }
    const QString file = QDir(folder).filePath(QStringLiteral("project.json"));
    // Through a link that leaves the package, a package from someone else would have its user
    // overwrite any file they may write.
    if (!isInsidePackage(folder, file))
        throw std::runtime_error("“project.json” could not be written: it lies outside the package.");
    const QString reason = writeUserFile(file, QByteArray::fromStdString(text));
    if (!reason.isEmpty()) throw std::runtime_error(QStringLiteral("Could not write “%1” (%2)").arg(file, reason).toStdString());
}

CreditsProject CreditsProject::readPackage(const QString& folder) {
    QFile in(QDir(folder).filePath(QStringLiteral("project.json")));
    if (!isInsidePackage(folder, in.fileName()))
        throw std::runtime_error("“project.json” could not be read: it lies outside the package.");
    // A named pipe would block the read until some writer came.
    if (QFileInfo(in.fileName()).exists() && !QFileInfo(in.fileName()).isFile())
        throw std::runtime_error("“project.json” could not be read (Not a regular file).");
    if (!in.open(QIODevice::ReadOnly)) {
        throw std::runtime_error(QStringLiteral("“project.json” could not be read (%1).").arg(in.errorString()).toStdString());
    }
    if (in.size() > kMaxProjectBytes) malformed("is too large");
    const QByteArray bytes = in.readAll();
    return fromJsonText(std::string_view(bytes.constData(), size_t(bytes.size())));
}

std::map<std::string, std::string> CreditsProject::storedOverrides(const ChineseConverter::Overrides& overrides) {
    std::map<std::string, std::string> stored;
    for (const auto& [id, option] : overrides) stored[std::to_string(id)] = option;
    return stored;
}

ChineseConverter::Overrides CreditsProject::overrides() const {
    ChineseConverter::Overrides result;
    for (const auto& [key, option] : conversionOverrides) {
        if (const auto id = overrideID(key)) result[*id] = option;
    }
    return result;
}

}  // namespace qm
