#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "Progress.h"
#include "ToolsTestUtil.h"
#include "support/LeakCheck.h"

namespace {

using nlohmann::json;

// A 1x1 file of one RGBA colour, stored as `type`; straight or premultiplied.
void WritePixelFile(const std::string& path, OIIO::TypeDesc type, const float rgba[4],
                    bool straight = true) {
  OIIO::ImageSpec layout(1, 1, 4, type);
  if (straight) layout.attribute("oiio:UnassociatedAlpha", 1);
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
  float rgba[4] = {-1, -1, -1, -1};
  if (in) in->read_image(0, 0, 0, 4, OIIO::TypeDesc::FLOAT, rgba);
  return rgba[c];
}

// The red of the scene's first pixel rendered to an 8-bit PNG (in steps of
// 1/255) and to a float EXR.
std::pair<long, float> RenderRed(const ScratchDir& dir, const std::string& scene) {
  EXPECT_EQ(RunTool({scene, "-o", dir / "out.png", "-q"}), 0);
  EXPECT_EQ(RunTool({scene, "-o", dir / "out.exr", "-d", "32", "-q"}), 0);
  return {std::lround(ReadChannel(dir / "out.png", 0) * 255), ReadChannel(dir / "out.exr", 0)};
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
  }
}

// Two sRGB images blended half and half mix in linear light. By hand: 200
// and 50 are 0.57758 and 0.03190 linear, whose mean 0.30474 is sRGB 149.94;
// 10 over 0 is halved on the curve's straight foot (5), which an 8-bit
// linear working depth could not hold (10 is 0.78 of its steps).
TEST_F(RenderTest, SrgbImagesMustBlendInLinearLightNotOnTheCurve) {
  const struct {
    int source, destination, png;
    float exr;
  } cases[] = {{200, 50, 150, 0.304738f}, {10, 0, 5, 0.00151763f}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    ScratchDir dir;
    const float a = c.source / 255.f, b = c.destination / 255.f, pa[4] = {a, a, a, 1},
                pb[4] = {b, b, b, 1};
    WritePixelFile(dir / "a.png", OIIO::TypeDesc::UINT8, pa);
    WritePixelFile(dir / "b.tif", OIIO::TypeDesc::UINT16, pb);  // sRGB for want of metadata
    const std::string scene =
        dir.Write("s.json", Scene(R"({"id": "a", "type": "image", "file": "a.png"},
        {"id": "b", "type": "image", "file": "b.tif"}, {"id": "mix", "type": "composite",
        "source": "a", "destination": "b", "opacity": 0.5})",
                                  "mix", "", 1));
    const auto [png, exr] = RenderRed(dir, scene);
    EXPECT_EQ(png, c.png);
    EXPECT_NEAR(exr, c.exr, 1e-5);
  }
}

// A config the scene names is applied through OpenColorIO: its space
// "root" holds square roots of linear values, for the file and the output.
// 200 at half opacity over black: 0.5 x 0.78431^2 = 0.30757 linear, whose
// square root is 141.42 at 8 bits. Names the config lacks are refused.
TEST_F(RenderTest, NamedOcioConfigMustBeAppliedAndUnknownSpacesRefused) {
  ScratchDir dir;
  dir.Write("test.ocio", R"(ocio_profile_version: 2
roles: {default: lin, scene_linear: lin}
displays: {screen: [!<View> {name: plain, colorspace: lin}]}
colorspaces:
  - !<ColorSpace> {name: lin}
  - !<ColorSpace> {name: root, to_scene_reference: !<ExponentTransform> {value: [2, 2, 2, 1]}}
)");
  const float grey[4] = {200 / 255.f, 200 / 255.f, 200 / 255.f, 1};
  WritePixelFile(dir / "a.png", OIIO::TypeDesc::UINT8, grey);
  const auto with = [&](const std::string& key) {
    return dir.Write(
        "s.json", Scene(R"({"id": "a", "type": "image", "file": "a.png")" + key +
                            R"(}, {"id": "black", "type": "solid", "color": [0, 0, 0]},
        {"id": "mix", "type": "composite", "source": "a", "destination": "black", "opacity": 0.5})",
                        "mix", R"("ocio_config": "test.ocio", "output_colorspace": "root", )", 1));
  };
  const auto [png, exr] = RenderRed(dir, with(R"(, "colorspace": "root")"));
  EXPECT_EQ(png, 141);
  EXPECT_NEAR(exr, 0.307574f, 2e-6);
  ExpectFailure({with(""), "-o", dir / "out.png", "-q"}, 2,
                "/nodes/0/file: the file's metadata names colour space 'sRGB'");
}

