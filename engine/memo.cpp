#include "engine/memo.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/dbf_table.h"
#include "engine/errors.h"
#include "engine/fx_memo.h"
#include "engine/memo4.h"
#include "engine/settings.h"
#include "engine/text_helpers.h"
#include "platform/file.h"
#include "platform/last_error.h"
#include "platform/path.h"

namespace tessera {

using bytes::GetLE32;
using bytes::PutLE32;

namespace {

constexpr uint8_t kMemoEnd = 0x1A;

std::string UpperBase8(std::string_view table_name) {
  std::string base = plat::UpperName(BaseName(table_name));
  if (base.size() > 8) base.resize(8);
  return base;
}

}  // namespace

std::string KTobjMemo::MemoFileName(std::string_view table_file_name, uint8_t version) {
  std::string name = plat::UpperName(TrimText(table_file_name));
  const std::string_view ext = ExtensionOf(name);
  // A Visual FoxPro database container (".DBC") keeps its memos in ".DCT".
  if (ext == ".DBC") return name.substr(0, name.size() - ext.size()) + ".DCT";
  // dBase III, IV and 7 and FoxBASE keep ".DBT" files, FoxPro ".FPT".
  const bool dbt = version == 0x83 || version == 0x8B || version == 0x8C || version == 0xCB || version == 0xFB;
  name.resize(name.size() - ext.size());
  return name + (dbt ? ".DBT" : ".FPT");
}

KTobjMemo::KTobjMemo(KTO_dBaseDBF* owner, uint8_t version, bool writable, bool shared,
                     std::string_view table_file_name)
    : KTO_DiskFile(MemoFileName(table_file_name, version), shared, writable), owner_(owner), version_(version) {
  Init();
}

void KTobjMemo::Init() {
  if (!ExistedAtCreation()) {
    ReportError(plat::kErrFileNotFound, kSubMemoOpen, FileName());
    return;
  }
  Open();
  if (owner_ != nullptr) SetLockProtocol(owner_->LockProtocol());
  else ApplyLockProtocol(kDefaultLock, &locks_);
}

KTobjMemo::~KTobjMemo() = default;

std::unique_ptr<KTobjMemo> KTobjMemo::OpenFor(KTO_dBaseDBF* table) {
  const bool w = table->IsWritable(), s = table->IsShared();
  switch (table->MemoFileKind()) {
    case MemoKind::kDBase3: return std::make_unique<KTobjMemo>(table, 0x83, w, s, table->GivenName());
    case MemoKind::kDBase4: return std::make_unique<KTobjMemo4>(table, w, s, table->GivenName());
    case MemoKind::kFoxPro: return std::make_unique<KTobjFXMemo20>(table, table->Version(), w, s, table->GivenName());
    case MemoKind::kNone: break;
  }
  return nullptr;
}

void KTobjMemo::ReportError(int32_t code, int32_t sub_code, const std::string& info) {
  if (owner_ != nullptr) owner_->ReportError(code, sub_code, info);
  else KTO_DiskFile::ReportError(code, sub_code, info);
}

void KTobjMemo::FormatError(int32_t sub_code) { ReportError(kCodeMemoFormat, sub_code, FileName()); }

int64_t KTobjMemo::BlocksInFile() {
  const int64_t size = FileSize();
  return (size + block_size_ - 1) / block_size_;
}

// dBase III: append at the next free block unless the old memo's blocks are
// enough.
void KTobjMemo::AllocateBlocks(int32_t size) {
  const int32_t needed = (size + block_size_ + 1) / block_size_;
  if (current_block_ < 1 || current_block_count_ < needed) {
    ReadAt(0, header_, 32);
    uint32_t next = GetLE32(header_);
    // A header whose next-free number lies inside the used part of the
    // file would make the new memo overwrite others: append at the end.
    const int64_t end = BlocksInFile();
    if (next < 1 || next < end) next = static_cast<uint32_t>(std::max<int64_t>(end, 1));
    current_block_ = static_cast<int32_t>(next);
    PutLE32(header_, next + static_cast<uint32_t>(needed));
    WriteAt(0, header_, 32);
  }
  current_block_count_ = needed;
}

void KTobjMemo::FreeBlocks(int32_t) {}

void KTobjMemo::AppendTerminator(std::string& image, int32_t position) {
  image[static_cast<size_t>(position)] = static_cast<char>(kMemoEnd);
  image[static_cast<size_t>(position) + 1] = static_cast<char>(kMemoEnd);
}

// dBase III memos have no header: their length is found by scanning for the
// end mark. A memo that reaches the end of the file without one is damaged.
int32_t KTobjMemo::BlockHeaderLength() {
  const int64_t file_size = FileSize();
  int64_t pos = static_cast<int64_t>(current_block_) * block_size_;
  if (pos >= file_size) {
    FormatError(kSubMemoBlock);
    return 0;
  }
  std::vector<char> block(static_cast<size_t>(block_size_) * 8);
  int64_t length = 0;
  while (pos < file_size) {
    const int32_t want = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(block.size()), file_size - pos));
    const int32_t got = ReadAt(pos, block.data(), want);
    if (got <= 0) break;
    const void* mark = std::memchr(block.data(), kMemoEnd, static_cast<size_t>(got));
    if (mark != nullptr) {
      length += static_cast<const char*>(mark) - block.data();
      if (length > INT32_MAX - 16) break;
      return static_cast<int32_t>(length);
    }
    length += got;
    pos += got;
  }
  FormatError(kSubMemoBlock);
  return 0;
}

