// Helpers for the rgrender tests: a scratch folder that removes itself, and
// running the program's front end in-process.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
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
  const std::filesystem::path& Path() const { return path_; }
  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(path_ / name) << text;
    return (path_ / name).string();
  }
  // Every entry of the folder, hidden ones included.
  std::vector<std::string> Entries() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path_))
      out.push_back(e.path().filename().string());
    return out;
  }

 private:
  std::filesystem::path path_;
};

inline int RunTool(std::vector<std::string> args) {
  args.insert(args.begin(), "rgrender");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  return RgrenderMain(static_cast<int>(argv.size()), argv.data());
}

inline std::string DataPath(const std::string& name) {
  return std::string(RGRENDER_TEST_DATA) + "/" + name;
}
