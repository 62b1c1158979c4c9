// Pixel buffers: views and storage lifetime, narrowing, copies, depth
// conversion, clipping and parameter checks.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "rghost/PF_Transfer.h"
#include "rghost/PF_World.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"
#include "support/TestNodes.h"

namespace {

struct WorldDeleter {
  void operator()(PF_World* w) const { delete w; }
};
using WorldPtr = std::unique_ptr<PF_World, WorldDeleter>;

WorldPtr NewWorld(M_LRect rect, short depth, long flags = 1) {
  return WorldPtr(PF_World::New(rect, depth, flags));
}
WorldPtr NewView(PF_World* parent, M_LRect area) {
  return WorldPtr(PF_World::NewReference(parent, area));
}

PF_RGBA8* Pixel8(const PF_World& w, int x, int y) {
  return static_cast<PF_RGBA8*>(w.PixelAddress(x, y));
}

// The pixel FillCoordinates puts at (x, y): it names its own coordinates.
PF_RGBA8 Coord(int x, int y) { return PF_RGBA8{uint8_t(x), uint8_t(y), uint8_t(x ^ y), 255}; }
void FillCoordinates(PF_World& w) {
  for (int y = 0; y < w.height; ++y)
    for (int x = 0; x < w.width; ++x) *Pixel8(w, x, y) = Coord(x, y);
}

class PFWorldTest : public LeakCheckTest {};

TEST_F(PFWorldTest, ViewSharesStorageAndOutlivesItsParent) {
  WorldPtr parent = NewWorld({100, 200, 110, 210}, 8);
  FillCoordinates(*parent);
  const long long bytes = PF_GetWorldStats().live_pixel_bytes;
  EXPECT_GT(bytes, 0);

  WorldPtr view = NewView(parent.get(), M_LRect{2, 3, 6, 8});
  EXPECT_EQ(view->GetRect(), (M_LRect{102, 203, 106, 208}));
  EXPECT_TRUE(view->IsReference());
  EXPECT_FALSE(parent->IsReference());
  EXPECT_EQ(view->PixelAddress(0, 0), parent->PixelAddress(2, 3));
  // The short rect form takes top, left, bottom, right.
  WorldPtr same(PF_World::NewReference(parent.get(), M_Rect{3, 2, 8, 6}));
  EXPECT_EQ(same->data, view->data);
  EXPECT_EQ(same->GetRect(), view->GetRect());
  same.reset();
  // Views count as worlds, not as pixel memory.
  EXPECT_EQ(PF_GetWorldStats().live_worlds, 2);
  EXPECT_EQ(PF_GetWorldStats().live_pixel_bytes, bytes);

  // Writes through the view show in the parent: no copy was made.
  *Pixel8(*view, 1, 1) = PF_RGBA8{9, 8, 7, 6};
  EXPECT_TRUE(TestSame(*Pixel8(*parent, 3, 4), PF_RGBA8{9, 8, 7, 6}));

  parent.reset();
  EXPECT_EQ(PF_GetWorldStats().live_pixel_bytes, bytes);
  EXPECT_TRUE(TestSame(*Pixel8(*view, 1, 1), PF_RGBA8{9, 8, 7, 6}));
  EXPECT_TRUE(TestSame(*Pixel8(*view, 3, 4), Coord(5, 7)));
  view.reset();
  EXPECT_EQ(PF_GetWorldStats().live_pixel_bytes, 0);
}

TEST_F(PFWorldTest, RefersToNeedsAReferenceToTheSameStorage) {
  WorldPtr a = NewWorld({0, 0, 4, 4}, 8);
  WorldPtr b = NewWorld({0, 0, 4, 4}, 8);
  WorldPtr view = NewView(a.get(), M_LRect{1, 1, 3, 3});
  WorldPtr viewOfView = NewView(view.get(), M_LRect{0, 0, 1, 1});
  EXPECT_TRUE(view->RefersTo(a.get()));
  EXPECT_TRUE(viewOfView->RefersTo(a.get()));
  EXPECT_TRUE(viewOfView->RefersTo(view.get()));
  EXPECT_FALSE(a->RefersTo(view.get()));  // the owner is not a reference
  EXPECT_FALSE(view->RefersTo(b.get()));
  EXPECT_FALSE(view->RefersTo(nullptr));

  std::vector<PF_RGBA8> memory(16);
  WorldPtr borrowed(PF_World::NewBorrowed(memory.data(), 4, 4, 16, 8, 0, 0));
  WorldPtr borrowedView = NewView(borrowed.get(), M_LRect{0, 0, 2, 2});
  EXPECT_FALSE(borrowed->IsReference());
  EXPECT_TRUE(borrowedView->RefersTo(borrowed.get()));
  EXPECT_FALSE(borrowedView->RefersTo(a.get()));
  EXPECT_EQ(PF_GetWorldStats().live_pixel_bytes, 2 * a->rowbytes * 4);
}

TEST_F(PFWorldTest, ShrinkToSubRectMovesDataAndOrigin) {
  WorldPtr w = NewWorld({10, 20, 18, 28}, 8);
  FillCoordinates(*w);
  WorldPtr view = NewView(w.get(), M_LRect{0, 0, 8, 8});
  view->ShrinkToSubRect(M_LRect{2, 3, 5, 7});
  EXPECT_EQ(view->GetRect(), (M_LRect{12, 23, 15, 27}));
  EXPECT_TRUE(TestSame(*Pixel8(*view, 0, 0), Coord(2, 3)));
  EXPECT_TRUE(TestSame(*Pixel8(*view, 2, 3), Coord(4, 6)));
  // Narrowing again works in the narrowed coordinates, and the narrowed view
  // still keeps the storage alive.
  view->ShrinkToSubRect(M_LRect{1, 1, 2, 2});
  EXPECT_EQ(view->GetRect(), (M_LRect{13, 24, 14, 25}));
  w.reset();
  EXPECT_TRUE(TestSame(*Pixel8(*view, 0, 0), Coord(3, 4)));
}

TEST_F(PFWorldTest, NewBuffersHaveAlignedRowsAndClearOrPoisonOnRequest) {
  // Small worlds share a block with their storage and are recycled through
  // the host's block pool, middling ones take a power-of-two block, large
  // ones come from malloc: each twice, so that the second is recycled, after
  // being filled with garbage.
  const M_LRect rects[] = {{-3, 7, 10, 12}, {0, 0, 1, 1}, {5, 5, 45, 35}, {0, 0, 700, 400}};
  for (int round = 0; round < 2; ++round) {
    for (short depth : {short(8), short(16), short(32)}) {
      for (const M_LRect& rect : rects) {
        SCOPED_TRACE(testing::Message() << depth << " " << rect.right << "x" << rect.bottom);
        WorldPtr w = NewWorld(rect, depth, 1);
        EXPECT_EQ(w->GetRect(), rect);
        EXPECT_EQ(w->GetDepth(), depth);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(w->data) % 64, 0u);
        EXPECT_EQ(w->rowbytes % 64, 0);
        const size_t used = static_cast<size_t>(rect.right - rect.left) * PF_BytesPerPixel(depth);
        EXPECT_GE(static_cast<size_t>(w->rowbytes), used);
        for (int y = 0; y < w->height; ++y) {
          const auto* row = static_cast<const unsigned char*>(w->PixelAddress(0, y));
          for (size_t i = 0; i < used; ++i) ASSERT_EQ(row[i], 0);
        }
        std::memset(w->data, 0x5A, static_cast<size_t>(w->rowbytes) * w->height);
      }
    }
  }
  for (short depth : {short(8), short(16), short(32)}) {
    SCOPED_TRACE(depth);
#ifdef RGHOST_POISON_NEW_WORLDS
    // Not a valid premultiplied pixel: colour above alpha, or NaN in float.
    WorldPtr raw = NewWorld({0, 0, 3, 2}, depth, 0);
    const auto above = [](const auto* q) { return q->red > q->alpha; };
    for (int y = 0; y < 2; ++y) {
      for (int x = 0; x < 3; ++x) {
        const void* p = raw->PixelAddress(x, y);
        EXPECT_TRUE(depth == 8    ? above(static_cast<const PF_RGBA8*>(p))
                    : depth == 16 ? above(static_cast<const PF_RGBA16*>(p))
                                  : std::isnan(static_cast<const PF_RGBA32F*>(p)->red));
      }
    }
#endif
  }
}

