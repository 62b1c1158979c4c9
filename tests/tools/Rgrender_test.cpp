// rgrender in-process: the scene loader and the program's rejection of bad
// input, the scene cache, and whole renders through the front end.
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "AnimValue.h"
#include "FrameWriter.h"
#include "LruCache.h"
#include "Progress.h"
#include "Renderer.h"
#include "SceneGraph.h"
#include "SceneLoader.h"
#include "rghost/PF_Transfer.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Memory.h"
#include "support/LeakCheck.h"
#include "support/TestNodes.h"

namespace {

// A fresh folder, removed with all it holds.
class ScratchDir {
 public:
  ScratchDir() {
    std::string name = (std::filesystem::temp_directory_path() / "rgrender_test_XXXXXX").string();
    path_ = ::mkdtemp(name.data());
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(path_ / name) << text;
    return *this / name;
  }
  // Every entry, hidden ones included, sorted.
  std::vector<std::string> Entries() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path_))
      out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::filesystem::path path_;
};

// A scene of `size` pixels a side around a node list, with `extra` keys.
std::string Scene(const std::string& nodes, const std::string& output = "a",
                  const std::string& extra = "", int size = 8) {
  const std::string side = std::to_string(size);
  return R"({"width": )" + side + R"(, "height": )" + side + ", " + extra + R"("nodes": [)" +
         nodes + R"(], "output": ")" + output + "\"}";
}

// Node n0, a solid, under `count` nodes of `type` each reading the one below.
std::string Chain(const std::string& type, int count, const std::string& keys = "") {
  std::string nodes = R"({"id": "n0", "type": "solid", "color": [1, 0, 0, 0.5]})";
  for (int i = 1; i <= count; ++i)
    nodes += R"(, {"id": "n)" + std::to_string(i) + R"(", "type": ")" + type + "\", " + keys +
             R"("input": "n)" + std::to_string(i - 1) + "\"}";
  return nodes;
}

int RunTool(std::vector<std::string> args) {
  args.insert(args.begin(), "rgrender");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  return RgrenderMain(static_cast<int>(argv.size()), argv.data());
}

// Runs the program, which must end with `code` and write `lines` lines
// (0: any number) to stderr, holding `message`.
void ExpectFailure(const std::vector<std::string>& args, int code, const std::string& message,
                   int lines = 1) {
  testing::internal::CaptureStderr();
  const int got = RunTool(args);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(got, code) << "expected '" << message << "', got: " << err;
  EXPECT_NE(err.find(message), std::string::npos) << "expected '" << message << "', got: " << err;
  EXPECT_TRUE(lines == 0 || std::count(err.begin(), err.end(), '\n') == lines) << err;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string DataPath(const std::string& name) {
  return std::string(RGRENDER_TEST_DATA) + "/" + name;
}

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
      {Node(R"("type": "solid", "rect": [0, 0, 2.5, 4])"), "/nodes/0/rect/2: expected an integer"},
      {Node(R"("type": "solid", "color": {"keys": [[0, [1, 0, 0]], [4, 1]]})"),
       "/nodes/0/color/keys/1/1: expected 4 numbers"},
      {Node(R"("type": "solid", "color": [1, 0])"), "/nodes/0/color: expected 4 numbers"},
      {Node(R"("type": "solid", "color": {"keys": [[0, [1, 0, 0, 1]], [4]]})"),
       "/nodes/0/color/keys/1: expected [frame, value]"},
      {Node(R"("type": "blur", "input": "zz")"), "/nodes/0/input: unknown node 'zz'"},
      {Node(R"("type": "blur", "input": "b"}, {"id": "b", "type": "levels", "input": "a")"),
       "cycle through nodes a -> b -> a"},
      {Scene(
           R"({"id": "x", "type": "blur", "input": "a"}, {"id": "a", "type": "blur", "input": "b"},
                {"id": "b", "type": "levels", "input": "a"})",
           "x"),
       "cycle through nodes a -> b -> a"},  // a cycle the search reaches from another node
      {Scene(solid + "," + solid), "/nodes/1/id: duplicate node id 'a'"},
      {Scene(solid, "b"), "/output: unknown node 'b'"},
      {Node(R"("type": "transform", "source": "a", "motion_blur": {"samples": 0})"),
       "/nodes/0/motion_blur/samples: expected an integer from 1 to 64"},
      {Node(R"("type": "composite")"), "/nodes/0: missing key 'source'"},
      {Node(R"("type": "transform", "source": "a", "motion_blur": {"samples": 65})"),
       "/nodes/0/motion_blur/samples: expected an integer from 1 to 64"},
      {Node(R"("type": "transform", "source": "a", "motion_blur": {"shutter": 1.5})"),
       "/nodes/0/motion_blur/shutter: expected a number from 0 to 1"},
      {R"({"width": 0, "height": 8})", "s.json: /width: expected an integer from 1 to 32767"},
      {R"({"width": 8, "height": 32768})", "s.json: /height: expected an integer from 1 to 32767"},
      {Scene(solid, "a", R"("frames": [0, 1, 2], )"), "/frames: expected [first, last] with 0"},
      {Scene(solid, "a", R"("frames": [0, 1000001], )"), "/frames: expected [first, last]"},
      {Scene(solid, "a", R"("frames": [-1, 3], )"), "/frames: expected [first, last]"},
      {Scene(solid, "a", R"("frames": [0.5, 3], )"), "/frames: expected [first, last]"},
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
                "mode": "difference", "dest_bound": true, "motion_blur": {"samples": 1},
                "rotate": {"keys": [[10, 90], [2, 10]]}})",
                                       "t", R"("frames": [2, 7], "interlace": "field2", )"),
                                 "s.json", "/scenes");
  EXPECT_EQ(std::tuple(s.frame_start, s.frame_end, s.interlace), std::tuple(2, 7, 2));
  // A single frame, and the most samples a motion blur takes.
  const SceneDesc one = ParseScene(Scene(R"({"id": "a", "type": "null"}, {"id": "t",
      "type": "transform", "source": "a", "motion_blur": {"samples": 64}})",
                                         "t", R"("frames": [3, 3], )"),
                                   "s.json", ".");
  EXPECT_EQ(std::tuple(one.frame_start, one.frame_end, one.Node("t").motion_samples),
            std::tuple(3, 3, 64));
  const NodeDesc& t = s.Node("t");
  // One node used twice.
  EXPECT_EQ(std::tuple(t.source, t.destination, t.mode, t.dest_bound),
            std::tuple("a", "a", 12, true));
  EXPECT_DOUBLE_EQ(t.Param("opacity").ScalarAt(3), 1.0);
  EXPECT_EQ(t.Param("scale").At(0), (std::vector<double>{1, 1}));
  // Keys given out of order still interpolate between their frames.
  for (const auto& [frame, angle] :
       {std::pair(2.5, 15.0), std::pair(-3.0, 10.0), std::pair(30.0, 90.0)})
    EXPECT_DOUBLE_EQ(t.Param("rotate").ScalarAt(frame), angle) << frame;
  EXPECT_EQ(s.Node("a").Param("color").At(0), (std::vector<double>{1, 0, 0, 1}));
  EXPECT_TRUE(s.Node("a").rect == (M_LRect{0, 0, 8, 8}));  // by default, the frame
}

