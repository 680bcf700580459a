// The project file: one JSON object with sorted keys, pretty-printed, "/" escaped as "\/". The
// read is strict: a missing key, a wrong type or an unknown raw value fails the whole read with
// an error that names the place, since a half-read project would be saved back damaged. Every
// finite number is kept as written, also beyond the inspector's ranges: the graph editor's drags
// store such values, and the drawing steps bound whatever they cannot take.

#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>
#include <cstring>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "editor/model/audio_mix.h"
#include "editor/model/project.h"
#include "engine/render_timing.h"

namespace qm {

namespace {

using Json = nlohmann::json;
using Kind = ProjectFileError::Kind;

// Where a value sits in the file, kept on the stack while reading or writing and turned into
// text only for an error.
struct Place {
    const Place* parent = nullptr;
    const char* key = nullptr;  // null: an array element
    std::size_t index = 0;

    Place operator/(const char* child) const { return {this, child, 0}; }
    Place operator[](std::size_t i) const { return {this, nullptr, i}; }

    std::string text() const {
        std::vector<const Place*> chain;
        for (const Place* p = this; p && p->parent; p = p->parent) chain.push_back(p);
        std::string out;
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            if ((*it)->key) {
                if (!out.empty()) out += '.';
                out += (*it)->key;
            } else {
                out += '[' + std::to_string((*it)->index) + ']';
            }
        }
        return out;
    }
};

[[noreturn]] void fail(Kind kind, const Place& place, const std::string& problem) {
    const std::string where = place.text();
    throw ProjectFileError(kind, where,
                           "The project file cannot be read: " + (where.empty() ? std::string("the project") : where) +
                               " " + problem + ".");
}

// ---- reading ----

const Json& objectAt(const Json& value, const Place& place) {
    if (!value.is_object()) fail(Kind::wrongType, place, "must be an object");
    return value;
}

const Json& arrayAt(const Json& value, const Place& place) {
    if (!value.is_array()) fail(Kind::wrongType, place, "must be a list");
    return value;
}

// The member `key` of an object; missing fails.
const Json& required(const Json& object, const Place& here);

// The required list `here.key` of an object, each element read by `read`.
template <typename Read>
auto readList(const Json& object, const Place& here, Read read) {
    const Json& list = arrayAt(required(object, here), here);
    std::vector<decltype(read(list[0], here[0]))> out;
    out.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) out.push_back(read(list[i], here[i]));
    return out;
}

const Json& required(const Json& object, const Place& here) {
    const auto it = object.find(here.key);
    if (it == object.end()) fail(Kind::missingKey, here, "is missing");
    return *it;
}

// The member `key` of an object, or null when it is missing or null.
const Json* optional(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() || it->is_null() ? nullptr : &*it;
}

double numberAt(const Json& value, const Place& place) {
    if (!value.is_number()) fail(Kind::wrongType, place, "must be a number");
    const double number = value.get<double>();
    // The parser already refuses 1e999; this keeps any other way to infinity out of the model.
    if (!std::isfinite(number)) fail(Kind::notFinite, place, "must be a finite number");
    return number;
}

double readNumber(const Json& object, const Place& here) { return numberAt(required(object, here), here); }

int readInt(const Json& object, const Place& here, long long low = INT_MIN, long long high = INT_MAX) {
    const Json& value = required(object, here);
    // get<int>() would truncate 1.5 to 1 without a word.
    if (!value.is_number_integer()) fail(Kind::wrongType, here, "must be a whole number");
    bool fits;
    if (value.is_number_unsigned()) {
        const auto u = value.get<unsigned long long>();
        fits = u <= static_cast<unsigned long long>(high) && (low <= 0 || u >= static_cast<unsigned long long>(low));
    } else {
        const auto v = value.get<long long>();
        fits = v >= low && v <= high;
    }
    if (!fits) fail(Kind::outOfRange, here, "must lie between " + std::to_string(low) + " and " + std::to_string(high));
    return static_cast<int>(value.get<long long>());
}

bool boolAt(const Json& value, const Place& place) {
    if (!value.is_boolean()) fail(Kind::wrongType, place, "must be true or false");
    return value.get<bool>();
}

