#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "Progress.h"
#include "ToolsTestUtil.h"
#include "support/LeakCheck.h"

namespace {

struct Image8 {
  int width = 0, height = 0;
  std::vector<unsigned char> pixels;  // RGBA
  const unsigned char* At(int x, int y) const { return &pixels[(y * width + x) * 4]; }
};

Image8 ReadPng(const std::string& path) {
  Image8 image;
  auto in = OIIO::ImageInput::open(path);
  if (!in) return image;
  const OIIO::ImageSpec format = in->spec_dimensions(0);
  image.width = format.width;
  image.height = format.height;
  image.pixels.resize(static_cast<size_t>(image.width) * image.height * 4);
  in->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT8, image.pixels.data());
  return image;
}

class RenderTest : public LeakCheckTest {};

// Regression reference: frame 2 of the reference scene as this renderer drew
// it when the test was written (checked by eye then). Any pixel change is a
// change in behaviour and needs a new reference. Rendered as strips (the
// blur and the motion-blurred transform read rows beyond each strip, the
// cache node sees a request per strip) it must not change either.
TEST_F(RenderTest, FrameMatchesReferenceExactly) {
  const Image8 want = ReadPng(DataPath("reference_frame2.png"));
  ASSERT_EQ(want.width, 64);
  const std::vector<std::vector<std::string>> ways = {
      {}, {"--strip-rows", "6"}, {"--strip-rows", "7", "--into-buffer"}};
  for (const auto& way : ways) {
    SCOPED_TRACE(::testing::PrintToString(way));
    ScratchDir dir;
    std::vector<std::string> args = {
        DataPath("reference_scene.json"), "-o", dir / "frame.png", "-f", "2", "-q"};
    args.insert(args.end(), way.begin(), way.end());
    ASSERT_EQ(RunTool(args), 0);
    const Image8 got = ReadPng(dir / "frame.png");
    ASSERT_EQ(got.width, want.width);
    ASSERT_EQ(got.height, want.height);
    int differing = 0;
    for (int y = 0; y < want.height; ++y)
      for (int x = 0; x < want.width; ++x)
        for (int c = 0; c < 4; ++c)
          if (got.At(x, y)[c] != want.At(x, y)[c] && differing++ < 5)
            ADD_FAILURE() << "pixel (" << x << ", " << y << ") channel " << c << ": "
                          << int(got.At(x, y)[c]) << " != " << int(want.At(x, y)[c]);
    EXPECT_EQ(differing, 0);
  }
}

// A single field rendered in strips of an odd row count fills the same rows.
TEST_F(RenderTest, SingleFieldFillsOnlyItsRows) {
  for (const char* strip : {"0", "5"}) {
    SCOPED_TRACE(strip);
    ScratchDir dir;
    ASSERT_EQ(RunTool({DataPath("reference_scene.json"), "-o", dir / "f2.png", "-f", "1", "-q",
                       "--field", "2", "--rect", "0,3,64,40", "--strip-rows", strip}),
              0);
    const Image8 img = ReadPng(dir / "f2.png");
    ASSERT_EQ(img.height, 37);
    // The rect starts at row 3, so image row 0 is render row 3: field 2 (odd).
    for (int y = 0; y < img.height; ++y) {
      const bool inField = ((y + 3) & 1) == 1;
      for (int x = 0; x < img.width; ++x)
        ASSERT_EQ(img.At(x, y)[3] == 255, inField) << x << "," << y;
    }
  }
}