// Values that will not act as written load with a warning at their path;
// values in range, whole positions and untouched defaults warn of nothing.
TEST_F(SceneLoaderTest, OutOfRangeValuesAndFractionalPositionsMustWarnAtTheirPath) {
  const SceneDesc s = ParseScene(Scene(R"({"id": "a", "type": "solid", "color": [1.5, 0, 0]},
               {"id": "i", "type": "image", "file": "x.png", "position": [3, 2.5]},
               {"id": "b", "type": "blur", "input": "i", "sigma": {"keys": [[0, 2], [4, -1], [8, 1e7]]}},
               {"id": "c", "type": "composite", "source": "a", "destination": "b",
                "opacity": 1.25},
               {"id": "d", "type": "composite", "source": "c", "opacity": 0.5},
               {"id": "k", "type": "checkerboard", "size": {"keys": [[0, 0], [9, 3e9]]}}, {"id": "l", "type": "levels",
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
          "s.json: /nodes/2/sigma/keys/2/1: 1e+07 is out of range: a sigma above 1e+06 is taken "
          "as 1e+06",
          "s.json: /nodes/3/opacity: 1.25 is out of range: clamped to 0..1",
          "s.json: /nodes/5/size/keys/0/1: 0 is out of range: cells are at least 1 pixel",
          "s.json: /nodes/5/size/keys/1/1: 3e+09 is out of range: cells are at most 2^30 pixels",
          "s.json: /nodes/6/gamma: 0 is out of range: a gamma of 0 or less is taken as 1"}));
}

TEST_F(SceneLoaderTest, FramePathMustPadOnlyTheLastRunOfHashes) {
  EXPECT_EQ(FramePath("out/f_###.png", 7), "out/f_007.png");
  EXPECT_EQ(FramePath("a#b_##.png", 123), "a#b_123.png");
  EXPECT_EQ(FramePath("still.png", 4), "still.png");
}

// The program: bad input of every kind gives exit code 2 and a one-line
// message; a chain deeper than the stack guard allows (near 32,000 nodes, 8 MB;
// building, checking and tearing down a scene cost heap, not stack) ends
// with the host's stack report, then the program's error, and code 1. None
// leaves an output file.
TEST_F(SceneLoaderTest, ProgramMustRejectBadInputWithItsCodeAMessageAndNoFile) {
  ScratchDir dir;
  const std::string good = dir.Write(
      "good.json",
      Scene(R"({"id": "a", "type": "solid", "color": [1, 0, 0]})", "a", R"("frames": [0, 1], )"));
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
      {{good, "-o", out, "--cache-mb", "nan"}, "bad --cache-mb"},
      {{good, "-o", out, "--depth", "32"}, "PNG holds 8 or 16 bits"},
      {{good, "-o", dir / "no_such_dir/f_#.png"}, "no such directory"},
      {{good, "-o", dir / "single.png"}, "several frames need a '#'"},
      {{good, "-o", out, "--rect", "5,5,2,2"}, "bad rect"},
      {{good, "-o", out, "--rect", "-2000000000,0,2000000000,1"}, "the render rect is too large"},
      {{good, "-o", out, "--rect", "0,-20000,1,20000"}, "the render rect is too large"},
      {{dir / "absent.json", "-o", out}, "cannot read the scene file"},
      {{dir.Write("chain.json", Scene(Chain("levels", 50000), "n50000", "", 4)), "-o",
        dir / "deep.png", "-q"},
       "stack overflow",
       1,
       2},
  };
  for (const Case& c : cases) ExpectFailure(c.args, c.code, c.expected, c.lines);
  testing::internal::CaptureStdout();
  EXPECT_EQ(RunTool({"--help"}), 0);  // and says how to use it
  EXPECT_NE(testing::internal::GetCapturedStdout().find("--strip-rows"), std::string::npos);
  for (const std::string& name : dir.Entries())
    EXPECT_EQ(name.find(".png"), std::string::npos) << "left behind: " << name;
}

