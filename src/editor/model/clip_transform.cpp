#include "editor/model/clip_transform.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <utility>

namespace qm {

std::string_view rawValue(TransformProperty property) {
    switch (property) {
        case TransformProperty::anchor: return "anchor";
        case TransformProperty::position: return "position";
        case TransformProperty::scale: return "scale";
        case TransformProperty::rotation: return "rotation";
        case TransformProperty::opacity: return "opacity";
        case TransformProperty::keyTolerance: return "keyTolerance";
        case TransformProperty::keySoftness: return "keySoftness";
        case TransformProperty::keySpill: return "keySpill";
        case TransformProperty::exposure: return "exposure";
        case TransformProperty::contrast: return "contrast";
        case TransformProperty::saturation: return "saturation";
    }
    return "anchor";
}

std::optional<TransformProperty> transformPropertyFromRaw(std::string_view raw) {
    return caseFromRaw(allTransformProperties, raw);
}

const char* displayName(TransformProperty property) {
    switch (property) {
        case TransformProperty::anchor: return "Anchor Point";
        case TransformProperty::position: return "Position";
        case TransformProperty::scale: return "Scale";
        case TransformProperty::rotation: return "Rotation";
        case TransformProperty::opacity: return "Opacity";
        case TransformProperty::keyTolerance: return "Tolerance";
        case TransformProperty::keySoftness: return "Softness";
        case TransformProperty::keySpill: return "Spill Suppression";
        case TransformProperty::exposure: return "Exposure";
        case TransformProperty::contrast: return "Contrast";
        case TransformProperty::saturation: return "Saturation";
    }
    return "";
}

PropertyLimits propertyLimits(TransformProperty property) {
    switch (property) {
        case TransformProperty::rotation: return {-36000.0, 36000.0};
        case TransformProperty::exposure: return {-5.0, 5.0};
        case TransformProperty::contrast: return {-100.0, 100.0};
        case TransformProperty::saturation: return {0.0, 300.0};
        case TransformProperty::opacity:
        case TransformProperty::keyTolerance:
        case TransformProperty::keySoftness:
        case TransformProperty::keySpill: return {0.0, 100.0};
        case TransformProperty::anchor:
        case TransformProperty::position:
        case TransformProperty::scale: break;
    }
    return {-std::numeric_limits<double>::max(), std::numeric_limits<double>::max()};
}

double heldToLimits(TransformProperty property, double value) {
    const PropertyLimits limits = propertyLimits(property);
    return std::isnan(value) ? limits.low : std::clamp(value, limits.low, limits.high);
}

double ToneCurve::value(double x) const {
    const std::size_t n = points.size();
    if (n < 2) return x;
    std::size_t i = n - 2;
    for (std::size_t j = 0; j + 2 < n; ++j) {
        if (x <= points[j + 1].x) {
            i = j;
            break;
        }
    }
    const Vec2 p1 = points[i];
    const Vec2 p2 = points[i + 1];
    const Vec2 p0 = i > 0 ? points[i - 1] : Vec2{2 * p1.x - p2.x, 2 * p1.y - p2.y};
    const Vec2 p3 = i + 2 < n ? points[i + 2] : Vec2{2 * p2.x - p1.x, 2 * p2.y - p1.y};
    const double dx = p2.x - p1.x;
    double t = (x - p1.x) / (dx >= 1e-9 ? dx : 1e-9);
    t = std::isnan(t) ? 0.0 : std::clamp(t, 0.0, 1.0);
    const double m1 = (p2.y - p0.y) / std::max(p2.x - p0.x, 1e-9) * dx;
    const double m2 = (p3.y - p1.y) / std::max(p3.x - p1.x, 1e-9) * dx;
    const double t2 = t * t, t3 = t2 * t;
    const double v = (2 * t3 - 3 * t2 + 1) * p1.y + (t3 - 2 * t2 + t) * m1 + (-2 * t3 + 3 * t2) * p2.y + (t3 - t2) * m2;
    return std::isnan(v) ? 0.0 : std::clamp(v, 0.0, 1.0);
}

std::vector<float> toneCurveSamples(int count, const ToneCurve& curve) {
    std::vector<float> samples;
    if (count <= 0) return samples;
    samples.reserve(static_cast<std::size_t>(count) * 3);
    for (int i = 0; i < count; ++i) {
        const double x = count > 1 ? static_cast<double>(i) / (count - 1) : 0.0;
        const auto v = static_cast<float>(curve.value(x));
        samples.insert(samples.end(), {v, v, v});
    }
    return samples;
}

ClipTransform ClipTransform::makeDefault(Vec2 anchor, Vec2 position, double opacityPercent) {
    ClipTransform t;
    t.anchor.value = anchor;
    t.position.value = position;
    t.opacity.value = opacityPercent;
    return t;
}

Animatable<double>& ClipTransform::scalar(TransformProperty property) {
    return const_cast<Animatable<double>&>(std::as_const(*this).scalar(property));
}

const Animatable<double>& ClipTransform::scalar(TransformProperty property) const {
    switch (property) {
        case TransformProperty::rotation: return rotation;
        case TransformProperty::opacity: return opacity;
        case TransformProperty::keyTolerance: return keyTolerance;
        case TransformProperty::keySoftness: return keySoftness;
        case TransformProperty::keySpill: return keySpill;
        case TransformProperty::exposure: return exposure;
        case TransformProperty::contrast: return contrast;
        case TransformProperty::saturation: return saturation;
        default: break;
    }
    return rotation;  // vector properties have no scalar track; callers check isVectorProperty
}

Animatable<Vec2>& ClipTransform::vector(TransformProperty property) {
    return const_cast<Animatable<Vec2>&>(std::as_const(*this).vector(property));
}

const Animatable<Vec2>& ClipTransform::vector(TransformProperty property) const {
    switch (property) {
        case TransformProperty::position: return position;
        case TransformProperty::scale: return scale;
        default: return anchor;
    }
}

TransformValue ClipTransform::valueOf(TransformProperty property, double t) const {
    if (isVectorProperty(property)) return vector(property).valueAt(t);
    return scalar(property).valueAt(t);
}

bool ClipTransform::isPropertyAnimated(TransformProperty property) const {
    return isVectorProperty(property) ? !vector(property).keyframes.empty() : !scalar(property).keyframes.empty();
}

std::vector<TransformProperty> ClipTransform::visibleTransformProperties() const {
    std::vector<TransformProperty> list;
    for (TransformProperty p : allTransformProperties) {
        const bool keying = p == TransformProperty::keyTolerance || p == TransformProperty::keySoftness ||
                            p == TransformProperty::keySpill;
        const bool colour = p == TransformProperty::exposure || p == TransformProperty::contrast ||
                            p == TransformProperty::saturation;
        if ((keying && !effects.keyEnabled) || (colour && !effects.colorEnabled)) continue;
        list.push_back(p);
    }
    return list;
}

bool ClipTransform::hasKeyframe(TransformProperty property, double t, double tolerance) const {
    return isVectorProperty(property) ? vector(property).keyframeIndex(t, tolerance).has_value()
                                      : scalar(property).keyframeIndex(t, tolerance).has_value();
}

std::vector<KeyframeListing> ClipTransform::allKeyframes() const {
    std::vector<KeyframeListing> list;
    forEachProperty([&](TransformProperty p, const auto& animatable) {
        for (const auto& k : animatable.keyframes) list.push_back({p, k.id, k.time, k.easeIn, k.easeOut});
    });
    return list;
}

std::vector<GraphKeyframe> ClipTransform::graphKeyframes(TransformProperty property) const {
    std::vector<GraphKeyframe> list;
    auto add = [&](const auto& animatable) {
        for (const auto& k : animatable.keyframes)
            list.push_back({k.id, k.time, components(k.value), k.easeIn, k.easeOut, k.inInfluence, k.inVelocity,
                            k.outInfluence, k.outVelocity});
    };
    if (isVectorProperty(property))
        add(vector(property));
    else
        add(scalar(property));
    return list;
}

void ClipTransform::moveSelectedKeyframes(const QSet<QUuid>& ids, double delta) {
    if (!std::isfinite(delta) || ids.isEmpty()) return;
    forEachProperty([&](TransformProperty, auto& animatable) {
        for (auto& k : animatable.keyframes) {
            if (!ids.contains(k.id)) continue;
            const double moved = std::max(0.0, k.time + delta);
            if (std::isinf(moved)) continue;  // past the largest time: a file could not hold it
            k.time = std::isnan(moved) ? 0.0 : moved;
        }
        animatable.sortKeyframes();
    });
}

ClipTransform ClipTransform::withFreshKeyframeIDs() const {
    ClipTransform copy = *this;
    copy.forEachProperty([](TransformProperty, auto& animatable) {
        for (auto& k : animatable.keyframes) k.id = QUuid::createUuid();
    });
    return copy;
}

std::vector<KeyframeClipboardEntry> ClipTransform::keyframes(const QSet<QUuid>& ids) const {
    std::vector<KeyframeClipboardEntry> entries;
    forEachProperty([&](TransformProperty p, const auto& animatable) {
        for (const auto& k : animatable.keyframes)
            if (ids.contains(k.id)) entries.push_back({p, AnyKeyframe(k)});
    });
    return entries;
}

QSet<QUuid> ClipTransform::pasteKeyframes(const std::vector<KeyframeClipboardEntry>& entries, double t, double tolerance) {
    QSet<QUuid> pasted;
    if (entries.empty() || !std::isfinite(t)) return pasted;
    double base = std::numeric_limits<double>::infinity();
    for (const auto& entry : entries)
        base = std::min(base, std::visit([](const auto& k) { return k.time; }, entry.keyframe));
    for (const auto& entry : entries) {
        const QUuid id = QUuid::createUuid();
        pasted.insert(id);
        std::visit(
            [&](auto k) {
                k.id = id;
                k.time = (k.time - base) + t;
                using Value = decltype(k.value);
                if constexpr (std::is_same_v<Value, Vec2>) {
                    if (isVectorProperty(entry.property)) vector(entry.property).mergeKeyframes({k}, tolerance);
                } else {
                    if (!isVectorProperty(entry.property)) scalar(entry.property).mergeKeyframes({k}, tolerance);
                }
            },
            entry.keyframe);
    }
    return pasted;
}

}  // namespace qm
