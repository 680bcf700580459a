// The project file: exact bytes on write, the defaults of optional keys, and every way a damaged
// or hand-made file is refused with an error that names the place.

#include <cmath>
#include <functional>
#include <limits>
#include <set>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "editor_model/sample_project.h"

namespace qm {
namespace {

using Json = nlohmann::json;
using Kind = ProjectFileError::Kind;

std::string text(const QByteArray& bytes) { return bytes.toStdString(); }

Json sampleJson() { return Json::parse(text(test::sampleProject().encoded())); }

// Decodes the sample after `change`; returns the error, or nothing when the read succeeds.
std::optional<ProjectFileError> refusal(const std::string& bytes) {
    try {
        Project::decode(bytes);
    } catch (const ProjectFileError& e) {
        return e;
    }
    return std::nullopt;
}
std::optional<ProjectFileError> refusal(const std::function<void(Json&)>& change) {
    Json json = sampleJson();
    change(json);
    return refusal(json.dump());
}

TEST(ProjectFile, WritesStableSortedEscapedBytes) {
    const Project project = test::sampleProject();
    const std::string first = text(project.encoded());
    const Project back = Project::decode(first);
    EXPECT_EQ(back, project);
    EXPECT_EQ(text(back.encoded()), first);

    EXPECT_NE(first.find(R"("path": "\/media\/shoot\/cam a.mov")"), std::string::npos);
    EXPECT_NE(first.find(R"("name": "Töne \/ Layer 2")"), std::string::npos);
    std::string plain = first;
    for (std::size_t at; (at = plain.find("\\/")) != std::string::npos;) plain.replace(at, 2, "/");
    EXPECT_EQ(Project::decode(plain), project) << "\"/\" and \"\\/\" read alike";

    const Json json = Json::parse(first);
    const Json& media = json["media"][1];
    EXPECT_FALSE(media.contains("bookmark") || media.contains("packagedPath"));
    EXPECT_FALSE(json["tracks"][1]["clips"][0].contains("transform"));
    EXPECT_EQ(json["tracks"][0]["clips"][0]["transform"].size(), 13u);
    EXPECT_EQ(json["tracks"][0]["clips"][0]["transform"]["uniformScale"], false);
    EXPECT_EQ(json["media"][0]["bookmark"], "L21lZGlhL3Nob290L2NhbSBhLm1vdg==");
}

TEST(ProjectFile, OptionalKeysTakeTheirDefaults) {
    Json json = sampleJson();
    Json& transform = json["tracks"][0]["clips"][0]["transform"];
    for (const char* key : {"keyTolerance", "keySoftness", "keySpill", "exposure", "contrast", "uniformScale"})
        transform.erase(key);
    transform["saturation"] = nullptr;
    transform["effects"] = nullptr;
    Json& key = transform["position"]["keyframes"][0];
    for (const char* k : {"easeIn", "easeOut", "inInfluence", "inVelocity", "outInfluence"}) key.erase(k);
    key["outVelocity"] = nullptr;
    json["media"][0]["bookmark"] = nullptr;

    const Project p = Project::decode(json.dump());
    const ClipTransform& t = *p.tracks[0].clips[0].transform;
    const ClipTransform defaults;
    for (auto [read, expected] : {std::pair{&t.keyTolerance, 20.0}, std::pair{&t.keySoftness, 10.0}, std::pair{&t.keySpill, 50.0},
                                  std::pair{&t.exposure, 0.0}, std::pair{&t.contrast, 0.0}, std::pair{&t.saturation, 100.0}})
        EXPECT_EQ(*read, (Animatable<double>{expected, {}}));
    EXPECT_TRUE(t.uniformScale);
    EXPECT_EQ(t.effects, defaults.effects);
    const Keyframe<Vec2>& k = t.position.keyframes[0];
    EXPECT_EQ(k.easeIn, KeyframeEase::linear);
    EXPECT_EQ(k.easeOut, KeyframeEase::linear);
    EXPECT_EQ(k.inInfluence, 0.3333333333333333);
    EXPECT_EQ(k.outVelocity, 0);
    EXPECT_FALSE(p.media[0].bookmark);
}

TEST(ProjectFile, ReadSortsKeyframesAndCurves) {
    const Json original = sampleJson();
    Json json = original;
    Json& transform = json["tracks"][0]["clips"][0]["transform"];
    Json& keys = transform["rotation"]["keyframes"];
    std::swap(keys[0], keys[1]);
    Json& points = transform["effects"]["curve"]["points"];
    std::swap(points[0], points[2]);
    EXPECT_EQ(Project::decode(json.dump()), Project::decode(original.dump()));
}

TEST(ProjectFile, NonFiniteNumbersAreNeverWritten) {
    Project p = test::sampleProject();
    p.tracks[1].clips[0].volume = NAN;
    try {
        p.encoded();
        FAIL() << "NaN written";
    } catch (const ProjectFileError& e) {
        EXPECT_EQ(e.kind(), Kind::notFinite);
        EXPECT_EQ(e.place(), "tracks[1].clips[0].volume");
    }
    p = test::sampleProject();
    p.tracks[0].clips[0].transform->position.keyframes[1].value.y = INFINITY;
    EXPECT_THROW(p.encoded(), ProjectFileError);
}

// Every key of the sample, removed in turn: the optional ones read, every other one fails at
// exactly its place.
TEST(ProjectFile, EachRequiredKeyIsRequired) {
    const std::set<std::string> optionalKeys{"bookmark",     "packagedPath", "transform",  "easeIn",    "easeOut",
                                             "inInfluence",  "inVelocity",   "outInfluence", "outVelocity", "keyTolerance",
                                             "keySoftness",  "keySpill",     "exposure",   "contrast",  "saturation",
                                             "uniformScale", "effects"};
    const Json sample = sampleJson();
    int checked = 0;
    std::function<void(const Json&, const Json::json_pointer&, const std::string&)> walk =
        [&](const Json& value, const Json::json_pointer& pointer, const std::string& place) {
            if (value.is_array()) {
                for (std::size_t i = 0; i < value.size(); ++i)
                    walk(value[i], pointer / i, place + "[" + std::to_string(i) + "]");
                return;
            }
            if (!value.is_object()) return;
            for (const auto& [key, child] : value.items()) {
                const std::string here = place.empty() ? key : place + "." + key;
                const auto error = refusal([&](Json& json) { json[pointer].erase(key); });
                if (optionalKeys.contains(key)) {
                    EXPECT_FALSE(error) << here << ": " << error->what();
                } else {
                    ASSERT_TRUE(error) << here;
                    EXPECT_EQ(error->kind(), Kind::missingKey) << here;
                    EXPECT_EQ(error->place(), here);
                    EXPECT_NE(std::string(error->what()).find(here), std::string::npos);
                }
                ++checked;
                walk(child, pointer / key, here);
            }
        };
    walk(sample, Json::json_pointer(), "");
    EXPECT_GT(checked, 150);
}

TEST(ProjectFile, RefusedValues) {
    const std::string clip = "/tracks/0/clips/0";
    const std::string medium = "/media/0";
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    struct Case {
        std::string pointer;
        Json value;
        Kind kind;
        std::string place;
    } cases[] = {
        {clip + "/blendMode", "Normal", Kind::invalidValue, "tracks[0].clips[0].blendMode"},
        {clip + "/fit", "FIT", Kind::invalidValue, "tracks[0].clips[0].fit"},
        {clip + "/transform/rotation/keyframes/0/easeOut", "Hold", Kind::invalidValue,
         "tracks[0].clips[0].transform.rotation.keyframes[0].easeOut"},
        {clip + "/volume", "1", Kind::wrongType, "tracks[0].clips[0].volume"},
        {"/tracks/1/isVisible", nullptr, Kind::wrongType, "tracks[1].isVisible"},
        {"/tracks/1/name", 5, Kind::wrongType, "tracks[1].name"},
        {clip + "/transform/position/value", Json::array({1, 2}), Kind::wrongType, "tracks[0].clips[0].transform.position.value"},
        {medium + "/width", 1.5, Kind::wrongType, "media[0].width"},
        {medium + "/width", 4294967296LL, Kind::outOfRange, "media[0].width"},
        {clip + "/id", "not-a-uuid", Kind::invalidValue, "tracks[0].clips[0].id"},
        {clip + "/mediaID", "{00000000-0000-0000-0000-000000000000}", Kind::invalidValue, "tracks[0].clips[0].mediaID"},
        {"/tracks/0/id", "0000000G-0000-0000-0000-000000000000", Kind::invalidValue, "tracks[0].id"},
        {medium + "/bookmark", "abc", Kind::invalidValue, "media[0].bookmark"},
        {medium + "/bookmark", "a=bc", Kind::invalidValue, "media[0].bookmark"},
        {"/width", 0, Kind::outOfRange, "width"},
        {"/height", -1, Kind::outOfRange, "height"},
        {"/frameRate", 0, Kind::outOfRange, "frameRate"},
        {"/frameRate", 0.09, Kind::outOfRange, "frameRate"},
        {"/frameRate", 1000.5, Kind::outOfRange, "frameRate"},
        {clip + "/start", 1e12, Kind::outOfRange, "tracks[0].clips[0].start"},
        {clip + "/duration", 1e300, Kind::outOfRange, "tracks[0].clips[0].duration"},
        {clip + "/start", 359995.0, Kind::outOfRange, "tracks[0].clips[0]"},  // ends past 100 hours
        // Volumes the mix would turn into infinite samples.
        {clip + "/volume", 1e308, Kind::outOfRange, "tracks[0].clips[0].volume"},
        {clip + "/volume", -1.0001e30, Kind::outOfRange, "tracks[0].clips[0].volume"},
    };
    for (const auto& c : cases) {
        const auto error = refusal([&](Json& json) { json[Json::json_pointer(c.pointer)] = c.value; });
        ASSERT_TRUE(error) << c.pointer << " = " << c.value.dump().substr(0, 40);
        EXPECT_EQ(error->kind(), c.kind) << c.pointer << ": " << error->what();
        EXPECT_EQ(error->place(), c.place);
    }

    const std::string good = sampleJson().dump();
    std::string overflow = good;
    overflow.replace(overflow.find("29.97"), 5, "1e999");
    std::string badUtf8 = good;
    badUtf8.replace(badUtf8.find("ton.wav"), 3, "\xff\xfe");
    // Spliced in as text: dumping a deeply nested value recurses and overflows the stack.
    Json placeholder = sampleJson();
    placeholder["tracks"][0] = "NESTED";
    std::string nested = placeholder.dump();
    nested.replace(nested.find("\"NESTED\""), 8, std::string(5000, '[') + std::string(5000, ']'));
    for (const std::string& bytes : {overflow, good.substr(0, good.size() / 2), std::string(), std::string("[]"), badUtf8,
                                     deep, nested, std::string("{\"width\": 1e400}")}) {
        const auto error = refusal(bytes);
        ASSERT_TRUE(error) << bytes.substr(0, 40);
        EXPECT_TRUE(error->kind() == Kind::malformed || error->kind() == Kind::wrongType) << error->what();
    }

    // Accepted: upper or lower case UUIDs, integers for doubles, the range ends, unknown keys.
    Json json = sampleJson();
    json["tracks"][0]["id"] = "a1b2c3d4-0000-4000-8000-00000000abcd";
    json["tracks"][0]["clips"][0]["volume"] = 2;
    json["width"] = 16384;
    json["frameRate"] = 0.1;
    json["future"] = {{"anything", true}};
    json["media"][0]["bookmark"] = "";
    const Project p = Project::decode(json.dump());
    EXPECT_EQ(p.tracks[0].id, QUuid("{a1b2c3d4-0000-4000-8000-00000000abcd}"));
    EXPECT_EQ(p.tracks[0].clips[0].volume, 2.0);

    // Up to the mix's limit a volume reads as written.
    json["tracks"][1]["clips"][0]["volume"] = -1e30;
    EXPECT_EQ(Project::decode(json.dump()).tracks[1].clips[0].volume, -1e30);
}

// Numbers far outside what the inspector lets through, as the graph editor and hand-made files
// leave them, read as written and save back unchanged, keyframe values and ease handles too; what
// is no number is refused at its place.
TEST(ProjectFile, NumbersBeyondTheInspectorsLimitsReadAsWritten) {
    const auto at = [](const std::string& field) { return Json::json_pointer("/tracks/0/clips/0/transform/" + field); };
    const std::tuple<const char*, double, double> limits[] = {{"rotation", -36000, 36000}, {"opacity", 0, 100}, {"keyTolerance", 0, 100},
        {"keySoftness", 0, 100}, {"keySpill", 0, 100}, {"exposure", -5, 5}, {"contrast", -100, 100}, {"saturation", 0, 300}};
    for (const auto& [key, low, high] : limits) {
        Json json = sampleJson();
        Json k = json[at("rotation/keyframes/0")];
        k["value"] = -1e308;
        k["inInfluence"] = 1e308, k["outInfluence"] = -1e308, k["inVelocity"] = -1e308, k["outVelocity"] = 1e308;
        json[at(key)] = {{"value", low - 24.5}, {"keyframes", Json::array({k})}};
        const Project p = Project::decode(json.dump());
        const Animatable<double>& read = p.tracks[0].clips[0].transform->scalar(*transformPropertyFromRaw(key));
        const Keyframe<double>& h = read.keyframes[0];
        EXPECT_EQ((std::vector{read.value, h.value, h.inInfluence, h.outInfluence, h.inVelocity, h.outVelocity}),
                  (std::vector{low - 24.5, -1e308, 1e308, -1e308, -1e308, 1e308})) << key;
        EXPECT_EQ(Json::parse(text(p.encoded()))[at(key)], json[at(key)]) << key;
        EXPECT_EQ(Project::decode(text(p.encoded())), p) << key;
    }

    // Colours and curve points beyond 0…1 too; a clip's plain opacity moves into a transform
    // unclamped, held only where its percentage passes the largest double.
    Json json = sampleJson();
    json[at("scale/value")] = {{"x", 1e308}, {"y", -1e308}};
    json[at("effects/keyColor")] = {{"r", 1e308}, {"g", -2}, {"b", 0.5}};
    json[at("effects/curve/points")] = Json::array({{{"x", -1e308}, {"y", 7}}, {{"x", 0.5}, {"y", 0.5}}});
    json["tracks"][1]["clips"][0]["opacity"] = 1e307;  // 1e309 percent
    json["tracks"][1]["clips"][0]["mediaID"] = json["media"][0]["id"];
    const Project p = Project::decode(json.dump());
    const ClipTransform& t = *p.tracks[0].clips[0].transform;
    EXPECT_EQ(t.scale.value, (Vec2{1e308, -1e308}));
    EXPECT_EQ(t.effects.keyColor, (RGBColor{1e308, -2, 0.5}));
    EXPECT_EQ(t.effects.curve.points, (std::vector<Vec2>{{-1e308, 7}, {0.5, 0.5}}));
    EXPECT_EQ(p.defaultTransform(p.tracks[1].clips[0])->opacity.value, std::numeric_limits<double>::max());
    EXPECT_EQ(Project::decode(text(p.encoded())), p);
    EXPECT_EQ(refusal([&](Json& j) { j[at("rotation/keyframes/1/value")] = "NaN"; }).value().place(),
              "tracks[0].clips[0].transform.rotation.keyframes[1].value");
}

}  // namespace
}  // namespace qm