class CacheTest : public LeakCheckTest {};

// Renders frames first..last of `scene` with one cache; returns the renders
// per node id.
std::map<std::string, long> RenderFrames(const SceneDesc& scene, LruCache* cache, int first,
                                         int last) {
  ImageStore images;
  images.LoadAll(scene, 8);
  RenderMonitor monitor(false);
  for (int frame = first; frame <= last; ++frame) {
    FrameGraph graph(scene, images, cache, &monitor, frame);
    EXPECT_NE(TestRun(graph.Root().get(), M_LRect{0, 0, scene.width, scene.height}).world, nullptr);
  }
  return monitor.RenderCounts();
}

// A cache entry's key describes every parameter and input below it at the
// frame's time: an animated one below the cache is never served stale.
TEST_F(CacheTest, CacheKeyMustChangeWithEveryParameterAndInputBelow) {
  SceneDesc scene = LoadScene(DataPath("reference_scene.json"));
  ImageStore images;
  images.LoadAll(scene, 8);
  FrameGraph a(scene, images, nullptr, nullptr, 0), b(scene, images, nullptr, nullptr, 3);
  EXPECT_EQ(a.Describe("background"), b.Describe("background"));  // static
  EXPECT_NE(a.Describe("spin"), b.Describe("spin"));              // keyframed
  SceneDesc edited = scene;
  edited.nodes[edited.index.at("tiles")].params["size"] = AnimValue(std::vector<double>{5});
  FrameGraph c(edited, images, nullptr, nullptr, 0);
  EXPECT_NE(a.Describe("background"), c.Describe("background"));  // an input two levels down
  EXPECT_EQ(a.Describe("dot"), c.Describe("dot"));
  SceneDesc moved = scene;
  moved.nodes[moved.index.at("tiles")].rect.left += 1;  // a checkerboard's rect
  EXPECT_NE(a.Describe("background"),
            FrameGraph(moved, images, nullptr, nullptr, 0).Describe("background"));
  SceneDesc remoded = scene;
  remoded.nodes[remoded.index.at("spin")].mode = PF_BLEND_ADD;  // a transform's mode
  EXPECT_NE(a.Describe("spin"), FrameGraph(remoded, images, nullptr, nullptr, 0).Describe("spin"));
  scene.nodes[scene.index.at("graded")].params["gamma"] = AnimValue({{0.0, {1.0}}, {4.0, {2.0}}});
  LruCache cache(64 << 20);
  EXPECT_EQ(RenderFrames(scene, &cache, 0, 4)["tiles"], 5);
  EXPECT_EQ(cache.Counters().hits, 0);
  // Frame 4 again: served from the entry of its own frame, which also
  // answers for the content bounds of either type.
  EXPECT_EQ(RenderFrames(scene, &cache, 4, 4)["tiles"], 0);
  EXPECT_EQ(cache.Counters().hits, 1);
  LruCache empty(1 << 20);
  FrameGraph hit(scene, images, &cache, nullptr, 4), plain(scene, images, &empty, nullptr, 4);
  for (RG_ContentBoundsType type : {RG_CONTENT_BOUNDS_TYPE0, RG_CONTENT_BOUNDS_TYPE1})
    EXPECT_EQ(hit.Build("background")->GetContentBounds(type),
              plain.Build("background")->GetContentBounds(type));
  EXPECT_EQ(PF_GetWorldStats().pixel_bytes_cleared, 0);  // misses and hits fill their buffers whole
}

std::shared_ptr<CacheEntry> MakeEntry(const std::string& key, int32_t size) {
  auto e = std::make_shared<CacheEntry>();
  e->key = key;
  e->request.rect = M_LRect{0, 0, size, size};
  e->result_rect = e->request.rect;
  e->world.reset(PF_World::New(e->result_rect, 8, 1));
  e->bytes = static_cast<size_t>(e->world->rowbytes) * e->world->height;
  return e;
}

TEST_F(CacheTest, BudgetMustHoldTheLeastRecentGoFirstAndPurgesTakeMemoryBack) {
  const size_t one = MakeEntry("x", 16)->bytes;
  LruCache cache(2 * one + one / 2);
  cache.Insert(MakeEntry("a", 16));
  cache.Insert(MakeEntry("b", 16));
  const RG_RenderRequest r = TestRequest(M_LRect{2, 2, 8, 8});
  EXPECT_TRUE(cache.Find("a", r));  // a is now the most recent
  cache.Insert(MakeEntry("c", 16));
  EXPECT_LE(cache.Bytes(), cache.Budget());
  EXPECT_FALSE(cache.Find("b", r));
  EXPECT_TRUE(cache.Find("a", r));
  EXPECT_TRUE(cache.Find("c", r));
  EXPECT_TRUE(cache.FindAny("c")->key == "c" && cache.FindAny("b") == nullptr);  // bounds probes
  EXPECT_FALSE(cache.Insert(MakeEntry("huge", 64)));
  EXPECT_LE(cache.Bytes(), cache.Budget());
  // An entry serves only requests inside what it was rendered for, at its
  // depth, and of a field it holds the rows of.
  EXPECT_FALSE(cache.Find("a", TestRequest(M_LRect{2, 2, 20, 8})));
  EXPECT_FALSE(cache.Find("a", TestRequest(M_LRect{0, 0, 16, 16}, 16)));
  const std::shared_ptr<CacheEntry> field = MakeEntry("f", 16);
  field->request.field = 1;
  cache.Insert(field);
  for (int32_t f : {0, 1, 2})
    EXPECT_EQ(cache.Find("f", TestRequest(r.rect, 8, 0, f)) != nullptr, f == 1);
  // The host's purge loop takes memory back from it.
  int calls = 0;
  const auto failOnce = [](void* n) -> long {
    return ++*static_cast<int*>(n) == 1 ? U_ERR_OUT_OF_MEMORY : 0;
  };
  EXPECT_EQ(U_PurgeLoop(cache.Bytes() / 2, failOnce, &calls, 0) + calls, 2);
  EXPECT_EQ(cache.Size(), 1u);
}