// The interlaced example weaves two fields sampled half a frame apart: the
// moving bar's edge rows disagree between fields, static areas agree. In
// strips the frame is the same to the byte.
TEST_F(RenderTest, InterlacedSceneWeavesFields) {
  ScratchDir dir;
  const std::string scene = std::string(RGRENDER_EXAMPLES) + "/interlaced.json";
  ASSERT_EQ(RunTool({scene, "-o", dir / "i.png", "-f", "1", "-q", "--strip-rows", "0"}), 0);
  ASSERT_EQ(RunTool({scene, "-o", dir / "s.png", "-f", "1", "-q", "--strip-rows", "9"}), 0);
  const Image8 img = ReadPng(dir / "i.png");
  ASSERT_EQ(img.width, 160);
  int combed = 0;
  for (int x = 0; x < img.width; ++x)
    if (std::abs(int(img.At(x, 44)[0]) - int(img.At(x, 45)[0])) > 100) ++combed;
  EXPECT_GT(combed, 10);  // the bar moved 20 pixels between the fields
  EXPECT_EQ(0, std::memcmp(img.At(5, 5), img.At(5, 6), 3));  // background: no combing
  EXPECT_TRUE(ReadPng(dir / "s.png").pixels == img.pixels);
}

// A pixel of straight colour 0.826 at alpha 0.553, stored as each format
// holds it: premultiplied (0.457) in EXR and associated TIFF, straight in
// PNG. Whatever the source, the PNG written holds the straight colour.
TEST_F(RenderTest, EachAlphaConventionIsReadAndWrittenRight) {
  const float straight[4] = {0.826f, 0.2f, 0.f, 0.553f};
  const float premultiplied[4] = {0.826f * 0.553f, 0.2f * 0.553f, 0.f, 0.553f};
  for (const char* ext : {"exr", "tif", "png"}) {
    SCOPED_TRACE(ext);
    ScratchDir dir;
    const std::string source = dir / (std::string("src.") + ext);
    const bool png = ext == std::string("png");
    OIIO::ImageSpec layout(1, 1, 4, png ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::FLOAT);
    if (png) layout.attribute("oiio:UnassociatedAlpha", 1);
    auto out = OIIO::ImageOutput::create(source);
    ASSERT_TRUE(out && out->open(source, layout));
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, png ? straight : premultiplied));
    out->close();
    const std::string scene =
        dir.Write("s.json", std::string(R"({"width": 1, "height": 1, "output": "a", "nodes": [)") +
                                R"({"id": "a", "type": "image", "file": "src.)" + ext + R"("}]})");
    ASSERT_EQ(RunTool({scene, "-o", dir / "out.png", "-d", "16", "-q"}), 0);
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(dir / "out.png", &config);
    ASSERT_TRUE(in);
    float got[4];
    ASSERT_TRUE(in->read_image(0, 0, 0, 4, OIIO::TypeDesc::FLOAT, got));
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(got[c], straight[c], 2e-4) << "channel " << c;
  }
}

// Building, checking and tearing down a scene cost heap, not stack, whatever
// its depth: a chain deeper than the stack guard allows ends with the
// library's stack report and code 1, and no file.
TEST_F(RenderTest, ChainBeyondTheStackLimitEndsWithTheStackReport) {
  ScratchDir dir;
  std::string nodes = R"({"id": "n0", "type": "solid", "color": [1, 0, 0, 0.5]})";
  constexpr int kDepth = 50000;  // the guard acts near 32,000 composites (about 8 MB)
  for (int i = 1; i <= kDepth; ++i)
    nodes += R"(, {"id": "n)" + std::to_string(i) + R"(", "type": "levels", "input": "n)" +
             std::to_string(i - 1) + "\"}";
  const std::string scene =
      dir.Write("deep.json", R"({"width": 4, "height": 4, "nodes": [)" + nodes +
                                 R"(], "output": "n)" + std::to_string(kDepth) + "\"}");
  testing::internal::CaptureStderr();
  const int code = RunTool({scene, "-o", dir / "deep.png", "-q"});
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(code, 1) << err;
  EXPECT_NE(err.find("stack overflow"), std::string::npos) << err;
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"deep.json"});
}

