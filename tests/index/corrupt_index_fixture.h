// The fixture of the damage tests of every index kind: a table of random
// names, an index file over it, the file's good bytes, and reading a
// damaged copy back through the engine.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "cdx_test_util.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "support/temp_dir.h"

namespace testing_support {

class CorruptIndexTest : public ::testing::Test {
 protected:
  // A table of `count` random names of `length` letters in a field NAME
  // of `width`; the seed makes every run damage the same file.
  void CreateNames(int width, int count, int length, uint32_t seed) {
    tessera::CreateTable(dbf_, 0x03, {{"NAME", 'C', width, 0}});
    tessera::KTO_dBHandler t(dbf_, true, true);
    t.LockTable();
    std::mt19937 rng(seed);
    for (int i = 0; i < count; ++i) {
      t.BlankRecord();
      std::string n;
      for (int k = 0; k < length; ++k) n += static_cast<char>('A' + rng() % 26);
      t.PutText("NAME", n);
      t.AppendRecord();
    }
    t.UnlockTable();
  }

  // Opens the damaged file and reads every key of its first tag; answers
  // the error text ("" when all went through).
  std::string ReadAll(const std::string& bytes) {
    PutFileBytes(index_, bytes);
    try {
      tessera::KTO_dBHandler t(dbf_, true, false);
      if (t.OpenIndexFile(index_) != 0) return "not opened";
      AllKeys(*t.TagByNumber(1));
    } catch (const tessera::ETesseraError& e) {
      return e.what();
    }
    return "";
  }

  // The damage is reported as a damaged index, naming the file.
  void ExpectCorrupt(const std::string& bytes, const char* what) {
    const std::string msg = ReadAll(bytes);
    EXPECT_EQ(msg.rfind("Tessera Error 2112: the index file is damaged or is not an index file (/", 0), 0u)
        << what << ": " << msg;
    EXPECT_NE(msg.find(upper_name_), std::string::npos) << what << ": " << msg;
  }

  tessera::EngineScope engine_;
  TempDir dir_;
  std::string dbf_ = dir_ / "m.dbf";
  std::string index_;       // the index file under test
  std::string upper_name_;  // its name as the engine spells it in messages
  std::string good_;        // its bytes before any damage
};

}  // namespace testing_support