using nlohmann::json;

// A file of one row of `width` pixels of `channels` channels (RGBA by
// default), stored as `type`; straight or premultiplied; its fourth channel
// named as alpha or left unnamed.
void WritePixelFile(const std::string& path, OIIO::TypeDesc type, const float* rgba,
                    bool straight = true, int width = 1, int channels = 4, bool named = true) {
  OIIO::ImageSpec layout(width, 1, channels, type);
  if (straight) layout.attribute("oiio:UnassociatedAlpha", 1);
  if (!named) layout.alpha_channel = -1;
  auto out = OIIO::ImageOutput::create(path);
  ASSERT_TRUE(out && out->open(path, layout));
  ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, rgba));
  out->close();
}

// Channel c of the file's first pixel, read straight or premultiplied.
float ReadChannel(const std::string& path, int c, bool straight = false) {
  OIIO::ImageSpec config;
  if (straight) config.attribute("oiio:UnassociatedAlpha", 1);
  auto in = OIIO::ImageInput::open(path, &config);
  if (!in) return -1;
  std::vector<float> rgba(static_cast<size_t>(in->spec_dimensions(0).image_pixels()) * 4, -1.f);
  in->read_image(0, 0, 0, 4, OIIO::TypeDesc::FLOAT, rgba.data());
  return rgba[c];
}

// Channel c of the first pixel of `scene` (its text) rendered in `dir` to a
// float EXR with `args`; -1 when the render fails.
float Rendered(const ScratchDir& dir, const std::string& scene, int c,
               std::vector<std::string> args = {}) {
  args.insert(args.begin(), {dir.Write("s.json", scene), "-o", dir / "out.exr", "-d", "32", "-q"});
  return RunTool(args) == 0 ? ReadChannel(dir / "out.exr", c) : -1;
}

json ReadJson(const std::string& path) { return json::parse(ReadText(path)); }

class RenderTest : public LeakCheckTest {};

// A pixel of straight sRGB colour 0.826 at alpha 0.553, stored as each
// format holds it: in linear light and premultiplied in EXR and float TIFF
// (0.64884 x 0.553: the sRGB curve by hand), straight in PNG. Whatever the
// source, the PNG written holds the straight sRGB colour; curves applied
// to premultiplied colour would miss it by a tenth.
TEST_F(RenderTest, EachFormatsAlphaConventionMustBeReadAndWrittenRight) {
  const float straight[4] = {0.826f, 0.2f, 0.f, 0.553f};
  const float premultiplied[4] = {0.648838f * 0.553f, 0.0331048f * 0.553f, 0.f, 0.553f};
  for (const std::string ext : {"exr", "tif", "png"}) {
    SCOPED_TRACE(ext);
    ScratchDir dir;
    const bool png = ext == "png";
    WritePixelFile(dir / ("src." + ext), png ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::FLOAT,
                   png ? straight : premultiplied, png);
    const std::string scene = dir.Write(
        "s.json", Scene(R"({"id": "a", "type": "image", "file": "src.)" + ext + "\"}", "a", "", 1));
    ASSERT_EQ(RunTool({scene, "-o", dir / "out.png", "-d", "16", "-q"}), 0);
    for (int c = 0; c < 4; ++c)
      EXPECT_NEAR(ReadChannel(dir / "out.png", c, true), straight[c], 2e-4) << "channel " << c;
    // A TIFF written says which channel is alpha; a half-float EXR holds linear light.
    ASSERT_EQ(RunTool({scene, "-o", dir / "out.tif", "-q"}), 0);
    EXPECT_EQ(OIIO::ImageInput::open(dir / "out.tif")->spec_dimensions(0).alpha_channel, 3);
    ASSERT_EQ(RunTool({scene, "-o", dir / "half.exr", "-d", "16", "-q"}), 0);
    EXPECT_NEAR(ReadChannel(dir / "half.exr", 0), premultiplied[0], 1e-3);
  }
  // A premultiplied 16-bit TIFF (sRGB) keeps the colour of a pixel without
  // alpha (an additive glow) through the curve, in linear light, and the
  // curve takes each translucent pixel's colour without its own alpha; in a
  // straight PNG such a pixel is clear. A file without alpha is opaque, and
  // its blue is not its red: no pixel takes its alpha from the next one's
  // red, nor a grey file's from its alpha. A fourth channel the file leaves
  // unnamed is its alpha all the same. (Channel 4 is the second pixel's red.)
  ScratchDir dir;
  const float added[4] = {0.5f, 0.5f, 0.5f, 0.f}, rgb[6] = {0.5f, 0.2f, 0.1f, 0.25f, 0.f, 0.f},
              half[8] = {0.25f, 0.25f, 0.25f, 0.5f, 0.125f, 0.125f, 0.125f, 0.25f},
              grey[2] = {0.4f, 1};
  WritePixelFile(dir / "g.tif", OIIO::TypeDesc::UINT16, added, false);
  WritePixelFile(dir / "h.tif", OIIO::TypeDesc::UINT16, half, false, 2);
  WritePixelFile(dir / "ga.png", OIIO::TypeDesc::UINT8, grey, true, 1, 2);
  WritePixelFile(dir / "g.png", OIIO::TypeDesc::UINT16, added, true);
  WritePixelFile(dir / "rgb.png", OIIO::TypeDesc::UINT8, rgb, false, 2, 3);
  WritePixelFile(dir / "rgbx.tif", OIIO::TypeDesc::FLOAT, rgb, false, 1, 4, false);
  const struct {
    std::string file;
    bool raw;
    int channel;
    float expected;
  } reads[] = {{"g.tif", false, 0, 0.214041f},     {"h.tif", false, 0, 0.214041f / 2},
               {"h.tif", false, 4, 0.214041f / 4}, {"ga.png", true, 1, 0.4f},
               {"ga.png", true, 2, 0.4f},          {"g.png", false, 0, 0},
               {"rgb.png", true, 2, 26 / 255.f},   {"rgb.png", true, 3, 1},
               {"rgbx.tif", true, 2, 0.1f},        {"rgbx.tif", true, 3, 0.25f}};
  for (const auto& r : reads)
    EXPECT_NEAR(Rendered(dir,
                         Scene(R"({"id": "a", "type": "image", "file": ")" + r.file + "\"}", "a",
                               r.raw ? R"("colorspace": "raw", )" : "", 2),
                         r.channel),
                r.expected, 1e-5)
        << r.file;
}

