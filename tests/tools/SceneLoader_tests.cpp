#include <gtest/gtest.h>

#include <tuple>

#include "AnimValue.h"
#include "FrameWriter.h"
#include "SceneLoader.h"
#include "ToolsTestUtil.h"
#include "support/LeakCheck.h"

namespace {

std::string ParseError(const std::string& text) {
  try {
    ParseScene(text, "s.json", ".");
  } catch (const SceneError& e) {
    return e.what();
  }
  return "(parsed)";
}

class SceneLoaderTest : public LeakCheckTest {};

// One line each, naming the JSON path of the culprit (or the line and
// column of malformed JSON, also a number beyond double range, found by
// fuzzing).
TEST_F(SceneLoaderTest, EachMistakeMustBeReportedInOneLineAtItsJsonPath) {
  const std::string solid = R"({"id": "a", "type": "solid", "color": [1, 0, 0]})";
  const auto Node = [](const std::string& keys) { return Scene(R"({"id": "a", )" + keys + "}"); };
  struct Case {
    std::string text, expected;
  } cases[] = {
      {"{\n  \"width\": 8,\n  \"height\" 8\n}", "s.json:3:"},
      {"{\n  \"width\": 8,\n  \"height\" 8\n}", "malformed JSON"},
      {Node(R"("type": "solid", "color": [1e309, 0, 0])"), "s.json: malformed JSON"},
      {Node(R"("type": "solid", "color": [-1e400, 0, 0])"), "s.json: malformed JSON"},
      {Scene(solid, "a", R"("colour": 1, )"), "s.json: /colour: unknown key 'colour'"},
      {Scene(solid, "a", R"("colorspace": 1, )"), "s.json: /colorspace: expected a colour space"},
      {Node(R"("type": "solid", "color": [1, 0, 0], "colr": 1)"),
       "/nodes/0/colr: unknown key 'colr' for a solid node"},
      {Scene(solid + R"(, {"id": "b", "type": "composite", "source": "a", "mode": "mult"})", "b"),
       "/nodes/1/mode: unknown transfer mode 'mult' (one of: copy, behind, normal, "},
      {Scene(solid + R"(, {"id": "b", "type": "composite", "source": "a", "mask": "a",
                          "mask_kind": "lumen"})",
             "b"),
       "/nodes/1/mask_kind: unknown mask kind 'lumen' (one of: alpha, inverted_alpha, luma, "
       "inverted_luma)"},
      {Node(R"("type": "sparkle")"), "/nodes/0/type: unknown node type 'sparkle'"},
      {Node(R"("type": "solid", "color": {"keys": [[0, [1, 0, 0]], [4, 1]]})"),
       "/nodes/0/color/keys/1/1: expected 4 numbers"},
      {Node(R"("type": "solid", "color": [1, 0])"), "/nodes/0/color: expected 4 numbers"},
      {Node(R"("type": "blur", "input": "zz")"), "/nodes/0/input: unknown node 'zz'"},
      {Node(R"("type": "blur", "input": "b"}, {"id": "b", "type": "levels", "input": "a")"),
       "cycle through nodes a -> b -> a"},
      {Scene(solid + "," + solid), "/nodes/1/id: duplicate node id 'a'"},
      {Scene(solid, "b"), "/output: unknown node 'b'"},
      {Node(R"("type": "transform", "source": "a", "motion_blur": {"samples": 0})"),
       "/nodes/0/motion_blur/samples: expected an integer from 1 to 64"},
      {Node(R"("type": "composite")"), "/nodes/0: missing key 'source'"},
  };
  for (const Case& c : cases) {
    const std::string msg = ParseError(c.text);
    // A message naming the file starts with it.
    const size_t at = msg.find(c.expected);
    EXPECT_TRUE(at != std::string::npos && (at == 0 || c.expected.rfind("s.json", 0) != 0))
        << "got: " << msg;
    EXPECT_EQ(msg.find('\n'), std::string::npos) << msg;
  }
}

TEST_F(SceneLoaderTest, ValidSceneMustKeepReferencesDefaultsAndKeysInAnyOrder) {
  const SceneDesc s = ParseScene(Scene(R"({"id": "a", "type": "solid", "color": [1, 0, 0]},
               {"id": "t", "type": "transform", "source": "a", "destination": "a",
                "mode": "difference", "dest_bound": true,
                "rotate": {"keys": [[10, 90], [0, 0]]}})",
                                       "t", R"("frames": [2, 7], "interlace": "field2", )"),
                                 "s.json", "/scenes");
  EXPECT_EQ(std::tuple(s.frame_start, s.frame_end, s.interlace), std::tuple(2, 7, 2));
  const NodeDesc& t = s.Node("t");
  // One node used twice.
  EXPECT_EQ(std::tuple(t.source, t.destination, t.mode, t.dest_bound),
            std::tuple("a", "a", 12, true));
  EXPECT_DOUBLE_EQ(t.Param("opacity").ScalarAt(3), 1.0);
  EXPECT_EQ(t.Param("scale").At(0), (std::vector<double>{1, 1}));
  // Keys given out of order still interpolate between their frames.
  for (const auto& [frame, angle] :
       {std::pair(2.5, 22.5), std::pair(-3.0, 0.0), std::pair(30.0, 90.0)})
    EXPECT_DOUBLE_EQ(t.Param("rotate").ScalarAt(frame), angle) << frame;
  EXPECT_EQ(s.Node("a").Param("color").At(0), (std::vector<double>{1, 0, 0, 1}));
  EXPECT_TRUE(s.Node("a").rect == (M_LRect{0, 0, 8, 8}));  // by default, the frame
}

