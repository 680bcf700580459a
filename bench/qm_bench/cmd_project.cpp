// qm-bench project-open / project-eval / project-sync: open an editor project as the editor does
// and print what it holds, its values at a time, or the result of a sync write-back.

#include <charconv>
#include <cstdio>
#include <optional>
#include <string>

#include <QSaveFile>

#include "editor/model/project.h"
#include "registry.h"

namespace {

using qm::Project;

std::string uuid(const QUuid& id) { return id.toString(QUuid::WithoutBraces).toUpper().toStdString(); }

std::optional<double> parseNumber(const std::string& text) {
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return v;
}

std::optional<QUuid> parseUuid(const std::string& text) {
    const QUuid id = QUuid::fromString(QString::fromStdString(text));
    if (id.isNull() || text.size() != 36) return std::nullopt;
    return id;
}

// Written whole or not at all.
bool writeFile(const std::string& path, const QByteArray& bytes) {
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), file.errorString().toUtf8().constData());
        return false;
    }
    return true;
}

int usage(const char* text) {
    std::fprintf(stderr, "usage: qm-bench %s\n", text);
    return 2;
}

// Opens the project, or prints the refusal and gives nothing.
std::optional<Project> open(const std::string& path) {
    try {
        return Project::open(QString::fromStdString(path));
    } catch (const qm::ProjectFileError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return std::nullopt;
    }
}

int projectOpen(const std::vector<std::string>& args) {
    std::string path, out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--out" && i + 1 < args.size())
            out = args[++i];
        else
            path = args[i];
    }
    if (path.empty()) return usage("project-open PATH [--out FILE]");
    const auto project = open(path);
    if (!project) return 1;
    std::size_t clips = 0;
    for (const auto& track : project->tracks) clips += track.clips.size();
    std::printf("duration %.17g\ntracks %zu\nclips %zu\nmedia %zu\n", project->duration(), project->tracks.size(), clips,
                project->media.size());
    for (const auto& item : project->media)
        std::printf("media %s %s\n", uuid(item.id).c_str(), item.path.toUtf8().constData());
    if (!out.empty() && !writeFile(out, project->encoded())) return 1;
    return 0;
}

int projectEval(const std::vector<std::string>& args) {
    std::string path;
    std::optional<double> time;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--time" && i + 1 < args.size())
            time = parseNumber(args[++i]);
        else
            path = args[i];
    }
    if (path.empty() || !time) return usage("project-eval PATH --time SECONDS");
    const auto project = open(path);
    if (!project) return 1;
    std::printf("duration %.17g\n", project->duration());
    for (std::size_t i = 0; i < project->tracks.size(); ++i) {
        const qm::Clip* clip = project->tracks[i].clip(*time);
        if (!clip) {
            std::printf("track %zu none\n", i);
            continue;
        }
        std::printf("track %zu clip %s opacity %.17g\n", i, uuid(clip->id).c_str(), clip->effectiveOpacity(*time));
        if (!clip->transform) continue;
        const double local = *time - clip->start + clip->sourceIn;
        for (qm::TransformProperty property : qm::allTransformProperties) {
            const auto value = clip->transform->valueOf(property, local);
            const std::string name(qm::rawValue(property));
            if (const auto* v = std::get_if<qm::Vec2>(&value))
                std::printf("track %zu %s %.17g %.17g\n", i, name.c_str(), v->x, v->y);
            else
                std::printf("track %zu %s %.17g\n", i, name.c_str(), std::get<double>(value));
        }
        std::printf("track %zu curve", i);
        for (int step = 0; step <= 10; ++step) std::printf(" %.17g", clip->transform->effects.curve.value(step / 10.0));
        std::printf("\n");
    }
    return 0;
}

int projectSync(const std::vector<std::string>& args) {
    constexpr const char* kUsage = "project-sync PATH --reference CLIP-UUID [--offset MEDIA-UUID=SECONDS]... --out FILE";
    std::string path, out;
    std::optional<QUuid> reference;
    QHash<QUuid, double> offsets;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--reference" && i + 1 < args.size()) {
            reference = parseUuid(args[++i]);
            if (!reference) return usage(kUsage);
        } else if (args[i] == "--offset" && i + 1 < args.size()) {
            const std::string& pair = args[++i];
            const auto eq = pair.find('=');
            const auto id = eq == std::string::npos ? std::nullopt : parseUuid(pair.substr(0, eq));
            const auto seconds = eq == std::string::npos ? std::nullopt : parseNumber(pair.substr(eq + 1));
            if (!id || !seconds) return usage(kUsage);
            offsets.insert(*id, *seconds);
        } else if (args[i] == "--out" && i + 1 < args.size()) {
            out = args[++i];
        } else {
            path = args[i];
        }
    }
    if (path.empty() || !reference || out.empty()) return usage(kUsage);
    auto project = open(path);
    if (!project) return 1;
    const int moved = project->applySync(*reference, offsets);
    std::printf("moved %d\n", moved);
    return writeFile(out, project->encoded()) ? 0 : 1;
}

const qm::bench::Register openCommand{"project-open", "PATH [--out FILE]   open an editor project and list it", projectOpen};
const qm::bench::Register evalCommand{"project-eval", "PATH --time SECONDS   values of every track's clip at a time",
                                      projectEval};
const qm::bench::Register syncCommand{
    "project-sync", "PATH --reference CLIP-UUID [--offset MEDIA-UUID=SECONDS]... --out FILE   sync write-back",
    projectSync};

}  // namespace