// Rows are read when a render first asks for them: a corner of an image
// whose lower half is cut off renders, the whole of it fails as bad input.
TEST_F(RenderTest, ImageRowsMustBeReadOnlyWhenARenderAsksForThem) {
  ScratchDir dir;
  std::vector<unsigned char> noise(64 * 1024 * 4);
  uint32_t seed = 1;
  for (unsigned char& v : noise)
    v = static_cast<unsigned char>((seed = seed * 1664525 + 1013904223) >> 24);
  const std::string image = dir / "cut.png";
  auto out = OIIO::ImageOutput::create(image);
  ASSERT_TRUE(out && out->open(image, OIIO::ImageSpec(64, 1024, 4, OIIO::TypeDesc::UINT8)));
  ASSERT_TRUE(out->write_image(OIIO::TypeDesc::UINT8, noise.data()));
  out->close();
  std::filesystem::resize_file(image, std::filesystem::file_size(image) / 2);
  const std::string scene = dir.Write("s.json", R"({"width": 64, "height": 1024, "output": "a",
      "nodes": [{"id": "a", "type": "image", "file": "cut.png"}]})");
  EXPECT_EQ(RunTool({scene, "-o", dir / "corner.png", "--rect", "0,0,16,16", "-q"}), 0);
  ExpectFailure({scene, "-o", dir / "all.png", "-q"}, 2,
                "/nodes/0/file: cannot read image 'cut.png'", 0);
}

// Each blur of a chain takes its output buffer only after its input has
// rendered, so the chain holds a few buffers at a time, not one per node.
TEST_F(RenderTest, BlurChainMustHoldOnlyAFewBuffersAtATime) {
  ScratchDir dir;
  std::string nodes = R"({"id": "n0", "type": "solid", "color": [1, 0, 0, 0.5]})";
  for (int i = 1; i <= 100; ++i)
    nodes += R"(, {"id": "n)" + std::to_string(i) +
             R"(", "type": "blur", "sigma": 0.3, "input": "n)" + std::to_string(i - 1) + "\"}";
  const std::string scene = dir.Write("chain.json", Scene(nodes, "n100", "", 32));
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
}

// The trace's spans nest within each thread of each execution, and the
// figures each span records for itself add up to the frame's statistics.
void CheckTraceAgainstStats(const json& trace, const json& stats) {
  std::map<int, std::string> process;  // pid -> "frame N"
  std::map<std::pair<int, int>, std::vector<json>> spans;
  for (const json& e : trace["traceEvents"]) {
    if (e["ph"] == "M" && e["name"] == "process_name") process[e["pid"]] = e["args"]["name"];
    if (e["ph"] == "X") spans[{e["pid"], e["tid"]}].push_back(e);
  }
  // Span figure -> frame statistic.
  const std::pair<const char*, json::json_pointer> keys[] = {
      {"buffers_allocated", json::json_pointer("/pixel_buffers_allocated")},
      {"bytes_allocated", json::json_pointer("/pixel_bytes_allocated")},
      {"bytes_copied", json::json_pointer("/pixel_bytes_copied")},
      {"cache_hits", json::json_pointer("/cache/hits")},
      {"cache_misses", json::json_pointer("/cache/misses")}};
  std::map<std::string, std::map<std::string, long long>> sums;  // frame -> key -> sum
  std::set<std::string> categories;
  for (auto& [where, list] : spans) {
    std::stable_sort(list.begin(), list.end(),
                     [](const auto& a, const auto& b) { return a["ts"] < b["ts"]; });
    std::vector<long long> ends;  // of the open enclosing spans
    for (const json& e : list) {
      const long long ts = e["ts"], end = ts + e["dur"].get<long long>();
      while (!ends.empty() && ends.back() <= ts && ends.back() < end) ends.pop_back();
      EXPECT_TRUE(ends.empty() ? e["cat"] == "execution" : end <= ends.back()) << e.dump();
      ends.push_back(end);
      categories.insert(e["cat"]);
      for (const auto& [k, _] : keys)
        sums[process[where.first]][k] += e["args"][k].get<long long>();
      EXPECT_TRUE(e["cat"] == "execution" || e["args"]["depth"] == 32) << e.dump();
    }
  }
  EXPECT_EQ(categories, (std::set<std::string>{"execution", "pre-render", "render"}));
  ASSERT_EQ(sums.size(), stats["frames"].size());
  for (const json& f : stats["frames"]) {
    for (const auto& [k, stat] : keys)
      EXPECT_EQ(sums["frame " + std::to_string(f["frame"].get<int>())].at(k), f[stat]) << k;
  }
}

TEST_F(RenderTest, StatsProfileAndTraceMustDescribeEveryFrameAndAgree) {
  ScratchDir dir;
  ASSERT_EQ(
      RunTool({DataPath("reference_scene.json"), "-o", dir / "f_#.exr", "-d", "32", "-q", "--stats",
               dir / "stats.json", "--profile", dir / "p.dot", "--trace", dir / "t.json"}),
      0);
  const json stats = ReadJson(dir / "stats.json");
  ASSERT_EQ(stats["frames"].size(), 5u);
  CheckTraceAgainstStats(ReadJson(dir / "t.json"), stats);
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
}

}  // namespace
