#pragma once
// A clip's animatable parameters (placement, opacity, keying and colour values) and its effect
// switches, the tone curve, and the whole-transform keyframe operations of the editors.

#include <array>
#include <string_view>
#include <variant>
#include <vector>

#include "editor/model/keyframe.h"
#include "engine/rgb_color.h"

namespace qm {

enum class TransformProperty {
    anchor,
    position,
    scale,
    rotation,
    opacity,
    keyTolerance,
    keySoftness,
    keySpill,
    exposure,
    contrast,
    saturation,
};

inline constexpr std::array<TransformProperty, 11> allTransformProperties = {
    TransformProperty::anchor,       TransformProperty::position,    TransformProperty::scale,
    TransformProperty::rotation,     TransformProperty::opacity,     TransformProperty::keyTolerance,
    TransformProperty::keySoftness,  TransformProperty::keySpill,    TransformProperty::exposure,
    TransformProperty::contrast,     TransformProperty::saturation};

std::string_view rawValue(TransformProperty property);
std::optional<TransformProperty> transformPropertyFromRaw(std::string_view raw);
// The English display name; views translate it.
const char* displayName(TransformProperty property);
// anchor, position and scale hold Vec2 values; the other eight hold numbers.
constexpr bool isVectorProperty(TransformProperty property) {
    return property == TransformProperty::anchor || property == TransformProperty::position ||
           property == TransformProperty::scale;
}

// The range the inspector holds a number property to (rotation in degrees, the percentages, the
// exposure stops). Only typed values are held to it: the graph editor and a project file may
// carry any finite number.
struct PropertyLimits {
    double low = 0.0;
    double high = 0.0;
};
// For the eight number properties; anchor, position and scale have none.
PropertyLimits propertyLimits(TransformProperty property);
// `value` held to the property's limits; NaN goes to the lower one.
double heldToLimits(TransformProperty property, double value);

inline std::vector<Vec2> identityCurvePoints() { return {{0, 0}, {0.25, 0.25}, {0.5, 0.5}, {0.75, 0.75}, {1, 1}}; }

struct ToneCurve {
    std::vector<Vec2> points = identityCurvePoints();  // ascending x; the default is the identity
    bool operator==(const ToneCurve&) const = default;

    // Cubic Hermite through the points, clamped to 0...1; fewer than two points give x itself.
    double value(double x) const;
};

// n samples of the curve at i / (n - 1), each written three times (red, green, blue).
std::vector<float> toneCurveSamples(int count, const ToneCurve& curve);

struct ClipEffects {
    bool keyEnabled = false;
    RGBColor keyColor{0.1, 0.75, 0.25};
    bool showMatte = false;
    bool colorEnabled = false;
    ToneCurve curve;
    bool operator==(const ClipEffects&) const = default;
};

// The value of one property at a time: a number, or a Vec2 for anchor, position and scale.
using TransformValue = std::variant<double, Vec2>;

// The graph editor's read-only view of one keyframe.
struct GraphKeyframe {
    QUuid id;
    double time = 0.0;
    std::vector<double> values;
    KeyframeEase easeIn = KeyframeEase::linear;
    KeyframeEase easeOut = KeyframeEase::linear;
    double inInfluence = 0.0;
    double inVelocity = 0.0;
    double outInfluence = 0.0;
    double outVelocity = 0.0;
    bool operator==(const GraphKeyframe&) const = default;
};

// One mark of the timeline's keyframe lanes.
struct KeyframeListing {
    TransformProperty property = TransformProperty::anchor;
    QUuid id;
    double time = 0.0;
    KeyframeEase easeIn = KeyframeEase::linear;
    KeyframeEase easeOut = KeyframeEase::linear;
    bool operator==(const KeyframeListing&) const = default;
};

// One keyframe of the keyframe clipboard with the property it was copied from.
struct KeyframeClipboardEntry {
    TransformProperty property = TransformProperty::anchor;
    AnyKeyframe keyframe;
};

struct ClipTransform {
    Animatable<Vec2> anchor;
    Animatable<Vec2> position;
    Animatable<Vec2> scale{{100, 100}, {}};
    bool uniformScale = true;
    Animatable<double> rotation{0, {}};
    Animatable<double> opacity{100, {}};
    Animatable<double> keyTolerance{20, {}};
    Animatable<double> keySoftness{10, {}};
    Animatable<double> keySpill{50, {}};
    Animatable<double> exposure{0, {}};
    Animatable<double> contrast{0, {}};
    Animatable<double> saturation{100, {}};
    ClipEffects effects;
    bool operator==(const ClipTransform&) const = default;

    // The transform a clip gets when it has none: picture centre on canvas centre, unscaled,
    // unrotated, at the given opacity in percent, with the keying and colour defaults.
    static ClipTransform makeDefault(Vec2 anchor, Vec2 position, double opacityPercent);

    Animatable<double>& scalar(TransformProperty property);
    const Animatable<double>& scalar(TransformProperty property) const;
    Animatable<Vec2>& vector(TransformProperty property);
    const Animatable<Vec2>& vector(TransformProperty property) const;

    // Calls f(property, animatable) for the eleven properties in their order.
    template <typename F>
    void forEachProperty(F&& f) {
        for (TransformProperty p : allTransformProperties) {
            if (isVectorProperty(p))
                f(p, vector(p));
            else
                f(p, scalar(p));
        }
    }
    template <typename F>
    void forEachProperty(F&& f) const {
        for (TransformProperty p : allTransformProperties) {
            if (isVectorProperty(p))
                f(p, vector(p));
            else
                f(p, scalar(p));
        }
    }

    TransformValue valueOf(TransformProperty property, double t) const;
    bool isPropertyAnimated(TransformProperty property) const;
    std::vector<TransformProperty> visibleTransformProperties() const;

    // Keyframe operations over all properties.
    bool hasKeyframe(TransformProperty property, double t, double tolerance) const;
    std::vector<KeyframeListing> allKeyframes() const;
    std::vector<GraphKeyframe> graphKeyframes(TransformProperty property) const;
    void moveSelectedKeyframes(const QSet<QUuid>& ids, double delta);
    ClipTransform withFreshKeyframeIDs() const;
    std::vector<KeyframeClipboardEntry> keyframes(const QSet<QUuid>& ids) const;
    QSet<QUuid> pasteKeyframes(const std::vector<KeyframeClipboardEntry>& entries, double t, double tolerance);
};

}  // namespace qm
