#include "editor/model/keyframe.h"

#include <algorithm>

namespace qm {

namespace {

// A clamp whose NaN lands on the lower end, so a bad number from a field never reaches a file.
double clampedOrLow(double v, double low, double high) { return std::isnan(v) ? low : std::clamp(v, low, high); }

}  // namespace

std::string_view rawValue(KeyframeEase ease) {
    switch (ease) {
        case KeyframeEase::linear: return "linear";
        case KeyframeEase::ease: return "ease";
        case KeyframeEase::hold: return "hold";
    }
    return "linear";
}

std::optional<KeyframeEase> keyframeEaseFromRaw(std::string_view raw) { return caseFromRaw(allKeyframeEases, raw); }

std::string_view rawValue(KeyframeInterpolation interpolation) {
    switch (interpolation) {
        case KeyframeInterpolation::linear: return "linear";
        case KeyframeInterpolation::easyEase: return "easyEase";
        case KeyframeInterpolation::easyEaseIn: return "easyEaseIn";
        case KeyframeInterpolation::easyEaseOut: return "easyEaseOut";
        case KeyframeInterpolation::hold: return "hold";
    }
    return "linear";
}

const char* label(KeyframeInterpolation interpolation) {
    switch (interpolation) {
        case KeyframeInterpolation::linear: return "Linear";
        case KeyframeInterpolation::easyEase: return "Easy Ease (F9)";
        case KeyframeInterpolation::easyEaseIn: return "Easy Ease In (⇧F9)";
        case KeyframeInterpolation::easyEaseOut: return "Easy Ease Out (⌘⇧F9)";
        case KeyframeInterpolation::hold: return "Toggle Hold Keyframe";
    }
    return "Linear";
}

template <typename T>
void Animatable<T>::sortKeyframes() {
    std::stable_sort(keyframes.begin(), keyframes.end(),
                     [](const Keyframe<T>& a, const Keyframe<T>& b) { return a.time < b.time; });
}

template <typename T>
std::optional<std::size_t> Animatable<T>::keyframeIndex(double t, double tolerance) const {
    for (std::size_t i = 0; i < keyframes.size(); ++i)
        if (std::abs(keyframes[i].time - t) <= tolerance) return i;
    return std::nullopt;
}

template <typename T>
void Animatable<T>::setKeyframe(double time, const T& newValue, double tolerance) {
    if (!std::isfinite(time) || !isFinite(newValue)) return;
    if (const auto index = keyframeIndex(time, tolerance)) {
        keyframes[*index].value = newValue;
        return;
    }
    keyframes.push_back(Keyframe<T>::make(time, newValue));
    sortKeyframes();
}

template <typename T>
void Animatable<T>::toggleKeyframe(double t, double tolerance) {
    if (!std::isfinite(t)) return;
    if (const auto index = keyframeIndex(t, tolerance)) {
        QSet<QUuid> ids;
        ids.insert(keyframes[*index].id);
        removeKeyframes(ids, t);
    } else {
        setKeyframe(t, valueAt(t), tolerance);
    }
}

template <typename T>
void Animatable<T>::toggleAnimation(double t) {
    if (!std::isfinite(t)) return;
    if (keyframes.empty()) {
        keyframes.push_back(Keyframe<T>::make(t, value));
    } else {
        value = valueAt(t);
        keyframes.clear();
    }
}

template <typename T>
void Animatable<T>::removeKeyframes(const QSet<QUuid>& ids, double t) {
    if (!std::isfinite(t) || ids.isEmpty()) return;
    const T before = valueAt(t);
    const auto removed = erase_if(keyframes, [&](const Keyframe<T>& k) { return ids.contains(k.id); });
    if (removed > 0 && keyframes.empty()) value = before;
}

template <typename T>
void Animatable<T>::applyInterpolation(KeyframeInterpolation interpolation, const QSet<QUuid>& ids) {
    for (Keyframe<T>& k : keyframes) {
        if (!ids.contains(k.id)) continue;
        switch (interpolation) {
            case KeyframeInterpolation::linear:
                k.easeIn = k.easeOut = KeyframeEase::linear;
                break;
            case KeyframeInterpolation::easyEase:
                k.easeIn = k.easeOut = KeyframeEase::ease;
                k.inInfluence = k.outInfluence = 1.0 / 3.0;
                k.inVelocity = k.outVelocity = 0.0;
                break;
            case KeyframeInterpolation::easyEaseIn:
                k.easeIn = KeyframeEase::ease;
                k.inInfluence = 1.0 / 3.0;
                k.inVelocity = 0.0;
                break;
            case KeyframeInterpolation::easyEaseOut:
                k.easeOut = KeyframeEase::ease;
                k.outInfluence = 1.0 / 3.0;
                k.outVelocity = 0.0;
                break;
            case KeyframeInterpolation::hold:
                k.easeOut = k.easeOut == KeyframeEase::hold ? KeyframeEase::linear : KeyframeEase::hold;
                break;
        }
    }
}

template <typename T>
void Animatable<T>::setEaseHandle(const QUuid& id, bool outgoing, double influence, double velocity) {
    const auto it = std::find_if(keyframes.begin(), keyframes.end(), [&](const Keyframe<T>& k) { return k.id == id; });
    if (it == keyframes.end()) return;
    influence = clampedOrLow(influence, 0.01, 1.0);
    velocity = clampedOrLow(velocity, -3.0, 6.0);
    if (outgoing) {
        if (it->easeOut == KeyframeEase::hold) return;
        it->easeOut = KeyframeEase::ease;
        it->outInfluence = influence;
        it->outVelocity = velocity;
    } else {
        it->easeIn = KeyframeEase::ease;
        it->inInfluence = influence;
        it->inVelocity = velocity;
    }
}

template <typename T>
void Animatable<T>::setKeyframeComponent(const QUuid& id, std::size_t index, double number) {
    if (!std::isfinite(number)) return;
    const auto it = std::find_if(keyframes.begin(), keyframes.end(), [&](const Keyframe<T>& k) { return k.id == id; });
    if (it != keyframes.end()) it->value = replacingComponent(it->value, index, number);
}

template <typename T>
void Animatable<T>::mergeKeyframes(const std::vector<Keyframe<T>>& incoming, double tolerance) {
    bool changed = false;
    for (const Keyframe<T>& k : incoming) {
        if (!std::isfinite(k.time) || !isFinite(k.value)) continue;
        erase_if(keyframes, [&](const Keyframe<T>& o) { return std::abs(o.time - k.time) <= tolerance; });
        keyframes.push_back(k);
        changed = true;
    }
    if (changed) sortKeyframes();
}

template struct Animatable<double>;
template struct Animatable<Vec2>;

}  // namespace qm
