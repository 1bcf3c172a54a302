// KTobjMemo4: the dBase IV memo layout (".DBT", table version 0x8B).
//   header:  0  first block of the free list (uint32 LE); the list ends
//               with a number at or past the end of the file
//            4  0 after a release of blocks
//            8  table base name, upper case, <= 8 characters
//            20 block size (uint32 LE)
//   memo:    FF FF 08 00, total length = data + 8 (uint32 LE), the data,
//            zeros to the end of its last block
//   free run: next run (uint32 LE), length in blocks (uint32 LE), in the
//            first 8 bytes of its first block
// A rewritten memo first releases its run and then takes the first run of
// the free list that is long enough, or the end of the file.
#pragma once

#include "engine/memo.h"

namespace tessera {

class KTobjMemo4 : public KTobjMemo {
 public:
  KTobjMemo4(KTO_dBaseDBF* owner, bool writable, bool shared, std::string_view table_file_name);

  void AllocateBlocks(int32_t size) override;
  void FreeBlocks(int32_t block) override;
  void AppendTerminator(std::string& image, int32_t position) override;
  int32_t BlockHeaderLength() override;

 private:
  // Takes `needed` blocks from the free list (first fit) or the end.
  int32_t AllocateFromFreeList(int32_t needed);
};

}  // namespace tessera