TEST_F(PFWorldTest, BadSizesDepthsAndAreasAreRejected) {
  WorldPtr w8 = NewWorld({0, 0, 8, 8}, 8);
  WorldPtr w16 = NewWorld({0, 0, 8, 8}, 16);
  WorldPtr view = NewView(w8.get(), M_LRect{2, 2, 6, 6});
  const int32_t lo = std::numeric_limits<int32_t>::min();
  const int32_t hi = std::numeric_limits<int32_t>::max();
  PF_RGBA8 memory[16];
  auto newWorld = [](M_LRect r, short depth) { return [=] { delete PF_World::New(r, depth, 1); }; };
  auto newView = [&](M_LRect area) {
    return [&, area] { delete PF_World::NewReference(w8.get(), area); };
  };
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"negative width", newWorld({0, 0, -1, 4}, 8)},
      {"negative height", newWorld({0, 5, 4, 4}, 16)},
      {"depth 12", newWorld({0, 0, 4, 4}, 12)},
      {"depth 0", newWorld({0, 0, 4, 4}, 0)},
      {"width overflows", newWorld({lo, lo, hi, hi}, 32)},
      {"too many bytes", newWorld({0, 0, hi, hi}, 8)},
      {"view left of parent", newView({-1, 0, 4, 4})},
      {"view right of parent", newView({0, 0, 9, 4})},
      {"view below parent", newView({4, 4, 8, 9})},
      {"view above parent", newView({0, -3, 2, 2})},
      {"short borrowed rows", [&] { delete PF_World::NewBorrowed(memory, 4, 4, 15, 8, 0, 0); }},
      {"borrowed depth 7", [&] { delete PF_World::NewBorrowed(memory, 4, 4, 16, 7, 0, 0); }},
      {"copy across depths", [&] { w16->CopyPixels(w8.get(), nullptr, 0, 0); }},
      {"shrink past the view",
       [&] {
         view->ShrinkToSubRect({0, 0, 5, 1});
       }},
  };
  for (const auto& [name, fn] : cases) EXPECT_EQ(CatchCode(fn), U_ERR_BAD_PARAMETER) << name;
  EXPECT_EQ(PF_BytesPerPixel(7), 0u);
  // Empty worlds and views are no error, whatever their coordinates.
  EXPECT_EQ(NewWorld({4, 4, 4, 4}, 8)->width, 0);
  WorldPtr empty = NewView(w8.get(), M_LRect{50, 50, 40, 60});
  EXPECT_EQ(empty->width, 0);
  EXPECT_EQ(empty->height, 0);
}