// Two images blended half and half mix in linear light, read to an 8-bit
// PNG (in steps of 1/255) and a float EXR. By hand, sRGB: 200 and 50 are
// 0.57758 and 0.03190 linear, whose mean 0.30474 is sRGB 149.94; 10 over 0
// is halved on the curve's straight foot (5), which an 8-bit linear working
// depth could not hold (10 is 0.78 of its steps). A config the scene names
// is applied through OpenColorIO: its space "root" holds square roots of
// linear values, for the files and the output: 200 over 0 is 0.5 x
// 0.78431^2 = 0.30757 linear, whose square root is 141.42 at 8 bits. A
// file's own space the config lacks is refused.
TEST_F(RenderTest, ImagesMustBlendInLinearLightThroughTheirColourSpaces) {
  const std::string ocio = R"("ocio_config": "test.ocio", "output_colorspace": "root", )",
                    root = R"(, "colorspace": "root")";
  const struct {
    int source, destination, png;
    float exr, tolerance;
    std::string extra = "", keys = "", error = "";
    float alpha = 1, opacity = 0.5f;
  } cases[] = {
      {200, 50, 150, 0.304738f, 1e-5f},
      // Half covered at full opacity: a translucent image must not hide what is under it.
      {200, 50, 150, 0.304738f, 2e-5f, "", "", "", 0.5f, 1},
      {10, 0, 5, 0.00151763f, 1e-5f},
      {200, 0, 141, 0.307574f, 2e-6f, ocio, root},
      {200, 0, 0, 0, 0, ocio, "", "/nodes/0/file: the file's metadata names colour space 'sRGB'"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.source) + c.keys + c.error);
    ScratchDir dir;
    dir.Write("test.ocio", R"(ocio_profile_version: 2
roles: {default: lin, scene_linear: lin}
displays: {screen: [!<View> {name: plain, colorspace: lin}]}
colorspaces:
  - !<ColorSpace> {name: lin}
  - !<ColorSpace> {name: root, to_scene_reference: !<ExponentTransform> {value: [2, 2, 2, 1]}}
)");
    const float a = c.source / 255.f, b = c.destination / 255.f, pa[4] = {a, a, a, c.alpha},
                pb[4] = {b, b, b, 1};
    WritePixelFile(dir / "a.png", OIIO::TypeDesc::UINT16, pa);
    WritePixelFile(dir / "b.tif", OIIO::TypeDesc::UINT16, pb);  // sRGB for want of metadata
    const std::string scene = dir.Write(
        "s.json", Scene(R"({"id": "a", "type": "image", "file": "a.png")" + c.keys +
                            R"(}, {"id": "b", "type": "image", "file": "b.tif")" + c.keys +
                            R"(}, {"id": "mix", "type": "composite", "source": "a",
                            "destination": "b", "opacity": )" +
                            std::to_string(c.opacity) + "}",
                        "mix", c.extra, 1));
    if (!c.error.empty()) {
      ExpectFailure({scene, "-o", dir / "out.png", "-q"}, 2, c.error);
      continue;
    }
    EXPECT_EQ(RunTool({scene, "-o", dir / "out.png", "-q"}), 0);
    EXPECT_EQ(RunTool({scene, "-o", dir / "out.exr", "-d", "32", "-q"}), 0);
    EXPECT_EQ(std::lround(ReadChannel(dir / "out.png", 0) * 255), c.png);
    EXPECT_NEAR(ReadChannel(dir / "out.exr", 0), c.exr, c.tolerance);
  }
}

