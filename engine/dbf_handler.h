// KTO_dBHandler: the open table as the rest of the system sees it. It adds
// to the field layer what needs indexes and expressions: up to 63 open
// index files whose every tag is kept current when records are written.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/dbf_fields.h"

namespace tessera {

class KTobjIndexFile;
class KTobjIndexTag;

class KTO_dBHandler : public KTO_dBaseFld {
 public:
  static constexpr int kIndexSlots = 63;

  KTO_dBHandler(std::string_view file_name, bool shared, bool writable);
  ~KTO_dBHandler() override;

  // Writes lock every index file first (and unlock them afterwards, also
  // when the write fails), so other processes never see a record whose keys
  // are missing.
  void AppendRecord() override;
  void WriteRecord(int32_t number) override;
  // After a write every index file brings every tag's key up to date.
  void RecordEvent(int event, int32_t record) override;
  void SetLockProtocol(int kind) override;
  bool HasIndexFile() override;

  // Opens an index file (no folder: the table's folder; no extension:
  // ".NDX") into the lowest free slot. 0 when opened, -1 when it is open
  // already; a missing file or one that is no valid index is reported.
  int32_t OpenIndexFile(std::string_view name);
  void CloseIndexFiles();
  // Slot number (1..63) of an open index file, 0 when none.
  int FindIndexFile(std::string_view name);
  KTobjIndexFile* IndexFile(int slot) const;
  // The n-th tag (from 1) over all open index files in slot order.
  KTobjIndexTag* TagByNumber(int n) const;
  KTobjIndexTag* FindTag(std::string_view name) const;
  // Locks every open index file; true when all are (a lock that stays
  // refused raises, after the ones already taken are released).
  virtual bool LockIndexFiles();
  void UnlockIndexFiles();

  // Resolves an index file name as OpenIndexFile does.
  std::string ResolveIndexName(std::string_view name, std::string_view default_ext) const;

  // A key search needs the whole key to match.
  bool ExactKeyOnly = false;
  // A failed key search stays on the next greater key.
  bool StayNearest = false;

 protected:
  std::array<std::unique_ptr<KTobjIndexFile>, kIndexSlots + 1> slots_;  // [0] unused
};

}  // namespace tessera
