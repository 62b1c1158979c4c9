// Pixel buffers: views and storage lifetime, narrowing, parameter checks and
// overlapping copies on several threads; and the geometry under them: matrix
// inversion and the corners of transformed rects.
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>
#include <utility>

#include "PF_Transfer_oracle.h"
#include "rghost/M_Geometry.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"
#include "support/TestNodes.h"

namespace {

using oracle::WorldPtr;
WorldPtr NewWorld(M_LRect rect, short depth, long flags = 1) {
  return WorldPtr(PF_World::New(rect, depth, flags));
}
WorldPtr NewView(PF_World* parent, M_LRect area) {
  return WorldPtr(PF_World::NewReference(parent, area));
}
PF_RGBA8& Pixel8(const PF_World& w, int x, int y) {
  return *static_cast<PF_RGBA8*>(w.PixelAddress(x, y));
}
// The world shows the test pattern's pixel of render point (x, y) there.
bool Shows(const PF_World& w, int x, int y) {
  return TestSame(TestPixel(&w, x, y), TestPatternAt(x, y));
}

class PFWorldTest : public LeakCheckTest {};

TEST_F(PFWorldTest, ViewsMustShareStorageNarrowInPlaceAndKeepItAlive) {
  WorldPtr parent = NewWorld({100, 200, 110, 210}, 8);
  TestFillPattern(parent.get());
  const long long bytes = PF_GetWorldStats().live_pixel_bytes;
  EXPECT_TRUE(bytes > 0 && reinterpret_cast<uintptr_t>(parent->data) % 64 == 0);  // row-aligned
  EXPECT_EQ(PF_GetWorldStats().pixel_bytes_cleared, 10 * 10 * 4);  // its pixels, not its rows
  WorldPtr view = NewView(parent.get(), M_LRect{2, 3, 6, 8});
  EXPECT_EQ(view->GetRect(), (M_LRect{102, 203, 106, 208}));
  EXPECT_TRUE(view->IsReference() && !parent->IsReference());
  EXPECT_EQ(view->PixelAddress(0, 0), parent->PixelAddress(2, 3));
  // The short rect form takes top, left, bottom, right.
  WorldPtr same(PF_World::NewReference(parent.get(), M_Rect{3, 2, 8, 6}));
  EXPECT_TRUE(same->data == view->data && same->GetRect() == view->GetRect());
  // Views count as worlds, not as pixel memory; a view of a view refers to
  // the owner, the owner to nothing.
  EXPECT_EQ(PF_GetWorldStats().live_worlds, 3);
  EXPECT_EQ(PF_GetWorldStats().live_pixel_bytes, bytes);
  EXPECT_TRUE(same->RefersTo(parent.get()) && same->RefersTo(view.get()));
  EXPECT_FALSE(parent->RefersTo(view.get()) || view->RefersTo(nullptr));
  std::vector<PF_RGBA8> memory(16);
  WorldPtr borrowed(PF_World::NewBorrowed(memory.data(), 4, 4, 16, 8, 0, 0));
  WorldPtr borrowedView = NewView(borrowed.get(), M_LRect{0, 0, 2, 2});
  EXPECT_TRUE(!borrowed->IsReference() && borrowedView->RefersTo(borrowed.get()));
  EXPECT_FALSE(borrowedView->RefersTo(parent.get()) || view->RefersTo(borrowed.get()));
  EXPECT_EQ(PF_GetWorldStats().live_pixel_bytes, bytes);
  // Narrowing works in the view's coordinates, twice over.
  for (const auto& [sub, rect, x, y] :
       {std::tuple{M_LRect{1, 2, 4, 5}, M_LRect{103, 205, 106, 208}, 3, 5},
        {M_LRect{1, 1, 2, 3}, M_LRect{104, 206, 105, 208}, 4, 6}}) {
    same->ShrinkToSubRect(sub);
    EXPECT_EQ(same->GetRect(), rect);
    EXPECT_EQ(same->PixelAddress(0, 0), parent->PixelAddress(x, y));
  }
  {
    WorldPtr emptied = NewView(parent.get(), M_LRect{0, 0, 2, 2});
    emptied->ShrinkToSubRect(M_LRect{});  // the size becomes the empty rect's
    EXPECT_EQ(std::tuple(emptied->width, emptied->height), std::tuple(0, 0));
  }
  // Writes through a view show in the parent; the views outlive it.
  Pixel8(*view, 1, 1) = PF_RGBA8{9, 8, 7, 6};
  EXPECT_TRUE(TestSame(Pixel8(*parent, 3, 4), PF_RGBA8{9, 8, 7, 6}));
  parent.reset();
  EXPECT_EQ(PF_GetWorldStats().live_pixel_bytes, bytes);
  EXPECT_TRUE(Shows(*view, 105, 207) && Shows(*same, 104, 206));
  // The peak keeps a world that is gone; storages are counted, views and
  // borrowed memory not; a reset brings the peak down to what is alive.
  NewWorld({0, 0, 16, 4}, 32).reset();  // 256-byte rows
  EXPECT_EQ(PF_GetWorldStats().peak_pixel_bytes, bytes + 1024);
  EXPECT_EQ(PF_GetWorldStats().worlds_allocated, 2);
  PF_ResetWorldStats();
  EXPECT_TRUE(PF_GetWorldStats().peak_pixel_bytes == bytes && !PF_GetWorldStats().worlds_allocated);
  view.reset();
  same.reset();
  EXPECT_EQ(PF_GetWorldStats().live_pixel_bytes, 0);
}

// Each operation makes one fallible call, first, so that an injected failure
// stops it whether or not its parameters are good.
TEST_F(PFWorldTest, EveryOperationMustMakeOneFallibleCallAndRefuseBadSizesDepthsAndAreas) {
  WorldPtr w8 = NewWorld({0, 0, 8, 8}, 8), w16 = NewWorld({0, 0, 8, 8}, 16);
  WorldPtr view = NewView(w8.get(), M_LRect{2, 2, 6, 6});
  const int32_t lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max();
  PF_RGBA8 memory[16];
  auto newWorld = [](M_LRect r, short depth) { return [=] { delete PF_World::New(r, depth, 1); }; };
  auto newView = [&](M_LRect a) { return [&, a] { delete PF_World::NewReference(w8.get(), a); }; };
  auto borrow = [&](void* at, long rowbytes, short depth) {
    return [=] { delete PF_World::NewBorrowed(at, 4, 4, rowbytes, depth, 0, 0); };
  };
  auto shrink = [&](M_LRect a) { return [&, a] { view->ShrinkToSubRect(a); }; };
  const M_LRect corner{0, 0, 1, 1};
  const long bad = U_ERR_BAD_PARAMETER;
  const struct {
    const char* name;
    std::function<void()> fn;
    long code;
  } cases[] = {
      {"new", newWorld({0, 0, 2, 2}, 8), 0},
      {"view", newView({0, 0, 1, 1}), 0},
      {"borrowed", borrow(memory, 16, 8), 0},
      {"borrowed, no columns nor memory",
       [] { delete PF_World::NewBorrowed(nullptr, 0, 4, 0, 8, 0, 0); }, 0},
      {"clear", [&] { w8->Clear(0); }, 0},
      {"clear outside", [&] { w8->ClearOutside(corner); }, 0},
      {"copy", [&] { w8->CopyPixels(view.get(), nullptr, 0, 0); }, 0},
      {"convert", [&] { w8->ConvertPixels(w16.get(), nullptr, 1, 0, 0, 0); }, 0},
      {"shrink to the whole", shrink({0, 0, 4, 4}), 0},
      {"negative width", newWorld({0, 0, -1, 4}, 8), bad},
      {"negative height", newWorld({0, 5, 4, 4}, 16), bad},
      {"depth 12", newWorld({0, 0, 4, 4}, 12), bad},
      {"depth 0", newWorld({0, 0, 4, 4}, 0), bad},
      {"width overflows", newWorld({lo, lo, hi, hi}, 32), bad},
      {"too many bytes", newWorld({0, 0, hi, hi}, 8), bad},
      {"view left of parent", newView({-1, 0, 4, 4}), bad},
      {"view right of parent", newView({0, 0, 9, 4}), bad},
      {"view below parent", newView({4, 4, 8, 9}), bad},
      {"view above parent", newView({0, -3, 2, 2}), bad},
      {"short borrowed rows", borrow(memory, 15, 8), bad},
      {"borrowed depth 7", borrow(memory, 16, 7), bad},
      {"borrowed without memory", borrow(nullptr, 16, 8), bad},
      {"one borrowed row without memory",
       [] { delete PF_World::NewBorrowed(nullptr, 4, 1, 16, 8, 0, 0); }, bad},
      {"negative borrowed rows", borrow(memory, -16, 8), bad},
      {"copy across depths", [&] { w16->CopyPixels(w8.get(), nullptr, 0, 0); }, bad},
      {"shrink past the right", shrink({0, 0, 5, 1}), bad},
      {"shrink past the bottom", shrink({0, 0, 1, 5}), bad},
      {"shrink left of the view", shrink({-1, 0, 2, 2}), bad},
      {"shrink above the view", shrink({0, -1, 2, 2}), bad},
  };
  for (const auto& c : cases) {
    const long long before = U_FallibleCallCount();
    EXPECT_EQ(CatchCode(c.fn), c.code) << c.name;
    EXPECT_EQ(U_FallibleCallCount() - before, 1) << c.name;
    U_InjectFailure(0, 4242);
    EXPECT_EQ(CatchCode(c.fn), 4242) << c.name;
  }
  EXPECT_EQ(view->GetRect(), (M_LRect{2, 2, 6, 6}));  // the failed shrinks changed nothing
  EXPECT_EQ(PF_GetWorldStats().live_worlds, 3);
  // A world whose owner has set its data to null has no pixels to give or take.
  void* const pixels = std::exchange(w8->data, nullptr);
  w8->CopyPixels(view.get(), nullptr, 0, 0);
  w16->ConvertPixels(w8.get(), nullptr, 1, 0, 0, 0);
  w8->data = pixels;
  // Empty worlds and views are no error, whatever their coordinates.
  EXPECT_EQ(NewWorld({4, 4, 4, 4}, 8)->width, 0);
  WorldPtr empty = NewView(w8.get(), M_LRect{50, 50, 40, 60});
  EXPECT_EQ(empty->width + empty->height, 0);
}

// Small and large copies (the large ones are split across threads when the
// memory is separate), onto themselves shifted and between buffers, clipped
// to either world.
TEST_F(PFWorldTest, CopiesMustClipToBothWorldsAndOverlapAlikeAtEveryThreadCount) {
  for (int threads : {1, 2}) {
    oracle::ThreadCountScope scope(threads);
    for (int size : {6, 400}) {
      SCOPED_TRACE(testing::Message() << threads << " threads, " << size);
      WorldPtr w = NewWorld({0, 0, size, size}, 8);
      TestFillPattern(w.get());
      WorldPtr view = NewView(w.get(), M_LRect{0, 0, size, size});
      const M_LRect block{0, 0, size - 2, size - 2};
      w->CopyPixels(view.get(), &block, 1, 1);  // down and right by one, onto itself
      for (int y = 1; y < size - 1; ++y)
        for (int x = 1; x < size - 1; ++x)
          ASSERT_TRUE(TestSame(Pixel8(*w, x, y), TestPatternAt(x - 1, y - 1))) << x << "," << y;
      WorldPtr other = NewWorld({0, 0, size + 3, size}, 8);
      other->CopyPixels(w.get(), nullptr, 3, 0);
      for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
          ASSERT_TRUE(TestSame(Pixel8(*other, x + 3, y), Pixel8(*w, x, y))) << x << "," << y;
    }
    // A source rect reaching past the source's top left moves the
    // destination by as much on each axis.
    WorldPtr small = NewWorld({0, 0, 6, 6}, 8), onto = NewWorld({0, 0, 8, 8}, 8);
    TestFillPattern(small.get());
    const M_LRect beyond{-2, -3, 4, 4};
    onto->CopyPixels(small.get(), &beyond, 1, 1);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x)
        ASSERT_TRUE(TestSame(Pixel8(*onto, x + 3, y + 4), TestPatternAt(x, y))) << x << "," << y;
    // The top half of more than 64K pixels, narrower than its rows, down onto
    // its own last row.
    WorldPtr tall = NewWorld({0, 0, 400, 399}, 8);
    TestFillPattern(tall.get());
    const M_LRect half{0, 0, 399, 200};
    tall->CopyPixels(NewView(tall.get(), M_LRect{0, 0, 400, 399}).get(), &half, 0, 199);
    for (int y : {199, 300, 398})
      EXPECT_TRUE(TestSame(Pixel8(*tall, 7, y), TestPatternAt(7, y - 199))) << y;
    // A field over its frame's memory starts at the same address with twice
    // the rows' stride: the frame copied into it is not a copy onto itself.
    std::vector<uint32_t> memory(16);
    std::iota(memory.begin(), memory.end(), 0u);
    WorldPtr frame(PF_World::NewBorrowed(memory.data(), 4, 4, 16, 8, 0, 0));
    WorldPtr(PF_World::NewBorrowed(memory.data(), 4, 2, 32, 8, 0, 0))
        ->CopyPixels(frame.get(), nullptr, 0, 0);
    EXPECT_EQ(memory[8], 4u);  // the frame's second row in the field's second
    // One row of more than 64K pixels, left and right by one onto itself:
    // the large copy's split must still see the overlap (AddressSanitizer
    // reports a memcpy of overlapping bytes).
    for (int shift : {-1, 1}) {
      WorldPtr row = NewWorld({0, 0, 70000, 1}, 8);
      TestFillPattern(row.get());
      const M_LRect part{shift < 0, 0, 70000 - (shift > 0), 1};
      row->CopyPixels(NewView(row.get(), M_LRect{0, 0, 70000, 1}).get(), &part, shift > 0, 0);
      for (int x = 1; x < 69999; x += 997)
        ASSERT_TRUE(TestSame(Pixel8(*row, x, 0), TestPatternAt(x - shift, 0))) << shift;
    }
  }
}