bool readBool(const Json& object, const Place& here) { return boolAt(required(object, here), here); }

const std::string& stringAt(const Json& value, const Place& place) {
    if (!value.is_string()) fail(Kind::wrongType, place, "must be a text");
    return value.get_ref<const std::string&>();
}

QString readString(const Json& object, const Place& here) {
    return QString::fromStdString(stringAt(required(object, here), here));
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// 8-4-4-4-12 hexadecimal digits, either case, nothing else.
std::optional<QUuid> parseUuid(const std::string& text) {
    if (text.size() != 36) return std::nullopt;
    uint8_t bytes[16];
    std::size_t b = 0;
    for (std::size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        const int hi = hexDigit(text[i]), lo = hexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes[b++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
    }
    return QUuid::fromRfc4122(QByteArrayView(reinterpret_cast<const char*>(bytes), 16));
}

QUuid readUuid(const Json& object, const Place& here) {
    const auto uuid = parseUuid(stringAt(required(object, here), here));
    if (!uuid) fail(Kind::invalidValue, here, "is not a UUID");
    return *uuid;
}

// Standard alphabet, padded to a multiple of four, no white space.
std::optional<QByteArray> parseBase64(const std::string& text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '=') {
            if (i + 2 < text.size()) return std::nullopt;
            ++padding;
            continue;
        }
        if (padding > 0) return std::nullopt;
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/')) return std::nullopt;
    }
    return QByteArray::fromBase64(QByteArray::fromStdString(text));
}

template <typename Enum>
Enum readEnum(const Json& value, const Place& place, std::optional<Enum> (*fromRaw)(std::string_view), const char* what) {
    const auto parsed = fromRaw(stringAt(value, place));
    if (!parsed) fail(Kind::invalidValue, place, std::string("is not ") + what);
    return *parsed;
}

template <typename T>
T readValue(const Json& value, const Place& place);

template <>
double readValue<double>(const Json& value, const Place& place) {
    return numberAt(value, place);
}

template <>
Vec2 readValue<Vec2>(const Json& value, const Place& place) {
    objectAt(value, place);
    return {readNumber(value, place / "x"), readNumber(value, place / "y")};
}

template <typename T>
Keyframe<T> readKeyframe(const Json& value, const Place& place) {
    objectAt(value, place);
    Keyframe<T> k;
    k.id = readUuid(value, place / "id");
    k.time = readNumber(value, place / "time");
    k.value = readValue<T>(required(value, place / "value"), place / "value");
    for (auto [key, field] : {std::pair{"easeIn", &k.easeIn}, std::pair{"easeOut", &k.easeOut}})
        if (const Json* v = optional(value, key)) *field = readEnum(*v, place / key, &keyframeEaseFromRaw, "linear, ease or hold");
    for (auto [key, field] : {std::pair{"inInfluence", &k.inInfluence}, std::pair{"inVelocity", &k.inVelocity},
                              std::pair{"outInfluence", &k.outInfluence}, std::pair{"outVelocity", &k.outVelocity}})
        if (const Json* v = optional(value, key)) *field = numberAt(*v, place / key);
    return k;
}

template <typename T>
Animatable<T> readAnimatable(const Json& value, const Place& place) {
    objectAt(value, place);
    Animatable<T> a;
    a.value = readValue<T>(required(value, place / "value"), place / "value");
    a.keyframes = readList(value, place / "keyframes", readKeyframe<T>);
    // A hand-edited file may list keyframes out of order; evaluation needs them sorted.
    a.sortKeyframes();
    return a;
}

RGBColor readColor(const Json& value, const Place& place) {
    objectAt(value, place);
    return {readNumber(value, place / "r"), readNumber(value, place / "g"), readNumber(value, place / "b")};
}