// A composite binds its source to the destination only when the scene says
// so: where the destination has nothing, a free source still shows. A free
// checkerboard of opaque colours hides the destination, which then never
// renders; and with --into-buffer a frame of one execution renders straight
// into the program's buffer, where the library allocates nothing.
TEST_F(RenderTest, CompositeMustBindOnlyWhenToldAndOpaqueLayersHideTheirDestination) {
  ScratchDir dir;
  for (const bool bound : {false, true}) {
    const std::string scene = Scene(R"({"id": "k", "type": "checkerboard", "color1": [1, 0, 0, 1],
        "color2": [0, 0, 1, 1]}, {"id": "d", "type": "solid", "rect": [1, 0, 2, 2],
        "color": [0, 0, 1, 1]}, {"id": "c", "type": "composite", "source": "k",
        "destination": "d", "dest_bound": )" +
                                        std::string(bound ? "true" : "false") + "}",
                                    "c", "", 2);
    std::vector<std::string> args = {"--stats", dir / "stats.json"};
    if (!bound) args.insert(args.end(), {"--into-buffer", "--strip-rows", "0"});
    EXPECT_EQ(Rendered(dir, scene, 3, args), bound ? 0.f : 1.f) << bound;
    const json frame = ReadJson(dir / "stats.json")["frames"][0];
    EXPECT_EQ(frame["nodes"].contains("d"), bound) << frame.dump();
    EXPECT_EQ(frame["pixel_bytes_allocated"] == 0, !bound) << frame.dump();
  }
}

// Levels map straight colour through the input range (a step where it is
// empty), the gamma and the output range, and keep alpha: one pixel each, in
// raw values, premultiplied in the EXR written.
TEST_F(RenderTest, LevelsMustMapStraightColourThroughRangesAndGamma) {
  const struct {
    std::string keys;
    float colour, alpha, expected;
  } cases[] = {
      {R"("gamma": 2)", 0.25f, 1, 0.5f},
      {R"("gamma": 2)", 0.5f, 0.5f, 0.5f * 0.70710678f},
      {R"("in_black": 0.2, "in_white": 0.6)", 0.5f, 1, 0.75f},
      {R"("in_black": 0.2, "in_white": 0.6)", 0.1f, 1, 0},
      {R"("in_black": 0.5, "in_white": 0.5)", 0.5f, 1, 1},
      {R"("in_black": 0.5, "in_white": 0.5)", 0.4f, 1, 0},
      {R"("out_black": 0.2, "out_white": 0.6, "gamma": 0.5)", 0.5f, 1, 0.3f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys + " over " + std::to_string(c.colour));
    ScratchDir dir;
    const std::string v = std::to_string(c.colour), a = std::to_string(c.alpha);
    const std::string scene =
        Scene(R"({"id": "s", "type": "solid", "color": [)" + v + "," + v + "," + v + "," + a +
                  R"(]}, {"id": "l", "type": "levels", "input": "s", )" + c.keys + "}",
              "l", R"("colorspace": "raw", )", 1);
    EXPECT_NEAR(Rendered(dir, scene, 1), c.expected, 1e-5);
    EXPECT_NEAR(ReadChannel(dir / "out.exr", 3), c.alpha, 1e-6);
  }
}

// Rows are read when a render first asks for them: a corner of an image
// whose lower half is cut off renders, the whole of it fails as bad input.
TEST_F(RenderTest, ImageRowsMustBeReadOnlyWhenARenderAsksForThem) {
  ScratchDir dir;
  std::vector<unsigned char> noise(64 * 1024 * 4);
  uint32_t seed = 1;
  for (unsigned char& v : noise)
    v = static_cast<unsigned char>((seed = seed * 1664525 + 1013904223) >> 24);
  for (size_t i = 3; i < noise.size(); i += 4) noise[i] = 255;
  const std::string image = dir / "cut.png";
  auto out = OIIO::ImageOutput::create(image);
  ASSERT_TRUE(out && out->open(image, OIIO::ImageSpec(64, 1024, 4, OIIO::TypeDesc::UINT8)));
  ASSERT_TRUE(out->write_image(OIIO::TypeDesc::UINT8, noise.data()));
  out->close();
  // Whole and opaque, the file comes back as it was through bands of rows
  // read as strips that straddle them ask, and written.
  ASSERT_EQ(RunTool({dir.Write("raw.json", R"({"width": 64, "height": 1024, "output": "a",
      "colorspace": "raw", "nodes": [{"id": "a", "type": "image", "file": "cut.png"}]})"),
                     "-o", dir / "whole.png", "--strip-rows", "100", "-q"}),
            0);
  std::vector<unsigned char> back(noise.size());
  auto in = OIIO::ImageInput::open(dir / "whole.png");
  ASSERT_TRUE(in && in->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT8, back.data()));
  EXPECT_TRUE(back == noise);
  std::filesystem::resize_file(image, std::filesystem::file_size(image) / 2);
  const std::string scene = dir.Write("s.json", R"({"width": 64, "height": 1024, "output": "a",
      "nodes": [{"id": "a", "type": "image", "file": "cut.png"}]})");
  EXPECT_EQ(RunTool({scene, "-o", dir / "corner.png", "--rect", "8,0,24,16", "-q"}), 0);
  EXPECT_EQ(OIIO::ImageInput::open(dir / "corner.png")->spec_dimensions(0).width,
            16);  // the rect's width
  ExpectFailure({scene, "-o", dir / "all.png", "-q"}, 2,
                "/nodes/0/file: cannot read image 'cut.png'", 0);
}