class MGeometryTest : public LeakCheckTest {};

M_Matrix3 Of(std::initializer_list<double> values) {
  M_Matrix3 m;
  int i = 0;
  for (double v : values) m[i++] = v;
  return m;
}

// Every 8- and 16-bit value through every conversion: 8 -> 16 -> float -> 8
// is exact, 16 -> 8 rounds to nearest, float rounds and clamps (NaN to 0),
// float to float is never clamped.
TEST_F(PFWorldTest, DepthConversionsMustScaleRoundAndClampEveryValue) {
  WorldPtr w8 = NewWorld({0, 0, 64, 1}, 8), w16 = NewWorld({0, 0, 64, 1}, 16);
  WorldPtr w32 = NewWorld({0, 0, 64, 1}, 32), back8 = NewWorld({0, 0, 64, 1}, 8);
  auto* c8 = static_cast<uint8_t*>(w8->data);
  auto* c16 = static_cast<uint16_t*>(w16->data);
  auto* c32 = static_cast<float*>(w32->data);
  for (int i = 0; i < 256; ++i) c8[i] = uint8_t(i);
  w16->ConvertPixels(w8.get(), nullptr, 1, 0, 0, 0);
  w32->ConvertPixels(w16.get(), nullptr, 1, 0, 0, 0);
  back8->ConvertPixels(w32.get(), nullptr, 1, 0, 0, 0);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(c16[i], i * 257);
    EXPECT_NEAR(c32[i], i / 255.0, 1e-6);
    ASSERT_EQ(static_cast<uint8_t*>(back8->data)[i], i);
  }
  w32->ConvertPixels(w8.get(), nullptr, 1, 0, 0, 0);
  w16->ConvertPixels(w32.get(), nullptr, 1, 0, 0, 0);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(c16[i], i * 257) << i;
  for (int start = 0; start < 65536; start += 256) {
    for (int i = 0; i < 256; ++i) c16[i] = uint16_t(start + i);
    w8->ConvertPixels(w16.get(), nullptr, 1, 0, 0, 0);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(c8[i], std::lround((start + i) / 257.0)) << start + i;
  }
  const float floats[8] = {-0.5f,         1.5f, 0.5f, std::numeric_limits<float>::quiet_NaN(),
                           2.0f / 255.0f, 1.0f, 0.0f, 0.999f};
  std::memcpy(w32->data, floats, sizeof floats);
  w8->ConvertPixels(w32.get(), nullptr, 1, 0, 0, 0);
  w16->ConvertPixels(w32.get(), nullptr, 1, 0, 0, 0);
  WorldPtr other32 = NewWorld({0, 0, 2, 1}, 32);
  other32->CopyPixels(w32.get(), nullptr, 0, 0);
  const int expected8[8] = {0, 255, 128, 0, 2, 255, 0, 255}, expected16[4] = {0, 65535, 32768, 0};
  for (int i = 0; i < 8; ++i)
    EXPECT_TRUE(c8[i] == expected8[i] && (i >= 4 || c16[i] == expected16[i]) &&
                (i >= 2 || static_cast<float*>(other32->data)[i] == floats[i]))
        << i;
}