void KTobjMemo::SetLockProtocol(int kind) {
  ApplyLockProtocol(kind, &locks_);
  lock_protocol_ = kind;
}

bool KTobjMemo::RenameMemo(std::string_view new_table_name) {
  const std::string target = MemoFileName(new_table_name, version_);
  if (!Rename(target)) return false;
  ReadAt(0, header_, 32);
  std::memset(header_ + 8, 0, 9);
  const std::string base = UpperBase8(new_table_name);
  std::memcpy(header_ + 8, base.data(), base.size());
  WriteAt(0, header_, 32);
  return true;
}

int32_t KTobjMemo::MeasureCurrent() {
  if (current_block_ <= 0) return block_header_size_;
  if (current_block_ >= BlocksInFile()) {
    FormatError(kSubMemoBlock);
    return block_header_size_;
  }
  if (block_header_size_ > 0) {
    std::memset(header_, 0, sizeof header_);
    const int64_t pos = static_cast<int64_t>(current_block_) * block_size_;
    if (ReadAt(pos, header_, 32) < block_header_size_) {
      FormatError(kSubMemoBlock);
      return block_header_size_;
    }
  }
  const int32_t total = BlockHeaderLength();
  // The memo must lie inside the file.
  if (total < block_header_size_ ||
      static_cast<int64_t>(current_block_) * block_size_ + total > FileSize()) {
    FormatError(kSubMemoBlock);
    return block_header_size_;
  }
  return total;
}

int32_t KTobjMemo::MemoLength(int32_t block) {
  current_block_ = block;
  return MeasureCurrent() - block_header_size_;
}

void KTobjMemo::ReadMemo(char* buffer, int32_t block, int32_t* size) {
  if (*size == 0) return;
  current_block_ = block;
  if (block == 0) {
    *size = 0;
    buffer[0] = '\0';
    return;
  }
  const int32_t d = MeasureCurrent() - block_header_size_;
  if (*size >= d) *size = d;
  const int64_t pos = static_cast<int64_t>(block) * block_size_ + block_header_size_;
  if (*size > 0 && ReadAt(pos, buffer, *size) != *size) FormatError(kSubMemoBlock);
  current_block_count_ = (block_header_size_ + *size + block_size_ - 1) / block_size_;
}

std::string KTobjMemo::ReadMemoText(int32_t block) {
  if (block <= 0) return std::string();
  int32_t size = MemoLength(block);
  if (size <= 0) return std::string();
  std::string text(static_cast<size_t>(size), '\0');
  ReadMemo(text.data(), block, &size);
  text.resize(static_cast<size_t>(std::max(size, 0)));
  return text;
}

