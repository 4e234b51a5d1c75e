#pragma once
// Byte order of the storage formats, in one place. DBF and NTX numbers are
// little-endian; CDX interior entries and the FPT header are big-endian in parts.

#include <cstdint>
#include <span>

namespace torvane::storage {

inline std::uint16_t get_u16le(std::span<const std::uint8_t> b) {
  return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}
inline std::uint32_t get_u32le(std::span<const std::uint8_t> b) {
  return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
         (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}
inline std::uint16_t get_u16be(std::span<const std::uint8_t> b) {
  return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}
inline std::uint32_t get_u32be(std::span<const std::uint8_t> b) {
  return (static_cast<std::uint32_t>(b[0]) << 24) | (static_cast<std::uint32_t>(b[1]) << 16) |
         (static_cast<std::uint32_t>(b[2]) << 8) | static_cast<std::uint32_t>(b[3]);
}
inline void put_u16le(std::span<std::uint8_t> b, std::uint16_t v) {
  b[0] = static_cast<std::uint8_t>(v);
  b[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put_u32le(std::span<std::uint8_t> b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put_u16be(std::span<std::uint8_t> b, std::uint16_t v) {
  b[0] = static_cast<std::uint8_t>(v >> 8);
  b[1] = static_cast<std::uint8_t>(v);
}
inline void put_u32be(std::span<std::uint8_t> b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

}  // namespace torvane::storage