// Each blur of a chain takes its output buffer only after its input has
// rendered, so the chain holds a few buffers at a time, not one per node.
TEST_F(RenderTest, BlurChainHoldsAFewBuffersAtATime) {
  ScratchDir dir;
  std::string nodes = R"({"id": "n0", "type": "solid", "color": [1, 0, 0, 1]})";
  constexpr int kDepth = 100;  // sigma 0.3 reaches one pixel: no buffer exceeds 132 x 132
  for (int i = 1; i <= kDepth; ++i)
    nodes += R"(, {"id": "n)" + std::to_string(i) +
             R"(", "type": "blur", "sigma": 0.3, "input": "n)" + std::to_string(i - 1) + "\"}";
  const std::string scene =
      dir.Write("chain.json", R"({"width": 32, "height": 32, "nodes": [)" + nodes +
                                  R"(], "output": "n)" + std::to_string(kDepth) + "\"}");
  ASSERT_EQ(RunTool({scene, "-o", dir / "chain.png", "-d", "8", "-q", "--stats", dir / "s.json"}),
            0);
  std::ifstream in(dir / "s.json");
  const nlohmann::json stats = nlohmann::json::parse(in);
  EXPECT_LT(stats["frames"][0]["peak_pixel_bytes"].get<long long>(), 4 * 132 * 132 * 4);
}

// An abort inside the first frame leaves no file at all, stats and profile
// included; one in frame 1 keeps only the finished frame (frame 0 renders
// every node, later frames fewer as the background hits). SIGTERM, which a
// scheduler sends to a cancelled job, aborts as Ctrl-C does.
TEST_F(RenderTest, AbortKeepsOnlyFinishedFrames) {
  for (int starts : {0, 4, 15}) {  // 0: SIGTERM before the first frame
    SCOPED_TRACE(starts);
    ScratchDir dir;
    if (starts == 0) {
      RenderMonitor::InstallSignalHandler();
      std::raise(SIGTERM);
    }
    RenderMonitor::AbortAfterNodeStarts(starts);
    testing::internal::CaptureStderr();
    std::vector<std::string> args = {DataPath("reference_scene.json"), "-o", dir / "f_#.png", "-q"};
    if (starts <= 4)
      args.insert(args.end(), {"--stats", dir / "stats.json", "--profile", dir / "p.dot"});
    const int code = RunTool(args);
    const std::string err = testing::internal::GetCapturedStderr();
    RenderMonitor::ClearAbort();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    EXPECT_EQ(code, 130);
    EXPECT_NE(err.find("aborted"), std::string::npos) << err;
    EXPECT_EQ(dir.Entries(),
              starts <= 4 ? std::vector<std::string>{} : std::vector<std::string>{"f_0.png"});
  }
}

// The trace's spans nest within each thread of each execution, and the
// figures each span records for itself add up to the frame's statistics.
void CheckTraceAgainstStats(const nlohmann::json& trace, const nlohmann::json& stats) {
  std::map<int, std::string> process;  // pid -> "frame N"
  std::map<std::pair<int, int>, std::vector<nlohmann::json>> spans;
  for (const nlohmann::json& e : trace["traceEvents"]) {
    if (e["ph"] == "M" && e["name"] == "process_name") process[e["pid"]] = e["args"]["name"];
    if (e["ph"] == "X") spans[{e["pid"], e["tid"]}].push_back(e);
  }
  const char* keys[] = {"buffers_allocated", "bytes_allocated", "bytes_copied", "cache_hits",
                        "cache_misses"};
  std::map<std::string, std::map<std::string, long long>> sums;  // frame -> key -> sum
  std::set<std::string> categories;
  for (auto& [where, list] : spans) {
    std::stable_sort(list.begin(), list.end(),
                     [](const auto& a, const auto& b) { return a["ts"] < b["ts"]; });
    std::vector<long long> ends;  // of the open enclosing spans
    for (const nlohmann::json& e : list) {
      const long long ts = e["ts"], end = ts + e["dur"].get<long long>();
      while (!ends.empty() && ends.back() <= ts && ends.back() < end) ends.pop_back();
      EXPECT_TRUE(ends.empty() ? e["cat"] == "execution" : end <= ends.back()) << e.dump();
      ends.push_back(end);
      categories.insert(e["cat"]);
      for (const char* k : keys) sums[process[where.first]][k] += e["args"][k].get<long long>();
      if (e["cat"] != "execution") {
        EXPECT_EQ(e["args"]["depth"], 32) << e.dump();
      }
    }
  }
  EXPECT_EQ(categories, (std::set<std::string>{"execution", "pre-render", "render"}));
  ASSERT_EQ(sums.size(), stats["frames"].size());
  for (const nlohmann::json& f : stats["frames"]) {
    const auto& sum = sums["frame " + std::to_string(f["frame"].get<int>())];
    EXPECT_EQ(sum.at("buffers_allocated"), f["pixel_buffers_allocated"]);
    EXPECT_EQ(sum.at("bytes_allocated"), f["pixel_bytes_allocated"]);
    EXPECT_EQ(sum.at("bytes_copied"), f["pixel_bytes_copied"]);
    EXPECT_EQ(sum.at("cache_hits"), f["cache"]["hits"]);
    EXPECT_EQ(sum.at("cache_misses"), f["cache"]["misses"]);
  }
}

