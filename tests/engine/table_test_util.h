// Small helpers for tests that make and inspect tables.
#pragma once

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/dbf_create.h"

namespace testing_support {

inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A table of two character fields NAME C(10) and CITY C(8), record length 19.
inline void MakeSmallTable(const std::string& path, uint8_t version = 0x03) {
  tessera::CreateTable(path, version, {{"NAME", 'C', 10, 0}, {"CITY", 'C', 8, 0}}, {0, true});
}

}  // namespace testing_support
