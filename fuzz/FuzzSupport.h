// What both fuzz targets share: the input read as a stream of choices, how a
// finding ends the run, the sanitizer settings, the start-up handshake and
// the check that an input leaves nothing alive. Each target includes it once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>

#include "rg/rg.h"

extern const char* const kFuzzTargetName;  // for messages; each target defines it

// Prints the finding and aborts, so that libFuzzer keeps the input.
[[noreturn]] inline void Finding(const char* what) {
  std::fprintf(stderr, "%s: %s\n", kFuzzTargetName, what);
  std::abort();
}

// A world, pixel byte, tracked object or accounted allocation alive at
// destruction (more than at construction, for the last two) is a finding.
class FuzzLeakCheck {
 public:
  FuzzLeakCheck()
      : objects_before_(U_GetTrackedStats().live_objects), accounted_before_(U_AccountedBytes()) {
    U_ClearReportLog();
  }
  ~FuzzLeakCheck() {
    const PF_WorldStats worlds = PF_GetWorldStats();
    if (worlds.live_worlds != 0 || worlds.live_pixel_bytes != 0)
      Finding("worlds or pixel bytes left alive");
    if (U_GetTrackedStats().live_objects != objects_before_) Finding("tracked objects left alive");
    if (U_AccountedBytes() != accounted_before_) Finding("accounted bytes left");
  }
  FuzzLeakCheck(const FuzzLeakCheck&) = delete;
  FuzzLeakCheck& operator=(const FuzzLeakCheck&) = delete;

 private:
  long objects_before_;
  long long accounted_before_;
};

// Buffers above 32 MiB fail as they would on a machine out of memory: the
// host turns the failed allocation into U_ERR_OUT_OF_MEMORY. Graphs that zoom
// far in and back out legitimately ask for such buffers; without the cap
// they would exhaust the fuzzer's memory instead of exercising that path.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:max_allocation_size_mb=32";
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (RG_CheckVersions(0, RG_HEADER_VERSION) != 0) Finding("version handshake failed");
  return 0;
}

// The values each kind of read favours.
// clang-format off
inline constexpr int32_t kCoords[] = {
    0, 1, -1, 2, 3, -3, 7, 15, 16, 17, 31, -32, 33, 63, 64, -65, 100, -100, 255, 256, 1000,
    -1000, 32767, -32768, 32768, -32769, 65535, 65536, -65537, 1 << 20, -(1 << 20), 1 << 29,
    -(1 << 29), (1 << 30) - 1, -(1 << 30)};
using LD = std::numeric_limits<double>;
inline constexpr double kReals[] = {
    0.0, 1.0, -1.0, 0.5, -0.5, 2.0, -2.0, 0.25, 3.0, 100.0, 1e-9, -1e-9, 1e9, -1e9, 1e300,
    -1e300, 1e-300, 4294967296.0, 2147483648.0, -2147483649.0, 0.999999, 1.000001, 0.1, 1.5,
    LD::quiet_NaN(), LD::infinity(), -LD::infinity(), LD::denorm_min(), LD::max(), LD::lowest(),
    -0.0, 65536.5};
using LF = std::numeric_limits<float>;
inline constexpr float kOpacities[] = {
    1.0f, 0.0f, 0.5f, 0.25f, 1.0f - 1e-7f, 1e-7f, -0.0f, -1.0f, 2.0f, 1e30f, -1e30f,
    LF::quiet_NaN(), LF::infinity(), -LF::infinity(), LF::denorm_min()};
// clang-format on

// Past the end every read yields zero, so any input, however short,
// describes a complete program. Borrows the bytes.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return pos_ >= size_; }
  uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
  uint32_t U32() { return static_cast<uint32_t>(U16()) | (static_cast<uint32_t>(U16()) << 16); }
  uint64_t U64() { return static_cast<uint64_t>(U32()) | (static_cast<uint64_t>(U32()) << 32); }
  bool Bit() { return (U8() & 1) != 0; }
  uint32_t Below(uint32_t n) { return n <= 256 ? (n ? U8() % n : 0) : U16() % n; }

  // A coordinate within +-2^30, weighted towards the values that break
  // rectangle arithmetic: zero, odd and negative values, 16-bit limits and
  // far-away ones.
  int32_t Coord() {
    const uint8_t kind = U8();
    if (kind < 128) return kCoords[kind % std::size(kCoords)];
    if (kind < 224) return static_cast<int8_t>(U8());
    return static_cast<int16_t>(U16());
  }

  // A double that is often one of the values geometry code mishandles.
  double Real() {
    const uint8_t kind = U8();
    if (kind < 160) return kReals[kind % std::size(kReals)];
    if (kind < 224) return static_cast<int8_t>(U8()) / 4.0;
    return Bits<double>(U64());
  }

  // An opacity: the ordinary range and the values it should never hold.
  float Opacity() {
    const uint8_t kind = U8();
    if (kind < 160) return kOpacities[kind % std::size(kOpacities)];
    if (kind < 224) return U8() / 255.0f;
    return Bits<float>(U32());
  }

 private:
  template <class T, class U>
  static T Bits(U bits) {
    T value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }

  const uint8_t* data_;  // borrowed
  size_t size_;
  size_t pos_ = 0;
};
