// Project files against Python's json module: a file Python writes (keys shuffled, integers for
// doubles, keys we do not know) opens, and the file we write reads in Python with the same values
// and every object's keys in sorted order.

#include <gtest/gtest.h>

#include "editor_model/sample_project.h"
#include "support/test_support.h"

namespace qm {
namespace {

const char* const kScript = R"PY(
import json, random, sys

def shuffled(d):
    items = list(d.items())
    random.shuffle(items)
    return dict(items)

def check_sorted(pairs):
    if [k for k, _ in pairs] != sorted(k for k, _ in pairs):
        sys.exit("keys out of order: %s" % pairs)
    return dict(pairs)

random.seed(7)
if sys.argv[1] == "write":
    key = lambda t, v: shuffled({"id": "0A0B0C0D-0000-4000-8000-0000000000%02d" % t, "time": t, "value": v,
                                 "easeOut": "ease", "outVelocity": 1, "note": "extra"})
    still = lambda v: {"value": v, "keyframes": []}
    transform = shuffled({
        "anchor": still({"x": 320, "y": 240}), "scale": still({"x": 100, "y": 100}), "rotation": still(0),
        "position": {"value": {"y": 540, "x": 960}, "keyframes": [key(2, {"x": 1, "y": 2}), key(0, {"x": 0, "y": 0})]},
        "opacity": {"value": 100, "keyframes": [key(1, 50)]},
        "effects": shuffled({"showMatte": False, "keyEnabled": True, "colorEnabled": False, "keyColor": {"b": 0, "g": 1, "r": 0},
                             "curve": {"points": [{"x": 1, "y": 1}, {"x": 0, "y": 0}]}})})
    clip = shuffled({"id": "11111111-2222-4333-8444-555555555555", "mediaID": "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee",
                     "start": 2, "sourceIn": 0, "duration": 10, "opacity": 1, "transform": transform, "blendMode": "screen",
                     "fit": "stretch", "fadeIn": 0, "fadeOut": 1, "volume": 1, "muted": True})
    track = shuffled({"id": "99999999-2222-4333-8444-555555555555", "name": "Ebene 1", "clips": [clip], "isVisible": True,
                      "isAudioEnabled": True})
    medium = shuffled({"id": "AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE", "path": "/clips/a.mov", "bookmark": None, "name": "a.mov",
                       "width": 640, "height": 480, "frameRate": 25, "duration": 12, "hasAudio": False, "codecName": "H.264"})
    project = shuffled({"width": 640, "height": 480, "frameRate": 25, "transparentBackground": False, "version": 3,
                        "tracks": [track], "media": [medium]})
    with open(sys.argv[2], "w") as f:
        json.dump(project, f)
else:
    with open(sys.argv[2]) as f:
        print(json.dumps(json.load(f, object_pairs_hook=check_sorted), sort_keys=True))
)PY";

TEST(ProjectPeer, PythonWritesWeRead) {
    test::TempDir dir;
    const auto file = dir / "python.qmproj";
    ASSERT_EQ(test::run({"/usr/bin/python3", "-c", kScript, "write", file.string()}).exitCode, 0);
    const Project p = Project::decode(test::readFile(file));
    EXPECT_EQ(p.frameRate, 25.0);
    const Clip& c = p.tracks.at(0).clips.at(0);
    EXPECT_EQ(c.blendMode, BlendMode::screen);
    EXPECT_EQ(c.mediaID, p.media.at(0).id) << "UUIDs read in either case";
    ASSERT_TRUE(c.transform);
    EXPECT_EQ(c.transform->position.keyframes.at(1).value, (Vec2{1, 2})) << "sorted on read";
    EXPECT_EQ(c.transform->opacity.keyframes.at(0).easeOut, KeyframeEase::ease);
    EXPECT_EQ(p.media[0].path, "/clips/a.mov");
}

TEST(ProjectPeer, WeWritePythonReads) {
    test::TempDir dir;
    const auto file = dir / "ours.qmproj";
    const std::string ours = test::sampleProject().encoded().toStdString();
    test::writeFile(file, ours);
    const auto r = test::run({"/usr/bin/python3", "-c", kScript, "check", file.string()});
    ASSERT_EQ(r.exitCode, 0) << "Python refused the file or found unsorted keys";
    EXPECT_EQ(nlohmann::json::parse(r.output), nlohmann::json::parse(ours));
    EXPECT_NE(r.output.find("\"/media/shoot/cam a.mov\""), std::string::npos);
}

}  // namespace
}  // namespace qm
