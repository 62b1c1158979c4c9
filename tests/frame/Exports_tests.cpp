#include <dlfcn.h>

#include <cstdint>

#include "rghost/U_Report.h"
#include "support/LeakCheck.h"

namespace {

// What a host can reach in the shared library, and what stays inside it.
class ExportsTest : public LeakCheckTest {
 protected:
  void SetUp() override {
    LeakCheckTest::SetUp();
    handle_ = dlopen(RG_SHARED_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (handle_) dlclose(handle_);
    LeakCheckTest::TearDown();
  }
  void* Find(const char* name) const { return dlsym(handle_, name); }

  void* handle_ = nullptr;
};

TEST_F(ExportsTest, HandshakeAndNodeBaseAreExportedInternalsHidden) {
  auto version = reinterpret_cast<uint32_t (*)()>(Find("RG_PkgObjectVersion"));
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version(), 0x10000u);
  EXPECT_NE(Find("RG_CheckVersions"), nullptr);
  // The string table pointer is set when the library is loaded.
  auto* zref = static_cast<U_LStrTable**>(Find("RG_G_zref"));
  ASSERT_NE(zref, nullptr);
  ASSERT_NE(*zref, nullptr);
  EXPECT_STREQ((*zref)->module, "RG");
  EXPECT_EQ((*zref)->count, 3);
  EXPECT_TRUE(Find("_ZN13RG_RenderNodeC2Ev") != nullptr ||
              Find("_ZN13RG_RenderNodeC1Ev") != nullptr);
  EXPECT_NE(Find("_ZN13RG_RenderNode23S_globally_unique_seedLE"), nullptr);
  EXPECT_NE(Find("_Z14RG_SetProfilerP16RG_GraphProfiler"), nullptr);
  EXPECT_NE(Find("_ZTV11RG_NullNode"), nullptr);
  EXPECT_NE(Find("_ZTV19RG_SourceBufferNode"), nullptr);
  // Internals stay hidden.
  EXPECT_EQ(Find("_Z17RGp_RequestCoversRK16RG_RenderRequestS1_"), nullptr);
  EXPECT_EQ(Find("_Z20RGp_FailVerificationllPKc"), nullptr);
  EXPECT_EQ(Find("RGp_G_lstr_table"), nullptr);
  EXPECT_EQ(Find("_ZN13RGp_NodeScopeC1EP16RG_GraphProfilerPK13RG_RenderNode"), nullptr);
}

}  // namespace