// Copies with rects and offsets reaching past either buffer change exactly
// the pixels a per-pixel oracle says, and count exactly those bytes.
TEST_F(PFWorldTest, CopiesClipToBothWorlds) {
  std::mt19937 rng(1234);
  std::uniform_int_distribution<int> coord(-12, 20);
  WorldPtr src = NewWorld({0, 0, 9, 7}, 8);
  FillCoordinates(*src);
  for (int iteration = 0; iteration < 300; ++iteration) {
    WorldPtr dst = NewWorld({0, 0, 8, 10}, 8);
    // A view narrower than its rows checks that rows are addressed correctly.
    WorldPtr dstView = NewView(dst.get(), M_LRect{1, 1, 7, 9});
    M_LRect r{coord(rng), coord(rng), coord(rng), coord(rng)};
    const long dx = coord(rng), dy = coord(rng);
    const bool useRect = iteration % 5 != 0;
    PF_ResetWorldStats();
    if (iteration % 2 == 0)
      dstView->ConvertPixels(src.get(), useRect ? &r : nullptr, 1, dx, dy, 0);
    else
      dstView->CopyPixels(src.get(), useRect ? &r : nullptr, dx, dy);
    const M_LRect s = useRect ? r : M_LRect{0, 0, src->width, src->height};
    long changed = 0;
    for (int y = 0; y < dst->height; ++y) {
      for (int x = 0; x < dst->width; ++x) {
        PF_RGBA8 expected{0, 0, 0, 0};
        const long vx = x - 1, vy = y - 1;  // view coordinates
        const long sx = vx - dx + s.left, sy = vy - dy + s.top;
        if (vx >= 0 && vx < 6 && vy >= 0 && vy < 8 && sx >= s.left && sx < s.right && sy >= s.top &&
            sy < s.bottom && sx >= 0 && sx < src->width && sy >= 0 && sy < src->height) {
          expected = *Pixel8(*src, int(sx), int(sy));
          ++changed;
        }
        ASSERT_TRUE(TestSame(*Pixel8(*dst, x, y), expected))
            << "iteration " << iteration << " pixel " << x << "," << y;
      }
    }
    EXPECT_EQ(PF_GetWorldStats().pixel_bytes_copied, changed * 4);
  }
}

