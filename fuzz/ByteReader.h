// Reads a fuzzer's input as a stream of choices. Past the end every read
// yields zero, so any input, however short, describes a complete program.
//
// Borrows the bytes; they must outlive the reader.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return pos_ >= size_; }

  uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
  uint32_t U32() { return static_cast<uint32_t>(U16()) | (static_cast<uint32_t>(U16()) << 16); }
  uint64_t U64() { return static_cast<uint64_t>(U32()) | (static_cast<uint64_t>(U32()) << 32); }
  bool Bit() { return (U8() & 1) != 0; }
  // A value in [0, n); 0 when n is 0.
  uint32_t Below(uint32_t n) { return n <= 256 ? (n ? U8() % n : 0) : U16() % n; }

  // A coordinate within +-2^30, weighted towards the values that break
  // rectangle arithmetic: zero, odd and negative values, 16-bit limits and
  // far-away ones.
  int32_t Coord() {
    static constexpr int32_t kSpecial[] = {0,          1,
                                           -1,         2,
                                           3,          -3,
                                           7,          15,
                                           16,         17,
                                           31,         -32,
                                           33,         63,
                                           64,         -65,
                                           100,        -100,
                                           255,        256,
                                           1000,       -1000,
                                           32767,      -32768,
                                           32768,      -32769,
                                           65535,      65536,
                                           -65537,     1 << 20,
                                           -(1 << 20), 1 << 29,
                                           -(1 << 29), (1 << 30) - 1,
                                           -(1 << 30)};
    const uint8_t kind = U8();
    if (kind < 128) return kSpecial[kind % (sizeof kSpecial / sizeof kSpecial[0])];
    if (kind < 224) return static_cast<int8_t>(U8());
    return static_cast<int16_t>(U16());
  }

  // A double that is often one of the values geometry code mishandles.
  double Real() {
    static constexpr double kSpecial[] = {0.0,
                                          1.0,
                                          -1.0,
                                          0.5,
                                          -0.5,
                                          2.0,
                                          -2.0,
                                          0.25,
                                          3.0,
                                          100.0,
                                          1e-9,
                                          -1e-9,
                                          1e9,
                                          -1e9,
                                          1e300,
                                          -1e300,
                                          1e-300,
                                          4294967296.0,
                                          2147483648.0,
                                          -2147483649.0,
                                          0.999999,
                                          1.000001,
                                          0.1,
                                          1.5,
                                          std::numeric_limits<double>::quiet_NaN(),
                                          std::numeric_limits<double>::infinity(),
                                          -std::numeric_limits<double>::infinity(),
                                          std::numeric_limits<double>::denorm_min(),
                                          std::numeric_limits<double>::max(),
                                          std::numeric_limits<double>::lowest(),
                                          -0.0,
                                          65536.5};
    const uint8_t kind = U8();
    if (kind < 160) return kSpecial[kind % (sizeof kSpecial / sizeof kSpecial[0])];
    if (kind < 224) return static_cast<int8_t>(U8()) / 4.0;
    const uint64_t bits = U64();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }

  // An opacity: the ordinary range and the values it should never hold.
  float Opacity() {
    static constexpr float kSpecial[] = {1.0f,
                                         0.0f,
                                         0.5f,
                                         0.25f,
                                         1.0f - 1e-7f,
                                         1e-7f,
                                         -0.0f,
                                         -1.0f,
                                         2.0f,
                                         1e30f,
                                         -1e30f,
                                         std::numeric_limits<float>::quiet_NaN(),
                                         std::numeric_limits<float>::infinity(),
                                         -std::numeric_limits<float>::infinity(),
                                         std::numeric_limits<float>::denorm_min()};
    const uint8_t kind = U8();
    if (kind < 160) return kSpecial[kind % (sizeof kSpecial / sizeof kSpecial[0])];
    if (kind < 224) return U8() / 255.0f;
    const uint32_t bits = U32();
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }

 private:
  const uint8_t* data_;  // borrowed
  size_t size_;
  size_t pos_ = 0;
};