// A blur or a cell wider than its limit acts as the limit, where the blur's
// reach overflowed 32-bit coordinates (its kernel growing with the sigma) and
// the cell's size wrapped round to 1 pixel.
TEST_F(RenderTest, BlursAndCellsBeyondTheirLimitsMustActAsTheLimits) {
  ScratchDir dir;
  const auto Red = [&](const std::string& size, const std::string& sigma = "") {  // at (1, 0)
    const std::string blur = R"(, {"id": "b", "type": "blur", "input": "k", "sigma": )" + sigma;
    const std::string scene = Scene(R"({"id": "k", "type": "checkerboard", "color1": [1, 0, 0, 1],
        "color2": [0, 0, 1, 1], "size": )" +
                                        size + (sigma.empty() ? "}" : "}" + blur + "}"),
                                    sigma.empty() ? "k" : "b", R"("colorspace": "raw", )");
    return Rendered(dir, scene, 0, {"--rect", "1,0,2,1"});
  };
  EXPECT_EQ(Red("3e9"), 1.f);
  EXPECT_EQ(Red("1"), 0.f);  // cells of one pixel: (1, 0) is the second colour
  EXPECT_EQ(Red(R"(2, "rect": [1, 0, 8, 8])"), 1.f);  // cells counted from the rect's corner
  const float widest = Red("2", "1e6");
  EXPECT_GT(widest, 0.f);
  EXPECT_EQ(Red("2", "1e300"), widest);
  EXPECT_EQ(Red("2", "-1"), 1.f);  // blurs nothing
  // A field's blur reaches as far up as down: a pixel on row 0 or row 8 adds
  // the same to row 4.
  const auto OnRow4 = [&](int row) {
    const std::string r = std::to_string(row), next = std::to_string(row + 1);
    const std::string scene =
        Scene(R"({"id": "s", "type": "solid", "color": [1, 0, 0, 1], "rect":
        [0, )" + r +
                  ", 1, " + next + R"(]}, {"id": "b", "type": "blur", "input": "s", "sigma": 1})",
              "b", R"("colorspace": "raw", )", 16);
    return Rendered(dir, scene, 0, {"--field", "1", "--rect", "0,4,1,5"});
  };
  EXPECT_GT(OnRow4(0), 0.f);
  EXPECT_EQ(OnRow4(0), OnRow4(8));
}

// Each blur of a chain takes its output buffer only after its input has
// rendered, so the chain holds a few buffers at a time, not one per node.
TEST_F(RenderTest, BlurChainMustHoldOnlyAFewBuffersAtATime) {
  ScratchDir dir;
  const std::string scene =
      dir.Write("chain.json", Scene(Chain("blur", 100, R"("sigma": 0.3, )"), "n100", "", 32));
  ASSERT_EQ(RunTool({scene, "-o", dir / "chain.png", "-d", "8", "-q", "--stats", dir / "s.json"}),
            0);
  // Sigma 0.3 reaches one pixel: no buffer exceeds 132 x 132, of 16-bit
  // pixels (linear light renders 8-bit files at 16 bits).
  EXPECT_LT(ReadJson(dir / "s.json")["frames"][0]["peak_pixel_bytes"].get<long long>(),
            4 * 132 * 132 * 8);
}

// An abort inside the first frame leaves no file at all, stats and profile
// included; one in frame 1 keeps only the finished frame (frame 0 renders
// every node, later frames fewer as the background hits). SIGTERM, which a
// scheduler sends to a cancelled job, aborts as Ctrl-C does.
TEST_F(RenderTest, AbortOrSigtermMustKeepOnlyFinishedFrames) {
  for (int starts : {0, 4, 15}) {  // 0: SIGTERM before the first frame
    SCOPED_TRACE(starts);
    ScratchDir dir;
    if (starts == 0) {
      RenderMonitor::InstallSignalHandler();
      std::raise(SIGTERM);
    }
    RenderMonitor::AbortAfterNodeStarts(starts);
    std::vector<std::string> args = {DataPath("reference_scene.json"), "-o", dir / "f_#.png", "-q"};
    if (starts <= 4)
      args.insert(args.end(), {"--stats", dir / "stats.json", "--profile", dir / "p.dot"});
    // An abort inside a render also brings the host's report.
    ExpectFailure(args, 130, "aborted", starts == 0 ? 1 : 2);
    RenderMonitor::ClearAbort();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    EXPECT_EQ(dir.Entries(),
              starts <= 4 ? std::vector<std::string>{} : std::vector<std::string>{"f_0.png"});
  }
  // An abort that comes while the last frame is written must not pass for success.
  ScratchDir dir;
  EXPECT_FALSE(
      WriteImageFile(FrameImage(1, 1, {0, 0, 1, 1}), dir / "f.png", 8, [] { return false; }));
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{});
}