// Small and large copies (the large ones are split across threads when the
// memory is separate), onto themselves shifted and between buffers: the
// result never depends on the thread count.
TEST_F(PFWorldTest, CopiesHandleOverlapAndAnyThreadCount) {
  for (int threads : {1, 2}) {
    const int previous = PF_SetThreadCount(threads);
    for (int size : {6, 400}) {
      SCOPED_TRACE(testing::Message() << threads << " threads, " << size);
      WorldPtr w = NewWorld({0, 0, size, size}, 8);
      FillCoordinates(*w);
      WorldPtr view = NewView(w.get(), M_LRect{0, 0, size, size});
      // Shift the top-left block down and right by one, onto itself.
      const M_LRect block{0, 0, size - 2, size - 2};
      w->CopyPixels(view.get(), &block, 1, 1);
      for (int y = 1; y < size - 1; ++y)
        for (int x = 1; x < size - 1; ++x)
          ASSERT_TRUE(TestSame(*Pixel8(*w, x, y), Coord(x - 1, y - 1))) << x << "," << y;

      WorldPtr other = NewWorld({0, 0, size + 3, size}, 8);
      other->CopyPixels(w.get(), nullptr, 3, 0);
      for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
          ASSERT_TRUE(TestSame(*Pixel8(*other, x + 3, y), *Pixel8(*w, x, y))) << x << "," << y;
    }
    PF_SetThreadCount(previous);
  }
}

TEST_F(PFWorldTest, ClearOutsideKeepsOnlyTheRect) {
  WorldPtr w = NewWorld({0, 0, 8, 6}, 16);
  WorldPtr view = NewView(w.get(), M_LRect{1, 1, 7, 5});
  // Fills the world, runs clear on the view, and checks that exactly the
  // view's pixels outside `kept` (world coordinates) were cleared.
  const auto check = [&](const std::function<void()>& clear,
                         const std::function<bool(int, int)>& kept) {
    for (int y = 0; y < 6; ++y) std::memset(w->PixelAddress(0, y), 0xAB, 8 * 8);
    clear();
    for (int y = 0; y < 6; ++y)
      for (int x = 0; x < 8; ++x) {
        const auto* p = static_cast<const PF_RGBA16*>(w->PixelAddress(x, y));
        const bool cleared = p->red == 0 && p->green == 0 && p->blue == 0 && p->alpha == 0;
        const bool inView = x >= 1 && x < 7 && y >= 1 && y < 5;
        EXPECT_EQ(cleared, inView && !kept(x, y)) << x << "," << y;
      }
  };
  // View coordinates: world 3..5 x 2..4.
  check(
      [&] {
        view->ClearOutside(M_LRect{2, 1, 4, 3});
      },
      [](int x, int y) { return x >= 3 && x < 5 && y >= 2 && y < 4; });
  // A keep rect reaching out of the world keeps its inside part only.
  check(
      [&] {
        view->ClearOutside(M_LRect{-10, 2, 3, 100});
      },
      [](int x, int y) { return x < 4 && y >= 3; });
  check([&] { view->Clear(0); }, [](int, int) { return false; });
}

TEST_F(PFWorldTest, DepthConversionsFollowTheScales) {
  WorldPtr w8 = NewWorld({0, 0, 64, 1}, 8);
  WorldPtr w16 = NewWorld({0, 0, 64, 1}, 16);
  WorldPtr w32 = NewWorld({0, 0, 64, 1}, 32);
  WorldPtr back8 = NewWorld({0, 0, 64, 1}, 8);
  const auto* c16 = static_cast<uint16_t*>(w16->data);
  const auto* c32 = static_cast<float*>(w32->data);
  // All 256 values, one per channel: 8 -> 16 -> float -> 8 is exact.
  for (int i = 0; i < 256; ++i) static_cast<uint8_t*>(w8->data)[i] = uint8_t(i);
  w16->ConvertPixels(w8.get(), nullptr, 1, 0, 0, 0);
  w32->ConvertPixels(w16.get(), nullptr, 1, 0, 0, 0);
  back8->ConvertPixels(w32.get(), nullptr, 1, 0, 0, 0);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(c16[i], i * 257);
    EXPECT_NEAR(c32[i], i / 255.0, 1e-6);
    ASSERT_EQ(static_cast<uint8_t*>(back8->data)[i], i);
  }
  // 8 -> float directly and float -> 16.
  w32->ConvertPixels(w8.get(), nullptr, 1, 0, 0, 0);
  w16->ConvertPixels(w32.get(), nullptr, 1, 0, 0, 0);
  for (int i = 0; i < 256; ++i) {
    EXPECT_NEAR(c32[i], i / 255.0, 1e-6);
    EXPECT_EQ(c16[i], i * 257);
  }
}