bool KTobjMemo::LockMemoHeader() {
  uint64_t offset;
  uint64_t length = 1;
  switch (lock_protocol_) {
    case kDB4Lock: offset = locks_.a - 1u; length = 2; break;
    case kClipLock: offset = locks_.a; break;
    case kDefaultLock:
    case kFoxLock: offset = locks_.a - 1u; break;
    default: offset = 0; length = 0; break;
  }
  for (int attempt = 0; attempt < kLockRetries; ++attempt) {
    if (length > 0 && LockRange(offset, length)) return true;
    plat::SleepMilliseconds(kLockRetryInterval);
  }
  ReportIoError(LastError() != 0 ? LastError() : plat::kErrLockViolation, kSubMemoLock);
  return false;
}

int32_t KTobjMemo::WriteMemo(const char* buffer, int32_t* block, int32_t* size) {
  if (*size == 0 && *block == 0) return 0;
  if (*size < 0) *size = 0;
  const bool locked = IsShared();
  if (locked && !LockMemoHeader()) return 0;
  struct Unlocker {
    KTobjMemo* memo;
    bool on;
    ~Unlocker() {
      if (on) memo->Unlock();
    }
  } unlocker{this, locked};

  current_block_ = *block;
  const int32_t measured = MeasureCurrent();
  current_block_count_ = (measured + block_size_ - 1) / block_size_;
  AllocateBlocks(*size);

  // The image: whole blocks holding the block header, the data and (dBase
  // III) the two end marks.
  const int64_t extra = block_header_size_ == 0 ? 2 : 0;
  const int64_t body = static_cast<int64_t>(block_header_size_) + *size + extra;
  const int64_t blocks = (body + block_size_ - 1) / block_size_;
  std::string image(static_cast<size_t>(blocks * block_size_), '\0');
  std::memcpy(image.data(), header_, static_cast<size_t>(block_header_size_));
  if (*size > 0) std::memcpy(image.data() + block_header_size_, buffer, static_cast<size_t>(*size));
  AppendTerminator(image, block_header_size_ + *size);
  WriteAt(static_cast<int64_t>(current_block_) * block_size_, image.data(), static_cast<int32_t>(image.size()));
  *block = current_block_;
  return current_block_;
}

void KTobjMemo::CreateFile(std::string_view memo_file_name, uint8_t version, int32_t block_size,
                           std::string_view table_base_name) {
  std::vector<uint8_t> header;
  if (version == 0x83) {
    header.assign(512, 0);
    PutLE32(header.data(), 1);
    const std::string base = UpperBase8(table_base_name);
    std::memcpy(header.data() + 8, base.data(), base.size());
    header[16] = 0x03;  // dBase III memo version mark
  } else if (version == 0x8B) {
    if (block_size <= 0) block_size = 512;
    header.assign(static_cast<size_t>(block_size), 0);
    PutLE32(header.data(), 1);  // the free list ends at once: block 1 is the end of the file
    const std::string base = UpperBase8(table_base_name);
    std::memcpy(header.data() + 8, base.data(), base.size());
    PutLE32(header.data() + 20, static_cast<uint32_t>(block_size));
  } else {
    if (block_size <= 0) block_size = 64;
    header.assign(512, 0);
    const uint32_t first_free = static_cast<uint32_t>((512 + block_size - 1) / block_size);
    bytes::PutBE32(header.data(), first_free);
    bytes::PutBE32(header.data() + 4, static_cast<uint32_t>(block_size));
  }
  plat::FileHandle f = plat::FileHandle::Create(memo_file_name, true, false);
  if (!f.valid() || !f.WriteAt(0, header.data(), static_cast<int64_t>(header.size())))
    ReportEngineError(plat::LastError(), kSubCreate, plat::UpperName(plat::FullPath(memo_file_name)));
}

}  // namespace tessera
