#include "engine/dbf_handler.h"

#include "engine/errors.h"
#include "engine/text_helpers.h"
#include "index/cdx_file.h"
#include "index/index_file.h"
#include "platform/last_error.h"
#include "platform/path.h"

namespace tessera {

KTO_dBHandler::KTO_dBHandler(std::string_view file_name, bool shared, bool writable)
    : KTO_dBaseFld(file_name, shared, writable) {}

KTO_dBHandler::~KTO_dBHandler() {
  try {
    CloseIndexFiles();
  } catch (...) {
  }
}

std::string KTO_dBHandler::ResolveIndexName(std::string_view name, std::string_view default_ext) const {
  std::string n = plat::UpperName(TrimText(name));
  if (n.find('/') == std::string::npos) n = plat::DirectoryOf(FileName()) + n;
  return plat::UpperName(plat::FullPath(DefaultExtension(n, default_ext)));
}

int32_t KTO_dBHandler::OpenIndexFile(std::string_view name) {
  const std::string resolved = ResolveIndexName(name, ".NDX");
  if (FindIndexFile(resolved) != 0) return -1;
  const std::string ext = plat::UpperName(ExtensionOf(resolved));
  std::unique_ptr<KTobjIndexFile> file;
  if (ext == ".CDX") file = std::make_unique<KTobjCDXFile>(this, resolved, false, false, IsShared(), IsWritable());
  if (file == nullptr || !file->Opened()) {
    const bool exists = plat::FileExists(resolved) && file != nullptr;
    ReportError(exists ? int32_t{kCodeIndexHeader} : int32_t{plat::kErrFileNotFound}, kNoSubCode, resolved);
    return -1;
  }
  for (int slot = 1; slot <= kIndexSlots; ++slot) {
    if (!slots_[static_cast<size_t>(slot)]) {
      file->SetLockProtocol(LockProtocol());
      slots_[static_cast<size_t>(slot)] = std::move(file);
      return 0;
    }
  }
  ReportError(plat::kErrTooManyOpenFiles, kNoSubCode, resolved);
  return -1;
}

void KTO_dBHandler::CloseIndexFiles() {
  for (auto& slot : slots_) slot.reset();
}

int KTO_dBHandler::FindIndexFile(std::string_view name) {
  const std::string resolved = ResolveIndexName(name, ".NDX");
  for (int slot = 1; slot <= kIndexSlots; ++slot)
    if (slots_[static_cast<size_t>(slot)] && slots_[static_cast<size_t>(slot)]->FullName() == resolved) return slot;
  return 0;
}

KTobjIndexFile* KTO_dBHandler::IndexFile(int slot) const {
  if (slot < 1 || slot > kIndexSlots) return nullptr;
  return slots_[static_cast<size_t>(slot)].get();
}

KTobjIndexTag* KTO_dBHandler::TagByNumber(int n) const {
  if (n < 1) return nullptr;
  for (int slot = 1; slot <= kIndexSlots; ++slot) {
    KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get();
    if (f == nullptr) continue;
    if (static_cast<size_t>(n) <= f->TagCount()) return f->TagAt(static_cast<size_t>(n - 1));
    n -= static_cast<int>(f->TagCount());
  }
  return nullptr;
}

KTobjIndexTag* KTO_dBHandler::FindTag(std::string_view name) const {
  for (int slot = 1; slot <= kIndexSlots; ++slot)
    if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get())
      if (KTobjIndexTag* t = f->FindTag(name)) return t;
  return nullptr;
}

bool KTO_dBHandler::HasIndexFile() { return slots_[1] != nullptr; }

bool KTO_dBHandler::LockIndexFiles() {
  int locked = 0;
  try {
    for (int slot = 1; slot <= kIndexSlots; ++slot) {
      if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get()) {
        f->LockIndexFile();
        locked = slot;
      }
    }
  } catch (...) {
    for (int slot = 1; slot <= locked; ++slot)
      if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get()) f->UnlockIndexFile();
    throw;
  }
  return true;
}

void KTO_dBHandler::UnlockIndexFiles() {
  for (int slot = 1; slot <= kIndexSlots; ++slot)
    if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get()) f->UnlockIndexFile();
}

void KTO_dBHandler::AppendRecord() {
  LockIndexFiles();
  try {
    KTO_dBaseFld::AppendRecord();
  } catch (...) {
    UnlockIndexFiles();
    throw;
  }
  UnlockIndexFiles();
}

void KTO_dBHandler::WriteRecord(int32_t number) {
  LockIndexFiles();
  try {
    KTO_dBaseFld::WriteRecord(number);
  } catch (...) {
    UnlockIndexFiles();
    throw;
  }
  UnlockIndexFiles();
}

void KTO_dBHandler::RecordEvent(int event, int32_t record) {
  if (event == kEventAfterWrite) {
    // An append is reported with record 0; its number is the current one.
    const bool is_append = record == 0;
    const int32_t recno = is_append ? CurrentRecord() : record;
    for (int slot = 1; slot <= kIndexSlots; ++slot)
      if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get()) f->RecordChanged(recno, is_append);
  }
  KTO_dBaseFld::RecordEvent(event, record);
}

void KTO_dBHandler::SetLockProtocol(int kind) {
  KTO_dBaseFld::SetLockProtocol(kind);
  for (int slot = 1; slot <= kIndexSlots; ++slot)
    if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get()) f->SetLockProtocol(kind);
}

}  // namespace tessera