ClipEffects readEffects(const Json& value, const Place& place) {
    objectAt(value, place);
    ClipEffects e;
    e.keyEnabled = readBool(value, place / "keyEnabled");
    e.keyColor = readColor(required(value, place / "keyColor"), place / "keyColor");
    e.showMatte = readBool(value, place / "showMatte");
    e.colorEnabled = readBool(value, place / "colorEnabled");
    const Place curvePlace = place / "curve";
    const Json& curve = objectAt(required(value, curvePlace), curvePlace);
    e.curve.points = readList(curve, curvePlace / "points", readValue<Vec2>);
    std::stable_sort(e.curve.points.begin(), e.curve.points.end(), [](const Vec2& a, const Vec2& b) { return a.x < b.x; });
    return e;
}

ClipTransform readTransform(const Json& value, const Place& place) {
    objectAt(value, place);
    ClipTransform t;
    t.forEachProperty([&](TransformProperty property, auto& animatable) {
        using Value = std::decay_t<decltype(animatable.value)>;
        const char* key = rawValue(property).data();  // the raw values are literals, so terminated
        const bool mandatory = property <= TransformProperty::opacity;
        if (mandatory)
            animatable = readAnimatable<Value>(required(value, place / key), place / key);
        else if (const Json* v = optional(value, key))
            animatable = readAnimatable<Value>(*v, place / key);
    });
    if (const Json* v = optional(value, "uniformScale")) t.uniformScale = boolAt(*v, place / "uniformScale");
    if (const Json* v = optional(value, "effects")) t.effects = readEffects(*v, place / "effects");
    return t;
}

Clip readClip(const Json& value, const Place& place) {
    objectAt(value, place);
    Clip c;
    c.id = readUuid(value, place / "id");
    c.mediaID = readUuid(value, place / "mediaID");
    c.start = readNumber(value, place / "start");
    c.sourceIn = readNumber(value, place / "sourceIn");
    c.duration = readNumber(value, place / "duration");
    c.opacity = readNumber(value, place / "opacity");
    if (const Json* v = optional(value, "transform")) c.transform = readTransform(*v, place / "transform");
    c.blendMode = readEnum(required(value, place / "blendMode"), place / "blendMode", &blendModeFromRaw, "one of the blend modes");
    c.fit = readEnum(required(value, place / "fit"), place / "fit", &fitModeFromRaw, "fit, fill or stretch");
    c.fadeIn = readNumber(value, place / "fadeIn");
    c.fadeOut = readNumber(value, place / "fadeOut");
    c.volume = readNumber(value, place / "volume");
    // Kept as written within what the mix can add up; beyond, an export would hold infinite samples.
    if (!(std::abs(c.volume) <= kLargestClipVolume)) fail(Kind::outOfRange, place / "volume", "is too large for the sound mix");
    // Times past any real show (1e12 s) would only fill a disk on export and overflow the views.
    const std::pair<double, const char*> times[] = {
        {c.start, "start"}, {c.sourceIn, "sourceIn"}, {c.duration, "duration"}, {c.fadeIn, "fadeIn"}, {c.fadeOut, "fadeOut"}};
    for (const auto& [time, key] : times)
        if (!(std::abs(time) <= kLongestTimelineSeconds)) fail(Kind::outOfRange, place / key, "must lie within 100 hours");
    if (c.start + c.duration > kLongestTimelineSeconds) fail(Kind::outOfRange, place, "must end within 100 hours");
    return c;
}

Track readTrack(const Json& value, const Place& place) {
    objectAt(value, place);
    Track t;
    t.id = readUuid(value, place / "id");
    t.name = readString(value, place / "name");
    t.clips = readList(value, place / "clips", readClip);
    t.isVisible = readBool(value, place / "isVisible");
    t.isAudioEnabled = readBool(value, place / "isAudioEnabled");
    return t;
}

MediaItem readMedium(const Json& value, const Place& place) {
    objectAt(value, place);
    MediaItem m;
    m.id = readUuid(value, place / "id");
    m.path = readString(value, place / "path");
    if (const Json* v = optional(value, "bookmark")) {
        const auto bytes = parseBase64(stringAt(*v, place / "bookmark"));
        if (!bytes) fail(Kind::invalidValue, place / "bookmark", "is not Base64 data");
        m.bookmark = *bytes;
    }
    if (const Json* v = optional(value, "packagedPath")) m.packagedPath = QString::fromStdString(stringAt(*v, place / "packagedPath"));
    m.name = readString(value, place / "name");
    m.width = readInt(value, place / "width");
    m.height = readInt(value, place / "height");
    m.frameRate = readNumber(value, place / "frameRate");
    m.duration = readNumber(value, place / "duration");
    m.hasAudio = readBool(value, place / "hasAudio");
    m.codecName = readString(value, place / "codecName");
    // Written only once the file was found changed; older projects have none.
    if (const Json* v = optional(value, "recordedDuration")) m.recordedDuration = numberAt(*v, place / "recordedDuration");
    return m;
}