// The trace's spans nest within each thread of each execution and lie within
// the run (`runUs` long, timed from the trace's start), and the figures each
// span records for itself add up to the frame's statistics.
void CheckTraceAgainstStats(const json& trace, const json& stats, long long runUs) {
  std::map<int, std::string> process;  // pid -> "frame N"
  std::map<std::pair<int, int>, std::vector<json>> spans;
  std::set<std::pair<int, int>> named;  // threads
  for (const json& e : trace["traceEvents"]) {
    if (e["ph"] == "M" && e["name"] == "process_name") process[e["pid"]] = e["args"]["name"];
    if (e["ph"] == "M" && e["name"] == "thread_name")
      named.insert({e["pid"].get<int>(), e["tid"].get<int>()});
    if (e["ph"] == "X") spans[{e["pid"], e["tid"]}].push_back(e);
  }
  const std::pair<const char*, const char*> keys[] = {
      // span figure, frame statistic
      {"buffers_allocated", "/pixel_buffers_allocated"},
      {"bytes_allocated", "/pixel_bytes_allocated"},
      {"bytes_copied", "/pixel_bytes_copied"},
      {"cache_hits", "/cache/hits"},
      {"cache_misses", "/cache/misses"}};
  std::map<std::string, std::map<std::string, long long>> sums;  // frame -> key -> sum
  std::set<std::string> categories;
  for (auto& [where, list] : spans) {
    EXPECT_EQ(named.count(where), 1u) << "a thread without a name in " << process[where.first];
    std::stable_sort(list.begin(), list.end(),
                     [](const auto& a, const auto& b) { return a["ts"] < b["ts"]; });
    std::vector<long long> ends;  // of the open enclosing spans
    for (const json& e : list) {
      const long long ts = e["ts"], end = ts + e["dur"].get<long long>();
      while (!ends.empty() && ends.back() <= ts && ends.back() < end) ends.pop_back();
      EXPECT_TRUE(ends.empty() ? e["cat"] == "execution" : end <= ends.back()) << e.dump();
      EXPECT_TRUE(ts >= 0 && end <= runUs) << e.dump();
      ends.push_back(end);
      categories.insert(e["cat"]);
      for (const auto& [k, _] : keys)
        sums[process[where.first]][k] += e["args"][k].get<long long>();
      EXPECT_TRUE(e["cat"] == "execution" || e["args"]["depth"] == 32) << e.dump();
    }
  }
  EXPECT_EQ(categories, (std::set<std::string>{"execution", "pre-render", "render"}));
  ASSERT_EQ(sums.size(), stats["frames"].size());
  for (const json& f : stats["frames"])
    for (const auto& [k, stat] : keys)
      EXPECT_EQ(sums["frame " + std::to_string(f["frame"].get<int>())].at(k),
                f[json::json_pointer(stat)])
          << k;
}

TEST_F(RenderTest, StatsProfileAndTraceMustDescribeEveryFrameAndAgree) {
  ScratchDir dir;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(
      RunTool({DataPath("reference_scene.json"), "-o", dir / "f_#.exr", "-d", "32", "-q", "--stats",
               dir / "stats.json", "--profile", dir / "p.dot", "--trace", dir / "t.json"}),
      0);
  const auto runUs = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  const json stats = ReadJson(dir / "stats.json");
  ASSERT_EQ(stats["frames"].size(), 5u);
  CheckTraceAgainstStats(ReadJson(dir / "t.json"), stats, runUs.count());
  const json& f0 = stats["frames"][0];
  EXPECT_EQ(f0["cache"]["misses"], 1);
  EXPECT_EQ(f0["nodes"]["sky"]["renders"], 1);
  EXPECT_EQ(f0["nodes"]["tiny"]["renders"], 1);
  EXPECT_GT(f0["peak_pixel_bytes"].get<long long>(), 64 * 48 * 16);
  for (size_t i = 1; i < 5; ++i) {
    const json& f = stats["frames"][i];
    EXPECT_EQ(f["cache"]["hits"], 1) << i;
    EXPECT_FALSE(f["nodes"].contains("sky")) << "the cached background rendered again";
    EXPECT_EQ(f["nodes"]["spin"]["renders"], 1);
  }
  const std::string text = ReadText(dir / "p.dot");
  size_t graphs = 0;
  for (size_t p = text.find("digraph"); p != std::string::npos; p = text.find("digraph", p + 1))
    ++graphs;
  EXPECT_EQ(graphs, 5u);
  EXPECT_NE(text.find("Blur"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(dir / "f_4.exr"));
  // An SVG picture is drawn in process; nothing but it is left behind.
  ScratchDir svgDir;
  ASSERT_EQ(RunTool({DataPath("reference_scene.json"), "-o", svgDir / "f.png", "-f", "1", "-q",
                     "--profile", svgDir / "p.svg"}),
            0);
  const std::string picture = ReadText(svgDir / "p.svg");
  EXPECT_NE(picture.find("<svg"), std::string::npos);
  EXPECT_NE(picture.find("Blur"), std::string::npos);
  EXPECT_EQ(svgDir.Entries().size(), 2u);
}

// A '#' run in the profile name gives each execution a file holding one
// graph: one per frame, and one per field pass of an interlaced frame.
TEST_F(RenderTest, ProfilePatternMustWriteOneGraphPerExecutionAndField) {
  ScratchDir dir;
  const std::string scene =
      dir.Write("i.json", Scene(R"({"id": "a", "type": "solid", "rect": [0, 0, 4, 4],
                    "color": [1, 0, 0]})",
                                "a", R"("frames": [0, 1], "interlace": "field2", )", 4));
  ASSERT_EQ(RunTool({scene, "-o", dir / "f_#.png", "-q", "--profile", dir / "p_#.dot"}), 0);
  EXPECT_EQ(dir.Entries(),
            (std::vector<std::string>{"f_0.png", "f_1.png", "i.json", "p_0_field1.dot",
                                      "p_0_field2.dot", "p_1_field1.dot", "p_1_field2.dot"}));
  const std::string text = ReadText(dir / "p_1_field2.dot");
  EXPECT_EQ(text.rfind("digraph", 0), 0u);
  EXPECT_EQ(text.find("digraph", 1), std::string::npos);
  EXPECT_EQ(text.back(), '}');
  // --strip-rows 0 renders a frame in one execution, however tall.
  const std::string tall =
      dir.Write("t.json", R"({"width": 1, "height": 32000, "output": "n40", "nodes": [)" +
                              Chain("levels", 40) + "]}");
  ASSERT_EQ(
      RunTool({tall, "-o", dir / "t.png", "-q", "--strip-rows", "0", "--profile", dir / "t_#.dot"}),
      0);
  EXPECT_TRUE(std::filesystem::exists(dir / "t_0.dot"));
}

}  // namespace
