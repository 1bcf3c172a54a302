// Helpers for compound-index tests: a small table with an index beside it.
#pragma once

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/dbf_create.h"
#include "engine/dbf_handler.h"
#include "index/cdx_file.h"

namespace testing_support {

inline std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void PutFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// All (record, stored key) pairs of a tag from top to bottom.
inline std::vector<std::pair<int32_t, std::string>> AllKeys(tessera::KTobjIndexTag& tag) {
  std::vector<std::pair<int32_t, std::string>> out;
  tag.ResetTree(0);
  for (int32_t r = tag.CurrentKey().Reference; r != 0; r = tag.Navigate(-1))
    out.emplace_back(r, std::string(tag.CurrentKey().bytes()));
  return out;
}

inline uint32_t Le32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) | (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24);
}
inline uint16_t Le16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | (static_cast<uint8_t>(b[at + 1]) << 8));
}

inline uint32_t Be32(const std::string& b, size_t at) {
  return (static_cast<uint32_t>(static_cast<uint8_t>(b[at])) << 24) | (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 8) | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3]));
}
inline void PutLe16(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 2; ++i) b[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
}
inline void PutLe32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
}
inline void PutBe32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
}

}  // namespace testing_support