// Every element of the inverse: M * inverse and inverse * M are the identity,
// element by element, for projective and affine matrices with no zero
// element where it matters; an affine inverse is exactly affine, and a
// translation is the product by a translation matrix, projective rows too. A
// singular matrix, or one whose inverse overflows, stays as it was.
TEST_F(MGeometryTest, InverseAndTranslateMustGetEveryElementRightAndLeaveSingularMatricesAlone) {
  const M_Matrix3 invertible[] = {Of({3.1, -0.7, 0.002, 0.4, 2.3, -0.003, 5.5, -3.2, 1.7}),
                                  Of({-0.2, 1.9, 0.5, 1.1, 0.3, -0.8, 0.7, -1.3, 2.6}),
                                  Of({1.7, 0.3, 0, -0.2, 0.9, 0, 4, 6, 1})};
  for (const M_Matrix3& given : invertible) {
    M_Matrix3 inv = given;
    ASSERT_FALSE(inv.InvertQuiet()) << given[0];
    M_Matrix3 left = given, right = inv, moved = given, shifted = given;
    left *= inv;
    right *= given;
    moved.Translate(2.5, -4);
    shifted *= Of({1, 0, 0, 0, 1, 0, 2.5, -4, 1});
    for (int i = 0; i < 9; ++i) {
      EXPECT_NEAR(left[i], i % 4 == 0, 1e-12) << "M * inverse of " << given[0] << ", " << i;
      EXPECT_NEAR(right[i], i % 4 == 0, 1e-12) << "inverse * M of " << given[0] << ", " << i;
      EXPECT_NEAR(moved[i], shifted[i], 1e-12) << "M translated of " << given[0] << ", " << i;
    }
    EXPECT_NEAR(inv.Determinant() * given.Determinant(), 1.0, 1e-12) << given[0];
    if (given[2] == 0 && given[5] == 0) {
      EXPECT_TRUE(inv[2] == 0 && inv[5] == 0 && inv[8] == 1);
    }
  }
  EXPECT_DOUBLE_EQ(invertible[2].Determinant(), 1.7 * 0.9 + 0.3 * 0.2);
  M_Matrix3 nearIdentity = Of({1, 0, 0, 0, 1, 0, 0, 0, 1 + 1e-9});
  EXPECT_TRUE(nearIdentity.IsIdentityWithinEpsilon(1e-8) && M_Matrix3().IsIdentityWithinEpsilon(0));
  EXPECT_FALSE(nearIdentity.IsIdentityWithinEpsilon(1e-10));
  const double inf = std::numeric_limits<double>::infinity();
  for (const M_Matrix3& bad : {Of({2, 4, 0, 1, 2, 0, 0, 0, 1}),       // parallel rows
                               Of({1, 2, 3, 4, 5, 6, 7, 8, 9}),       // rows in progression
                               Of({1e-310, 0, 0, 0, 1, 0, 0, 0, 1}),  // 1 / 1e-310 overflows
                               Of({inf, 0, 0, 0, 1, 0, 0, 0, 1})}) {
    M_Matrix3 m = bad;
    EXPECT_TRUE(m.InvertQuiet()) << bad[0];
    for (int i = 0; i < 9; ++i) EXPECT_EQ(m[i], bad[i]) << bad[0] << " element " << i;
  }
}

