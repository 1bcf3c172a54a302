// Integers and doubles in file images, the one place they are put together
// from bytes and taken apart again: the dBase formats store them
// little-endian, FoxPro memo headers, compound-index interior entries and
// dBase 7's binary fields big-endian. Nothing here depends on the host's
// own byte order.
#pragma once

#include <bit>
#include <cstdint>

namespace tessera::bytes {

inline uint16_t GetLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t GetLE64(const uint8_t* p) { return uint64_t{GetLE32(p)} | (uint64_t{GetLE32(p + 4)} << 32); }
inline uint32_t GetBE32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
inline uint64_t GetBE64(const uint8_t* p) { return (uint64_t{GetBE32(p)} << 32) | uint64_t{GetBE32(p + 4)}; }
inline void PutLE16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutLE64(uint8_t* p, uint64_t v) {
  PutLE32(p, static_cast<uint32_t>(v));
  PutLE32(p + 4, static_cast<uint32_t>(v >> 32));
}
inline void PutBE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
inline void PutBE64(uint8_t* p, uint64_t v) {
  PutBE32(p, static_cast<uint32_t>(v >> 32));
  PutBE32(p + 4, static_cast<uint32_t>(v));
}

// IEEE doubles as 8 bytes in either order.
inline double GetLEDouble(const uint8_t* p) { return std::bit_cast<double>(GetLE64(p)); }
inline double GetBEDouble(const uint8_t* p) { return std::bit_cast<double>(GetBE64(p)); }
inline void PutLEDouble(uint8_t* p, double v) { PutLE64(p, std::bit_cast<uint64_t>(v)); }
inline void PutBEDouble(uint8_t* p, double v) { PutBE64(p, std::bit_cast<uint64_t>(v)); }

}  // namespace tessera::bytes

// The index formats keep block offsets, record numbers and counts as
// signed 32-bit numbers and node attributes and key counts in 16 bits: the
// same bytes as above, in the engine's own types. Index code takes these
// with `using namespace index_bytes`.
namespace tessera::index_bytes {

inline uint16_t Get16(const uint8_t* p) { return bytes::GetLE16(p); }
inline int32_t Get32(const uint8_t* p) { return static_cast<int32_t>(bytes::GetLE32(p)); }
inline int32_t GetBE32(const uint8_t* p) { return static_cast<int32_t>(bytes::GetBE32(p)); }
inline void Put16(uint8_t* p, uint32_t v) { bytes::PutLE16(p, v); }
inline void Put32(uint8_t* p, int32_t v) { bytes::PutLE32(p, static_cast<uint32_t>(v)); }
inline void PutBE32(uint8_t* p, int32_t v) { bytes::PutBE32(p, static_cast<uint32_t>(v)); }

}  // namespace tessera::index_bytes
