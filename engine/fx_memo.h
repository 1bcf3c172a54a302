// KTobjFXMemo20: the FoxPro memo layout (".FPT", table versions 0xF5 and
// 0x30).
//   header:  0  next free block number (uint32 BE)
//            4  block size (uint32 BE; the low 16 bits at 6..7 are used)
//   memo:    type (uint32 BE, 1 = text), data length (uint32 BE), the data,
//            zeros to the end of its last block
// Like dBase III, a memo is rewritten in place when its blocks suffice and
// appended at the next free block otherwise; freed blocks are not reused.
#pragma once

#include "engine/memo.h"

namespace tessera {

class KTobjFXMemo20 : public KTobjMemo {
 public:
  KTobjFXMemo20(KTO_dBaseDBF* owner, uint8_t version, bool writable, bool shared,
                std::string_view table_file_name);

  void AllocateBlocks(int32_t size) override;
  void AppendTerminator(std::string& image, int32_t position) override;
  int32_t BlockHeaderLength() override;
  bool RenameMemo(std::string_view new_table_name) override;
};

}  // namespace tessera