// ---- writing ----

Json number(double v, const Place& place) {
    // JSON has no NaN or infinity; the library would write null and the file could not be read.
    if (!std::isfinite(v)) {
        const std::string where = place.text();
        throw ProjectFileError(Kind::notFinite, where, "The project cannot be saved: " + where + " is not a finite number.");
    }
    return v;
}

std::string uuidText(const QUuid& id) {
    static const char digits[] = "0123456789ABCDEF";
    const QByteArray bytes = id.toRfc4122();
    std::string text;
    text.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        const auto b = static_cast<uint8_t>(bytes[i]);
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

Json writeValue(double v, const Place& place) { return number(v, place); }
Json writeValue(const Vec2& v, const Place& place) {
    return Json{{"x", number(v.x, place / "x")}, {"y", number(v.y, place / "y")}};
}

template <typename T>
Json writeAnimatable(const Animatable<T>& a, const Place& place) {
    Json keyframes = Json::array();
    const Place listPlace = place / "keyframes";
    for (std::size_t i = 0; i < a.keyframes.size(); ++i) {
        const Keyframe<T>& k = a.keyframes[i];
        const Place p = listPlace[i];
        keyframes.push_back(Json{{"id", uuidText(k.id)},
                                 {"time", number(k.time, p / "time")},
                                 {"value", writeValue(k.value, p / "value")},
                                 {"easeIn", rawValue(k.easeIn)},
                                 {"easeOut", rawValue(k.easeOut)},
                                 {"inInfluence", number(k.inInfluence, p / "inInfluence")},
                                 {"inVelocity", number(k.inVelocity, p / "inVelocity")},
                                 {"outInfluence", number(k.outInfluence, p / "outInfluence")},
                                 {"outVelocity", number(k.outVelocity, p / "outVelocity")}});
    }
    return Json{{"value", writeValue(a.value, place / "value")}, {"keyframes", std::move(keyframes)}};
}

Json writeTransform(const ClipTransform& t, const Place& place) {
    Json out = Json::object();
    t.forEachProperty([&](TransformProperty property, const auto& animatable) {
        const char* key = rawValue(property).data();
        out[key] = writeAnimatable(animatable, place / key);
    });
    out["uniformScale"] = t.uniformScale;
    const Place e = place / "effects";
    Json points = Json::array();
    for (std::size_t i = 0; i < t.effects.curve.points.size(); ++i)
        points.push_back(writeValue(t.effects.curve.points[i], (e / "curve" / "points")[i]));
    const RGBColor& c = t.effects.keyColor;
    const Place color = e / "keyColor";
    out["effects"] = Json{{"keyEnabled", t.effects.keyEnabled},
                          {"keyColor", Json{{"r", number(c.r, color / "r")}, {"g", number(c.g, color / "g")}, {"b", number(c.b, color / "b")}}},
                          {"showMatte", t.effects.showMatte},
                          {"colorEnabled", t.effects.colorEnabled},
                          {"curve", Json{{"points", std::move(points)}}}};
    return out;
}

Json writeClip(const Clip& c, const Place& p) {
    Json out{{"id", uuidText(c.id)},
             {"mediaID", uuidText(c.mediaID)},
             {"start", number(c.start, p / "start")},
             {"sourceIn", number(c.sourceIn, p / "sourceIn")},
             {"duration", number(c.duration, p / "duration")},
             {"opacity", number(c.opacity, p / "opacity")},
             {"blendMode", rawValue(c.blendMode)},
             {"fit", rawValue(c.fit)},
             {"fadeIn", number(c.fadeIn, p / "fadeIn")},
             {"fadeOut", number(c.fadeOut, p / "fadeOut")},
             {"volume", number(c.volume, p / "volume")}};
    if (c.transform) out["transform"] = writeTransform(*c.transform, p / "transform");
    return out;
}

Json writeMedium(const MediaItem& m, const Place& p) {
    Json out{{"id", uuidText(m.id)},
             {"path", m.path.toStdString()},
             {"name", m.name.toStdString()},
             {"width", m.width},
             {"height", m.height},
             {"frameRate", number(m.frameRate, p / "frameRate")},
             {"duration", number(m.duration, p / "duration")},
             {"hasAudio", m.hasAudio},
             {"codecName", m.codecName.toStdString()}};
    if (m.bookmark) out["bookmark"] = m.bookmark->toBase64().toStdString();
    if (m.packagedPath) out["packagedPath"] = m.packagedPath->toStdString();
    // What the file held before it changed: a save must not make a cut file look whole.
    if (m.recordedDuration) out["recordedDuration"] = number(*m.recordedDuration, p / "recordedDuration");
    return out;
}

}  // namespace

