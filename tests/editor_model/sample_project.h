#pragma once
// A small project that uses every field of the file: two tracks, clips with and without a
// transform, keyframes of both kinds with every ease, and media with and without the optionals.

#include "editor/model/project.h"

namespace qm::test {

inline Project sampleProject() {
    Project p;
    p.width = 1280;
    p.height = 720;
    p.frameRate = 29.97;
    p.transparentBackground = true;

    const MediaItem movie = [] {
        MediaItem m;
        m.id = QUuid::createUuid();
        m.path = "/media/shoot/cam a.mov";
        m.bookmark = m.path.toUtf8();
        m.packagedPath = "Media/cam a.mov";
        m.name = "cam a.mov";
        m.width = 1920;
        m.height = 1080;
        m.frameRate = 25;
        m.duration = 12.5;
        m.hasAudio = true;
        m.codecName = "Hap Q";
        return m;
    }();
    MediaItem sound;
    sound.id = QUuid::createUuid();
    sound.path = "/media/ton.wav";
    sound.name = "ton.wav";
    p.media = {movie, sound};

    ClipTransform t = ClipTransform::makeDefault({960, 540}, {640, 360}, 80);
    t.uniformScale = false;
    t.position.keyframes = {Keyframe<Vec2>::make(0, {0, 0}), Keyframe<Vec2>::make(2, {100, -50.25})};
    t.position.keyframes[0].easeOut = KeyframeEase::ease;
    t.position.keyframes[0].outVelocity = 2.5;
    t.rotation.keyframes = {Keyframe<double>::make(1, 0), Keyframe<double>::make(3, 90)};
    t.rotation.keyframes[0].easeOut = KeyframeEase::hold;
    t.effects.keyEnabled = true;
    t.effects.curve.points = {{0, 0.1}, {0.5, 0.8}, {1, 1}};

    Clip shown;
    shown.id = QUuid::createUuid();
    shown.mediaID = movie.id;
    shown.start = 1.5;
    shown.sourceIn = 0.25;
    shown.duration = 8;
    shown.transform = t;
    shown.blendMode = BlendMode::softLight;
    shown.fit = FitMode::fill;
    shown.fadeIn = 0.5;
    shown.volume = 0.7;
    Clip legacy = shown;
    legacy.id = QUuid::createUuid();
    legacy.mediaID = sound.id;
    legacy.transform.reset();
    legacy.opacity = 0.5;
    legacy.blendMode = BlendMode::normal;

    p.tracks = {{QUuid::createUuid(), "Layer 1", {shown}, true, false},
                {QUuid::createUuid(), "Töne / Layer 2", {legacy}, false, true}};
    return p;
}

}  // namespace qm::test
