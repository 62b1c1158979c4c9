// Scene texts the loader once let through as something other than a
// SceneError (found by fuzzing the loader).
#include <gtest/gtest.h>

#include <string>

#include "SceneLoader.h"
#include "support/LeakCheck.h"

namespace {

class SceneLoaderFuzzTest : public LeakCheckTest {};

TEST_F(SceneLoaderFuzzTest, NumberBeyondDoubleRangeIsASceneError) {
  for (const std::string number : {"1e309", "-1e400"}) {
    const std::string text = R"({"width": 8, "height": 8, "nodes": [{"id": "a", "type": "solid",
      "color": [)" + number + R"(, 0, 0]}], "output": "a"})";
    try {
      ParseScene(text, "s.json", ".");
      ADD_FAILURE() << number << " parsed";
    } catch (const SceneError& e) {
      const std::string msg = e.what();
      EXPECT_EQ(msg.rfind("s.json: malformed JSON", 0), 0u) << msg;
      EXPECT_EQ(msg.find('\n'), std::string::npos) << "one line";
    }
  }
}

}  // namespace