QByteArray Project::encoded() const {
    const Place root;
    const Place tracksPlace = root / "tracks";  // named: a Place points at its parent
    Json tracksJson = Json::array();
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        const Track& t = tracks[i];
        const Place p = tracksPlace[i];
        Json clips = Json::array();
        for (std::size_t c = 0; c < t.clips.size(); ++c) clips.push_back(writeClip(t.clips[c], (p / "clips")[c]));
        tracksJson.push_back(Json{{"id", uuidText(t.id)},
                                  {"name", t.name.toStdString()},
                                  {"clips", std::move(clips)},
                                  {"isVisible", t.isVisible},
                                  {"isAudioEnabled", t.isAudioEnabled}});
    }
    Json mediaJson = Json::array();
    for (std::size_t i = 0; i < media.size(); ++i) mediaJson.push_back(writeMedium(media[i], (root / "media")[i]));
    const Json project{{"width", width},
                       {"height", height},
                       {"frameRate", number(frameRate, root / "frameRate")},
                       {"transparentBackground", transparentBackground},
                       {"tracks", std::move(tracksJson)},
                       {"media", std::move(mediaJson)}};

    const std::string text = project.dump(2, ' ', false, Json::error_handler_t::strict);
    // Outside strings JSON has no "/", so every one of them is inside a string.
    QByteArray out;
    out.reserve(static_cast<qsizetype>(text.size() + static_cast<std::size_t>(std::count(text.begin(), text.end(), '/'))));
    std::size_t from = 0;
    for (std::size_t slash = text.find('/'); slash != std::string::npos; slash = text.find('/', from)) {
        out.append(text.data() + from, static_cast<qsizetype>(slash - from));
        out.append("\\/", 2);
        from = slash + 1;
    }
    out.append(text.data() + from, static_cast<qsizetype>(text.size() - from));
    return out;
}

Project Project::decode(std::string_view bytes) {
    Json json;
    try {
        json = Json::parse(bytes.begin(), bytes.end());
    } catch (const Json::exception& e) {
        // Syntax errors, truncation, invalid UTF-8 and numbers too large for a double (1e999).
        std::string detail = e.what();
        if (const auto bracket = detail.find("] "); detail.starts_with("[json.exception") && bracket != std::string::npos)
            detail.erase(0, bracket + 2);
        throw ProjectFileError(Kind::malformed, "", "The project file is not valid JSON: " + detail);
    }
    const Place root;
    objectAt(json, root);
    Project project;
    project.width = readInt(json, root / "width", 1, 16384);
    project.height = readInt(json, root / "height", 1, 16384);
    project.frameRate = readNumber(json, root / "frameRate");
    if (!(project.frameRate >= 0.1 && project.frameRate <= 1000))
        fail(Kind::outOfRange, root / "frameRate", "must lie between 0.1 and 1000");
    project.transparentBackground = readBool(json, root / "transparentBackground");
    project.tracks = readList(json, root / "tracks", readTrack);
    project.media = readList(json, root / "media", readMedium);
    return project;
}

}  // namespace qm
