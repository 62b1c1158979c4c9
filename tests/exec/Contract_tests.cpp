// What a node gets wrong is refused with the report and code the contract
// names, and leaves nothing behind.
#include <climits>

#include "exec/ExecTestAccess.h"
#include "exec/RGp_RequestRules.h"
#include "rghost/U_Errors.h"
#include "support/LeakCheck.h"

namespace {

constexpr PF_RGBA8 kRed{200, 0, 0, 255};
using PreFn = std::function<void(RG_NodePreRenderCB*, const RG_RenderRequest&)>;
using RenderFn = std::function<void(RG_NodeRenderCB*)>;

class ContractTest : public LeakCheckTest {};

// Each row breaks one rule in a node's PreRender or Render over one solid
// input (0, 0, 10, 10); the execution must throw the code with the report,
// pre-render the input as often as shown, delete the locks handed to a
// refused SetOutputWorld and leave no world alive.
TEST_F(ContractTest, NodeContractViolationsReportAndThrow) {
  int locks = 0;
  const auto setOutput = [&](RG_CheckoutResult* out, int32_t width) {
    out->SetOutputWorld(PF_World::New(TestRect(0, 0, width, 10), 8, 0),
                        new TestCounted<RG_BufferLock>(&locks));
  };
  const PreFn io = &TestInputThenOutput;
  const PreFn inPlace = &TestInPlaceOverInput;
  const RenderFn none = [](RG_NodeRenderCB*) {};
  // A result checked out by another node.
  RG_CheckoutResult* foreign = nullptr;
  const auto middle = [&] {
    return new TestLambdaNode(
        {TestSolid(TestRect(0, 0, 10, 10), kRed)},
        [&](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
          foreign = cb->CheckoutInput(0, r);
          cb->RequestOutput(r.rect, 0, 0);
        },
        nullptr);
  };
  struct Case {
    const char* name;
    PreFn pre;
    RenderFn render;
    long code;  // 516 comes with an error string, 3 with a failed verification
    long location, line;
    const char* text;
    int inputPreRenders, locksDeleted;
    int input = 0;  // 1: no input; 2: the input is `middle`
  };
  const char* kNegative = "Checkout ID must be non-negative";
  const Case cases[] = {
      {"negative id", [](auto* cb, auto& r) { cb->CheckoutInputWithID(0, -1, r); }, none, 516,
       0x4E0007, 0, kNegative, 0, 0},
      {"automatic id after INT32_MAX",
       [](auto* cb, auto& r) {
         EXPECT_EQ(RGp_CheckoutResultAccess::Id(cb->CheckoutInputWithID(0, INT32_MAX, r)),
                   INT32_MAX);
         cb->CheckoutInput(0, r);
       },
       none, 516, 0x4E0007, 0, kNegative, 1, 0},
      {"output after INT32_MAX",
       [](auto* cb, auto& r) {
         cb->CheckoutInputWithID(0, INT32_MAX, r);
         cb->RequestOutput(r.rect, 0, 0);
       },
       none, 516, 0x4E0007, 0, kNegative, 1, 0},
      {"id of 2^32", [](auto* cb, auto& r) { cb->CheckoutInputWithID(0, 1L << 32, r); }, none, 516,
       0x4E0007, 0, kNegative, 0, 0},
      {"duplicate id",
       [](auto* cb, auto& r) {
         cb->CheckoutInputWithID(0, 3, r);
         cb->CheckoutInputWithID(0, 3, TestRequest(TestRect(0, 0, 20, 20)));
       },
       none, 516, 0x4E0007, 0, "Checkout ID is not unique", 2, 0},
      {"in place after output",
       [](auto* cb, auto& r) {
         cb->CheckoutInput(0, r);
         cb->RequestOutputInPlace(cb->RequestOutput(r.rect, 0, 0), r.rect, 0, 0);
       },
       none, 3, 0x4E0003, 602, "cannot request output more than once", 1, 0},
      {"output twice",
       [](auto* cb, auto& r) {
         cb->RequestOutput(r.rect, 0, 0);
         cb->RequestOutput(r.rect, 0, 0);
       },
       none, 3, 0x4E0003, 598, "cannot request output more than once", 0, 0},
      {"in place over null",
       [](auto* cb, auto& r) { cb->RequestOutputInPlace(nullptr, r.rect, 0, 0); }, none, 3,
       0x4E0003, 607, "invalid input request passed to RequestOutputInPlace", 0, 0},
      {"in place over another node's checkout",
       [&](auto* cb, auto& r) {
         cb->CheckoutInput(0, r);
         cb->RequestOutputInPlace(foreign, r.rect, 0, 0);
       },
       none, 3, 0x4E0003, 607, "invalid input request passed to RequestOutputInPlace", 0, 0, 2},
      {"in place smaller than the input's result",
       [](auto* cb, auto& r) {
         cb->RequestOutputInPlace(cb->CheckoutInput(0, r), TestRect(0, 0, 10, 9), 0, 0);
       },
       none, 3, 0x4E0003, 614, "output rect cannot be smaller than input result rect", 1, 0},
      {"in place across depths",
       [](auto* cb, auto& r) {
         cb->RequestOutputInPlace(cb->CheckoutInput(0, TestRequest(r.rect, 16)), r.rect, 0, 0);
       },
       none, 3, 0x4E0003, 618,
       "cannot work in place when output has different bit depth than input", 1, 0},
      {"two depths into one node",
       [](auto* cb, auto& r) {
         cb->CheckoutInput(0, r);
         cb->CheckoutInput(0, TestRequest(TestRect(1, 1, 2, 2), 16));
       },
       none, 3, 0x4E0002, 319, "All render requests into a node must have the same bit depth", 1,
       0},
      {"no output", [](auto* cb, auto& r) { cb->CheckoutInput(0, r); }, none, 3, 0x4E0003, 590,
       "PreRender did not declare an output", 1, 0},
      {"input 1", [](auto* cb, auto& r) { cb->CheckoutInput(1, r); }, none, 3, 0x4E0003, 640,
       "checkout of an input index out of range", 0, 0},
      {"input -1", [](auto* cb, auto& r) { cb->CheckoutInput(-1, r); }, none, 3, 0x4E0003, 640,
       "checkout of an input index out of range", 0, 0},
      {"an empty input slot", [](auto* cb, auto& r) { cb->CheckoutInput(0, r); }, none, 3, 0x4E0003,
       644, "checkout of an empty input slot", 0, 0, 1},
      {"render leaves no output world", io, [](auto* cb) { cb->GetNextCheckout()->GetWorld(); }, 3,
       0x4E0003, 780, "Render left the node's output without a world", 1, 0},
      {"writable before rendered", io, [](auto* cb) { cb->GetNextCheckout()->WorldIsWritable(); },
       3, 0, 212, "Cannot call WorldIsWritable() before checkout is rendered", 1, 0},
      {"writable world of an input before rendered", io,
       [](auto* cb) { cb->GetNextCheckout()->GetWritableWorld(); }, 3, 0, 212,
       "Cannot call WorldIsWritable() before checkout is rendered", 1, 0},
      {"coerce before rendered", io, [](auto* cb) { cb->GetNextCheckout()->CoerceBitDepth(16); }, 3,
       0x4E0004, 260, "Cannot call CoerceBitDepth() before checkout is rendered", 1, 0},
      {"set output of an in-place output", inPlace,
       [&](auto* cb) { setOutput(cb->GetCheckoutByID(-1), 10); }, 3, 0x4E0004, 190,
       "Attempt to call SetOutputWorld() on an input or works-in-place buffer", 1, 1},
      {"set output of an input", io, [&](auto* cb) { setOutput(cb->GetNextCheckout(), 10); }, 3,
       0x4E0004, 190, "Attempt to call SetOutputWorld() on an input or works-in-place buffer", 1,
       1},
      {"set output twice", io,
       [&](auto* cb) {
         cb->GetCheckoutByID(-1)->GetOutputWorld();
         setOutput(cb->GetCheckoutByID(-1), 10);
       },
       3, 0x4E0004, 192, "Output already set", 1, 1},
      {"set output of the wrong size", io,
       [&](auto* cb) { setOutput(cb->GetCheckoutByID(-1), 11); }, 3, 0x4E0004, 195,
       "SetOutputWorld called with a world of the wrong size", 1, 1},
      {"force rect in render", io,
       [](auto* cb) { cb->GetNextCheckout()->ForceRect(TestRect(0, 0, 5, 5)); }, 3, 0x4E0004, 300,
       "ForceRect() is for PreRender only", 1, 0},
      {"force output rect in render", io,
       [](auto* cb) { cb->GetCheckoutByID(-1)->ForceRect(TestRect(0, 0, 5, 5)); }, 3, 0x4E0004, 300,
       "ForceRect() is for PreRender only", 1, 0},
      {"unknown checkout id", io, [](auto* cb) { cb->GetCheckoutByID(5); }, 516, 0x4E0007, 0,
       "Unknown checkout id", 1, 0},
      {"more checkouts than made", io,
       [](auto* cb) {
         for (int i = 0; i < 3; ++i) cb->GetNextCheckout();
       },
       3, 0, 732, "Node received more checkout requests than expected", 1, 0},
      // Not violations: any rect over an empty input, and a rendered output.
      {"in place over an empty input, any rect",
       [](auto* cb, auto&) {
         cb->RequestOutputInPlace(cb->CheckoutInput(0, TestRequest(TestRect(50, 50, 60, 60))),
                                  TestRect(0, 0, 1, 1), 0, 0);
       },
       none, 0, 0, 0, "", 1, 0},
      {"a rendered output is writable", io,
       [](auto* cb) {
         cb->GetNextCheckout();
         RG_CheckoutResult* out = cb->GetNextCheckout();
         PF_World* viaWritable = out->GetWritableWorld();
         EXPECT_NE(viaWritable, nullptr);
         EXPECT_EQ(viaWritable, out->GetOutputWorld());
         EXPECT_TRUE(out->WorldIsWritable());
       },
       0, 0, 0, "", 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    locks = 0;
    U_ClearReportLog();
    auto* input = TestSolid(TestRect(0, 0, 10, 10), kRed);
    std::vector<RG_RenderNode*> inputs{input};
    if (c.input == 1) inputs = {nullptr};
    if (c.input == 2) inputs = {middle()};
    U_SharedPtr<RG_RenderNode> keep(input);
    U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(inputs, c.pre, c.render));
    EXPECT_EQ(CatchCode([&] { TestRun(root.get(), TestRect(0, 0, 10, 10)); }), c.code);
    EXPECT_TRUE(c.code != 0 || U_ReportLog().empty());
    if (c.code != 0)
      ExpectLastReport(c.code == 516 ? U_ReportKind::ErrorString : U_ReportKind::FailedVerification,
                       c.location, c.line, c.text);
    EXPECT_EQ(c.input == 0 ? input->counters.pre_renders : c.inputPreRenders, c.inputPreRenders);
    EXPECT_EQ(locks, c.locksDeleted);
    EXPECT_EQ(PF_GetWorldStats().live_worlds, 0);
  }
}

// A request of a depth the host has no pixels for, or a destination that is
// missing or does not match the destination rect and the depth, is refused
// with its report before any node is asked.
TEST_F(ContractTest, BadRequestsAndDestinationsMustBeRefusedBeforeAnyNode) {
  auto* leaf = TestSolid(TestRect(0, 0, 4, 4), kRed);
  U_SharedPtr<RG_RenderNode> root(leaf);
  const M_LRect r = TestRect(0, 0, 4, 4);
  std::unique_ptr<PF_World> dest(PF_World::New(r, 8, 0)), dest16(PF_World::New(r, 16, 0));
  const struct {
    int16_t depth;
    bool intoDest;
    M_LRect rect;
    PF_World* world;
  } cases[] = {{12, false, r, nullptr},
               {12, true, r, dest.get()},
               {8, true, r, nullptr},
               {8, true, M_LRect{}, dest.get()},
               {8, true, TestRect(0, 0, 5, 4), dest.get()},
               {8, true, TestRect(0, 0, 4, 5), dest.get()},
               {8, true, r, dest16.get()}};
  for (const auto& c : cases) {
    U_ClearReportLog();
    M_LRect rect;
    EXPECT_EQ(CatchCode([&] {
                c.intoDest ? RG_ExecuteGraph(leaf, TestRequest(r, c.depth), c.rect, c.world, &rect)
                           : (void)TestRun(leaf, TestRequest(r, c.depth));
              }),
              U_ERR_BAD_PARAMETER)
        << &c - cases;
    ASSERT_FALSE(U_ReportLog().empty()) << &c - cases;
    EXPECT_NE(U_ReportLog().back().text.find("bit depth"), std::string::npos);
  }
  EXPECT_EQ(leaf->counters.pre_renders, 0);
}

}  // namespace