TEST_F(MGeometryTest, FloatRectMustListCornersClockwiseFromTopLeftOrFailWritingNothing) {
  const M_Matrix3 m = Of({1, 0, 0, 0, 1, 0, 10, 20, 1});
  const M_Matrix3 horizon = Of({1, 0, -1, 0, 1, 0, 0, 0, 1});  // w = 0 at x = 1
  const double rect[4] = {1, 2, 3, 5}, expected[8] = {11, 22, 13, 22, 13, 25, 11, 25};
  double quad[8];
  ASSERT_EQ(M_TransformFloatRect(&m, rect, quad, 0), U_ERR_NONE);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(quad[i], expected[i]) << i;
  for (const auto& [matrix, in, out] : {std::tuple{&m, rect, (double*)nullptr},
                                        {nullptr, rect, quad},
                                        {&m, nullptr, quad},
                                        {&horizon, rect, quad}})
    EXPECT_EQ(M_TransformFloatRect(matrix, in, out, 0), U_ERR_BAD_PARAMETER) << in << out;
  EXPECT_EQ(quad[0], 11);
  // One corner in front of the horizon (w = 1.5 - x - y), three behind: unbounded.
  EXPECT_EQ(M_TransformBounds(Of({1, 0, -1, 0, 1, -1, 0, 0, 1.5}), M_LRect{0, 0, 4, 4}).right,
            INT32_MAX);
  // All corners in front, some nearer than w = 1: bounded (x / w, y / w).
  EXPECT_EQ(M_TransformBounds(Of({1, 0, 0.25, 0, 1, 0, 0, 0, 0.5}), M_LRect{0, 0, 4, 4}),
            (M_LRect{0, 0, 3, 8}));
  // Away from the origin, so that every edge's term counts.
  const M_Vector2T<double> ccw[4] = {{1, 1}, {3, 1}, {3, 4}, {1, 4}};
  const M_Vector2T<double> cw[4] = {{1, 1}, {1, 4}, {3, 4}, {3, 1}};
  EXPECT_EQ((std::array{M_SignedPolygonArea2D(ccw, 4), M_SignedPolygonArea2D(cw, 4),
                        M_SignedPolygonArea2D(ccw, 3), M_SignedPolygonArea2D(ccw, 2)}),
            (std::array{6.0, -6.0, 3.0, 0.0}));
  // Enclosing a box: outwards to whole pixels, a NaN edge at 0, far ones clamped.
  EXPECT_EQ(M_EnclosingRect(NAN, 0.5, 1e300, -0.5), (M_LRect{0, 0, INT32_MAX, 0}));
}

}  // namespace
