// Memo files: the contents of a table's memo-type fields (M, B, G) live in a
// file beside the table; the record holds the number of the memo's first
// block. Block n starts at byte n * BlockSize; block 0 is the file header.
//
// KTobjMemo is the dBase III layout (".DBT", table version 0x83) and the
// base of the other two (memo4.h, fx_memo.h):
//   header:  0  next free block number (uint32 LE)
//            8  table base name, upper case, <= 8 characters, NUL-padded
//   memo:    the bytes, then 0x1A 0x1A; fixed 512-byte blocks, no block
//            header; a memo needs (n + 513) div 512 blocks; freed blocks are
//            never reused.
//
// Every block number and length read from the file is checked against the
// file size before it is used: a memo that points or runs past the end of
// the file is a format error (1005), never a read of garbage.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/byte_order.h"
#include "engine/disk_file.h"
#include "engine/lock_protocol.h"

namespace tessera {

class KTO_dBaseDBF;

class KTobjMemo : public KTO_DiskFile {
 public:
  // Opens the memo file of a table: the table's file name with the layout's
  // extension (".DBT" for versions 0x83 and 0x8B, ".FPT" otherwise).
  // `owner` (may be null) receives the error reports. A missing file is
  // reported as error 2, subcode 6101. The subclasses read their header
  // after this.
  KTobjMemo(KTO_dBaseDBF* owner, uint8_t version, bool writable, bool shared,
            std::string_view table_file_name);
  ~KTobjMemo() override;

  // Opens the right kind of memo file for a table's version byte.
  static std::unique_ptr<KTobjMemo> OpenFor(KTO_dBaseDBF* table);

  // Slot 1: through the owning table when there is one.
  void ReportError(int32_t code, int32_t sub_code, const std::string& info) override;

  // Virtual operations added by memo files, in slot order.
  /* 14 */ virtual void AllocateBlocks(int32_t size);
  /* 15 */ virtual void FreeBlocks(int32_t block);
  /* 16 */ virtual void AppendTerminator(std::string& image, int32_t position);
  /* 17 */ virtual int32_t BlockHeaderLength();
  /* 18 */ virtual void SetLockProtocol(int kind);
  /* 19 */ virtual bool RenameMemo(std::string_view new_table_name);

  // Data bytes of the memo at a block (0 for block 0).
  int32_t MemoLength(int32_t block);
  // Reads the memo at `block` into buffer (capacity *size). A buffer at
  // least as long as the memo receives it all and *size becomes its length;
  // a shorter one is filled.
  void ReadMemo(char* buffer, int32_t block, int32_t* size);
  // The whole memo at a block.
  std::string ReadMemoText(int32_t block);
  // Stores *size bytes as the memo that was at *block (0 for a new one) and
  // answers the block where it now starts (also through *block); 0 when the
  // memo header could not be locked.
  int32_t WriteMemo(const char* buffer, int32_t* block, int32_t* size);
  // Locks the memo header's region for a write, retrying for the engine's
  // lock wait; reports subcode 1112 and answers false when it stays locked.
  bool LockMemoHeader();

  int32_t CurrentBlock() const { return current_block_; }
  int32_t CurrentBlockCount() const { return current_block_count_; }
  int32_t BlockSize() const { return block_size_; }
  int32_t BlockHeaderSize() const { return block_header_size_; }
  KTO_dBaseDBF* Owner() const { return owner_; }

  // Writes the header of a new, empty memo file for a table version
  // (block_size 0: the layout's default).
  static void CreateFile(std::string_view memo_file_name, uint8_t version, int32_t block_size,
                         std::string_view table_base_name);
  // The memo file name of a table file name for a version byte.
  static std::string MemoFileName(std::string_view table_file_name, uint8_t version);

 protected:
  // Total length of the memo at current_block_ (block header included) as
  // the layout measures it, checked against the file.
  int32_t MeasureCurrent();
  // Reports a memo format error (1005).
  void FormatError(int32_t sub_code);
  // Blocks in the file (rounded up).
  int64_t BlocksInFile();

  KTO_dBaseDBF* owner_;
  uint8_t version_;
  int32_t current_block_ = 0;
  int32_t current_block_count_ = 0;
  int32_t block_size_ = 512;
  int32_t block_header_size_ = 0;
  uint8_t header_[32] = {};
  int lock_protocol_ = kDefaultLock;
  LockOffsets locks_;

 private:
  void Init();
};


}  // namespace tessera
