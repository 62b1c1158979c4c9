// Helpers for the rgrender tests: a scratch folder that removes itself,
// scene text, and running the program's front end in-process.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Renderer.h"

class ScratchDir {
 public:
  ScratchDir() {
    static int counter = 0;
    path_ = std::filesystem::temp_directory_path() /
            ("rgrender_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(path_ / name) << text;
    return (path_ / name).string();
  }
  // Every entry of the folder, hidden ones included, sorted.
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
inline std::string Scene(const std::string& nodes, const std::string& output = "a",
                         const std::string& extra = "", int size = 8) {
  const std::string side = std::to_string(size);
  return R"({"width": )" + side + R"(, "height": )" + side + ", " + extra + R"("nodes": [)" +
         nodes + R"(], "output": ")" + output + "\"}";
}

inline int RunTool(std::vector<std::string> args) {
  args.insert(args.begin(), "rgrender");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  return RgrenderMain(static_cast<int>(argv.size()), argv.data());
}

// Runs the program, which must end with `code` and write `lines` lines
// (0: any number) to stderr, holding `message`.
inline void ExpectFailure(const std::vector<std::string>& args, int code,
                          const std::string& message, int lines = 1) {
  testing::internal::CaptureStderr();
  const int got = RunTool(args);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(got, code) << "expected '" << message << "', got: " << err;
  EXPECT_NE(err.find(message), std::string::npos) << "expected '" << message << "', got: " << err;
  EXPECT_TRUE(lines == 0 || std::count(err.begin(), err.end(), '\n') == lines) << err;
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string DataPath(const std::string& name) {
  return std::string(RGRENDER_TEST_DATA) + "/" + name;
}
