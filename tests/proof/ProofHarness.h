// Runs a described graph through the library in the description's form and
// compares the outcome with the reference evaluator's, pixel for pixel.
#pragma once

#include <memory>
#include <string>

#include "proof/RandomGraph.h"
#include "proof/ReferenceEvaluator.h"
#include "rg/RG_RenderNode.h"

// What one execution handed back. For the destination form, `world` is the
// whole destination world and `rect` the destination rect.
struct ProofLibraryOutput {
  M_LRect rect;
  char flags = 0;
  std::unique_ptr<RG_BufferLock> lock;  // declared first: dies after the world
  ProofWorldPtr world;
};

ProofLibraryOutput ProofExecute(const ProofGraphDesc& desc, RG_RenderNode* root);

// Empty when the library's pixels equal the reference's over the requested
// rect (only the requested field's rows for a single-field request, pixels
// outside a result counting as transparent black), the result world matches
// its rect, an opaque result is opaque and no leaf outside a cache rendered
// more than once; otherwise a description of the first difference.
std::string ProofCompare(const ProofGraphDesc& desc, const ProofLibraryOutput& lib,
                         const ProofRefResult& ref);

struct ProofCheckStats {
  bool drew = false;     // the reference has pixels in the request
  int cache_hits = 0;    // lookups that found an entry
  int cache_stores = 0;  // results handed to a cache
};

// Builds the graph, runs it desc.runs times and checks every run against the
// reference; a run must also report nothing. Empty on success; otherwise what
// went wrong, with the graph.
std::string ProofCheckGraph(const ProofGraphDesc& desc, ProofCheckStats* stats = nullptr);
// Every run of `desc` on `graph` against `expected`; the first difference.
std::string ProofRunAll(const ProofGraphDesc& desc, const ProofBuiltGraph& graph,
                        const ProofRefResult& expected);