// Values that will not act as written load with a warning at their path;
// values in range, whole positions and untouched defaults warn of nothing.
TEST_F(SceneLoaderTest, OutOfRangeValuesAndFractionalPositionsMustWarnAtTheirPath) {
  const SceneDesc s = ParseScene(Scene(R"({"id": "a", "type": "solid", "color": [1.5, 0, 0]},
               {"id": "i", "type": "image", "file": "x.png", "position": [3, 2.5]},
               {"id": "b", "type": "blur", "input": "i", "sigma": {"keys": [[0, 2], [4, -1]]}},
               {"id": "c", "type": "composite", "source": "a", "destination": "b",
                "opacity": 1.25},
               {"id": "d", "type": "composite", "source": "c", "opacity": 0.5},
               {"id": "k", "type": "checkerboard", "size": 0}, {"id": "l", "type": "levels",
                "input": "k", "gamma": 0}, {"id": "m", "type": "image", "file": "x.png",
                "position": {"keys": [[0, [0, 0]], [9, [4, 8]]]}})",
                                       "d"),
                                 "s.json", ".");
  EXPECT_EQ(
      s.warnings,
      (std::vector<std::string>{
          "s.json: /nodes/0/color: 1.5 is out of range: colour components are meant to be 0..1",
          "s.json: /nodes/1/position: positions are whole pixels: 2.5 is rounded (a transform "
          "node places layers between pixels)",
          "s.json: /nodes/2/sigma/keys/1/1: -1 is out of range: a negative sigma blurs nothing",
          "s.json: /nodes/3/opacity: 1.25 is out of range: clamped to 0..1",
          "s.json: /nodes/5/size: 0 is out of range: cells are at least 1 pixel",
          "s.json: /nodes/6/gamma: 0 is out of range: a gamma of 0 or less is taken as 1"}));
}

TEST_F(SceneLoaderTest, FramePathMustPadOnlyTheLastRunOfHashes) {
  EXPECT_EQ(FramePath("out/f_###.png", 7), "out/f_007.png");
  EXPECT_EQ(FramePath("a#b_##.png", 123), "a#b_123.png");
  EXPECT_EQ(FramePath("still.png", 4), "still.png");
}

// The program: bad input of every kind gives exit code 2 and a one-line
// message; a chain deeper than the stack guard allows (building, checking
// and tearing down a scene cost heap, not stack, whatever its depth) ends
// with the host's stack report, then the program's error, and code 1. None
// leaves an output file.
TEST_F(SceneLoaderTest, ProgramMustRejectBadInputWithItsCodeAMessageAndNoFile) {
  ScratchDir dir;
  const std::string good = dir.Write(
      "good.json",
      Scene(R"({"id": "a", "type": "solid", "color": [1, 0, 0]})", "a", R"("frames": [0, 1], )"));
  // The guard acts near 32,000 composites (about 8 MB).
  std::string chain = R"({"id": "n0", "type": "solid", "color": [1, 0, 0, 0.5]})";
  for (int i = 1; i <= 50000; ++i)
    chain += R"(, {"id": "n)" + std::to_string(i) + R"(", "type": "levels", "input": "n)" +
             std::to_string(i - 1) + "\"}";
  const std::string out = dir / "f_#.png";
  struct Case {
    std::vector<std::string> args;
    std::string expected;
    int code = 2, lines = 1;
  } cases[] = {
      {{dir.Write("bad.json", "{\"width\": 8,,}"), "-o", out}, "bad.json:1:13: malformed JSON"},
      {{dir.Write("key.json", Scene(R"({"id": "a", "type": "null", "mode": "add"})")), "-o", out},
       "/nodes/0/mode: unknown key 'mode'"},
      {{dir.Write("img.json", Scene(R"({"id": "a", "type": "image", "file": "missing.png"})")),
        "-o", out},
       "/nodes/0/file: cannot read image 'missing.png'"},
      {{dir.Write("img2.json", Scene(R"({"id": "a", "type": "image", "file": "img2.json"})")), "-o",
        out},
       "/nodes/0/file: cannot read image 'img2.json'"},
      {{good, "-o", out, "--depth", "12"}, "bad depth 12"},
      {{good, "-o", out, "--field", "3"}, "bad field 3"},
      {{good, "-o", out, "--threads", "0"}, "bad --threads 0"},
      {{good, "-o", out, "--depth", "32"}, "PNG holds 8 or 16 bits"},
      {{good, "-o", dir / "no_such_dir/f_#.png"}, "no such directory"},
      {{good, "-o", dir / "single.png"}, "several frames need a '#'"},
      {{good, "-o", out, "--rect", "5,5,2,2"}, "bad rect"},
      {{good, "-o", out, "--rect", "-2000000000,0,2000000000,1"}, "the render rect is too large"},
      {{dir / "absent.json", "-o", out}, "cannot read the scene file"},
      {{dir.Write("chain.json", Scene(chain, "n50000", "", 4)), "-o", dir / "deep.png", "-q"},
       "stack overflow",
       1,
       2},
  };
  for (const Case& c : cases) ExpectFailure(c.args, c.code, c.expected, c.lines);
  for (const std::string& name : dir.Entries())
    EXPECT_EQ(name.find(".png"), std::string::npos) << "left behind: " << name;
}

}  // namespace
