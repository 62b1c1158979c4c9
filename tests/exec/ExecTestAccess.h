// Test-only access to the execution engine's private state, and helpers for
// checking reports and thrown codes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "exec/RGp_InvocationTable.h"
#include "exec/RGp_NodeInvocation.h"
#include "rghost/U_Report.h"
#include "support/TestNodes.h"

struct RGp_TraverserAccess {
  // Makes the next execution read the stack limits again, as at process start.
  static void ForgetStackLimits() {
    RG_Traverser::S_max_total_stackL = 0;
    RG_Traverser::S_max_per_node_stackL = 0;
  }
  static uint64_t TotalLimit() { return RG_Traverser::S_max_total_stackL; }
  static uint64_t PerNodeLimit() { return RG_Traverser::S_max_per_node_stackL; }
  static RGp_NodeInvocation* Invocation(const RG_Traverser& t, const RG_RenderNode* node) {
    return t.table_ ? t.table_->Find(node) : nullptr;
  }
};

struct RGp_CheckoutResultAccess {
  static const PF_World* World(const RG_CheckoutResult* r) { return r->world_.get(); }
  static int32_t Id(const RG_CheckoutResult* r) { return r->checkout_id_; }
};

// Checks the last report of the host's log (the line only where it has one).
inline void ExpectLastReport(U_ReportKind kind, long location, long line, const std::string& text) {
  ASSERT_FALSE(U_ReportLog().empty()) << "no report";
  const U_ReportRecord& r = U_ReportLog().back();
  EXPECT_EQ(r.kind, kind);
  EXPECT_EQ(r.location, location);
  EXPECT_EQ(r.line, kind == U_ReportKind::FailedVerification ? line : r.line);
  EXPECT_EQ(r.text, text);
}