TEST_F(PFWorldTest, IntegerResultsRoundAndClamp) {
  WorldPtr w16 = NewWorld({0, 0, 2, 1}, 16);
  WorldPtr w32 = NewWorld({0, 0, 2, 1}, 32);
  WorldPtr w8 = NewWorld({0, 0, 2, 1}, 8);
  const uint8_t* out = static_cast<uint8_t*>(w8->data);
  const uint16_t sixteen[8] = {128, 129, 385, 386, 65535, 65407, 65408, 0};
  std::memcpy(w16->data, sixteen, sizeof sixteen);
  w8->ConvertPixels(w16.get(), nullptr, 1, 0, 0, 0);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(out[i], std::lround(sixteen[i] / 257.0)) << sixteen[i];

  const float floats[8] = {-0.5f,         1.5f, 0.5f, std::numeric_limits<float>::quiet_NaN(),
                           2.0f / 255.0f, 1.0f, 0.0f, 0.999f};
  std::memcpy(w32->data, floats, sizeof floats);
  w8->ConvertPixels(w32.get(), nullptr, 1, 0, 0, 0);
  const uint8_t expected8[8] = {0, 255, 128, 0, 2, 255, 0, 255};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(out[i], expected8[i]) << i;
  w16->ConvertPixels(w32.get(), nullptr, 1, 0, 0, 0);
  const uint16_t* out16 = static_cast<uint16_t*>(w16->data);
  EXPECT_EQ(out16[0], 0);
  EXPECT_EQ(out16[1], 65535);
  EXPECT_EQ(out16[2], 32768);

  // Float to float is never clamped.
  WorldPtr other32 = NewWorld({0, 0, 2, 1}, 32);
  other32->CopyPixels(w32.get(), nullptr, 0, 0);
  EXPECT_EQ(static_cast<float*>(other32->data)[0], -0.5f);
  EXPECT_EQ(static_cast<float*>(other32->data)[1], 1.5f);
}

TEST_F(PFWorldTest, EveryOperationIsFallible) {
  WorldPtr a = NewWorld({0, 0, 4, 4}, 8);
  WorldPtr b = NewWorld({0, 0, 4, 4}, 8);
  const std::function<void()> ops[] = {
      [] {
        delete PF_World::New({0, 0, 2, 2}, 8, 1);
      },
      [&] {
        delete PF_World::NewReference(a.get(), M_LRect{0, 0, 1, 1});
      },
      [&] { delete PF_World::NewBorrowed(a->data, 1, 1, 4, 8, 0, 0); },
      [&] { a->Clear(0); },
      [&] {
        a->ClearOutside({0, 0, 1, 1});
      },
      [&] { a->CopyPixels(b.get(), nullptr, 0, 0); },
      [&] { a->ConvertPixels(b.get(), nullptr, 1, 0, 0, 0); },
      [&] {
        a->ShrinkToSubRect({0, 0, 4, 4});
      },
  };
  for (size_t i = 0; i < std::size(ops); ++i) {
    const long long before = U_FallibleCallCount();
    ops[i]();
    EXPECT_EQ(U_FallibleCallCount() - before, 1) << "operation " << i;
    U_InjectFailure(0, 4242);
    EXPECT_EQ(CatchCode(ops[i]), 4242) << "operation " << i;
  }
  EXPECT_EQ(PF_GetWorldStats().live_worlds, 2);
}

TEST_F(PFWorldTest, StatsCountStoragesAndPeak) {
  const PF_WorldStats start = PF_GetWorldStats();
  WorldPtr a = NewWorld({0, 0, 16, 4}, 32);  // 256-byte rows
  WorldPtr view = NewView(a.get(), M_LRect{0, 0, 1, 1});
  NewWorld({0, 0, 16, 4}, 32).reset();
  const PF_WorldStats s = PF_GetWorldStats();
  EXPECT_EQ(s.live_worlds, start.live_worlds + 2);
  EXPECT_EQ(s.live_pixel_bytes, start.live_pixel_bytes + 1024);
  EXPECT_EQ(s.peak_pixel_bytes, start.live_pixel_bytes + 2048);
  EXPECT_EQ(s.worlds_allocated, start.worlds_allocated + 2);
  PF_ResetWorldStats();
  EXPECT_EQ(PF_GetWorldStats().peak_pixel_bytes, s.live_pixel_bytes);
  EXPECT_EQ(PF_GetWorldStats().worlds_allocated, 0);
}

}  // namespace