TEST_F(RenderTest, StatsProfileAndTraceDescribeEveryFrame) {
  ScratchDir dir;
  ASSERT_EQ(
      RunTool({DataPath("reference_scene.json"), "-o", dir / "f_#.exr", "-d", "32", "-q", "--stats",
               dir / "stats.json", "--profile", dir / "p.dot", "--trace", dir / "t.json"}),
      0);
  std::ifstream in(dir / "stats.json");
  const nlohmann::json stats = nlohmann::json::parse(in);
  ASSERT_EQ(stats["frames"].size(), 5u);
  std::ifstream traceIn(dir / "t.json");
  CheckTraceAgainstStats(nlohmann::json::parse(traceIn), stats);
  const nlohmann::json& f0 = stats["frames"][0];
  EXPECT_EQ(f0["cache"]["misses"], 1);
  EXPECT_EQ(f0["nodes"]["sky"]["renders"], 1);
  EXPECT_EQ(f0["nodes"]["tiny"]["renders"], 1);
  EXPECT_GT(f0["peak_pixel_bytes"].get<long long>(), 64 * 48 * 16);
  for (size_t i = 1; i < 5; ++i) {
    const nlohmann::json& f = stats["frames"][i];
    EXPECT_EQ(f["cache"]["hits"], 1) << i;
    EXPECT_FALSE(f["nodes"].contains("sky")) << "the cached background rendered again";
    EXPECT_EQ(f["nodes"]["spin"]["renders"], 1);
  }
  std::ifstream dot(dir / "p.dot");
  const std::string text((std::istreambuf_iterator<char>(dot)), std::istreambuf_iterator<char>());
  size_t graphs = 0;
  for (size_t p = text.find("digraph"); p != std::string::npos; p = text.find("digraph", p + 1))
    ++graphs;
  EXPECT_EQ(graphs, 5u);
  EXPECT_NE(text.find("Blur"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(dir / "f_4.exr"));
}

// The picture is drawn in process; nothing but the picture is left behind.
TEST_F(RenderTest, SvgProfileIsDrawnWithoutLeftovers) {
  ScratchDir dir;
  ASSERT_EQ(RunTool({DataPath("reference_scene.json"), "-o", dir / "f.png", "-f", "1", "-q",
                     "--profile", dir / "p.svg"}),
            0);
  std::ifstream svg(dir / "p.svg");
  const std::string text((std::istreambuf_iterator<char>(svg)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("<svg"), std::string::npos);
  EXPECT_NE(text.find("Blur"), std::string::npos);
  EXPECT_EQ(dir.Entries().size(), 2u);
}

}  // namespace
