#include "index/ntx_tag.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/byte_order.h"
#include "engine/dbf_date.h"
#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "engine/text_helpers.h"
#include "expr/exp_handler.h"
#include "index/ntx_file.h"
#include "index/key_text.h"
#include "index/single_tag_file.h"
#include "platform/codepage.h"
#include "platform/text_convert.h"

namespace tessera {
namespace {

constexpr int32_t kPage = KTobjNTXTag::kPageSize;
constexpr int kKeyExprOffset = 22;
constexpr int kKeyExprArea = 256;

using namespace index_bytes;

// The entry of node's parent that refers to node, or null.
const KTobjIndexKeyData* ParentEntry(const KTobjIndexKey& node) {
  const KTobjIndexKey* p = node.parent;
  if (p == nullptr) return nullptr;
  if (p->position >= 0 && p->position < p->Size() && p->Entry(p->position)->Reference == node.offset)
    return p->Entry(p->position);
  for (int32_t i = 0; i < p->Size(); ++i)
    if (p->Entry(i)->Reference == node.offset) return p->Entry(i);
  return nullptr;
}

// Whether every node above reaches the node below it through its last
// entry: the page is the last of its level.
bool Rightmost(const KTobjIndexKey& node) {
  for (const KTobjIndexKey* n = &node; n->parent != nullptr; n = n->parent) {
    const KTobjIndexKeyData* e = ParentEntry(*n);
    if (e == nullptr || e != n->parent->Entry(n->parent->Size() - 1)) return false;
  }
  return true;
}

bool AllDigits(std::string_view t) {
  return std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

KTobjNTXTag::KTobjNTXTag(KTobjNTXFile* file, std::string_view name, bool read) : KTobjIndexTag(file) {
  valid_ = StartSingleTag(name, read);
}

KTobjNTXTag::KTobjNTXTag(KTobjNTXFile* file, std::string_view name, StandIn) : KTobjIndexTag(file) {
  // Not dirty: nothing of it is ever written.
  name_ = plat::UpperText(name);
}

KTobjNTXTag::~KTobjNTXTag() {
  ReleaseTreeQuietly();
}

KTobjNTXFile* KTobjNTXTag::Ntx() const { return static_cast<KTobjNTXFile*>(file_); }

// --- numbers ----------------------------------------------------------------

std::string KTobjNTXTag::EncodeNumber(double value, int width, int decimals) {
  const bool negative = value < 0;
  std::string t = plat::FormatFixed(std::fabs(value), decimals);
  if (static_cast<int>(t.size()) < width) t.insert(0, static_cast<size_t>(width) - t.size(), '0');
  for (char& c : t)
    if (c == ' ') c = '0';
  if (negative)
    for (char& c : t)
      if (c >= '0' && c <= '9') c = static_cast<char>(44 - (c - '0'));
  return t;
}

double KTobjNTXTag::DecodeNumber(std::string_view stored) {
  std::string t(stored);
  bool negative = false;
  for (char& c : t) {
    if (c >= '#' && c <= ',') {
      c = static_cast<char>('0' + (44 - c));
      negative = true;
    }
  }
  double v = 0;
  if (!plat::TryTextToFloat(t, &v)) return 0;
  return negative ? -v : v;
}

// --- header -------------------------------------------------------------------

bool KTobjNTXTag::ReadTagHeader() {
  header_dirty_ = false;
  uint8_t h[kPage];
  if (file_->KnownSize() < kPage && file_->RefreshSize() < kPage) return false;
  if (!file_->ReadBlock(0, h, kPage)) return false;
  // 6, with bit 0 for a FOR condition (7) and bit 3 for a temporary index
  // built over part of the records (14, 15); Clipper Summer '87 wrote 3,
  // without FOR conditions.
  const uint16_t signature = Get16(h);
  if ((signature & ~9u) != 6 && signature != 3) return false;
  Ntx()->SetVersionCounter(Get16(h + 2));
  const int32_t root = Get32(h + 4);
  const int es = Get16(h + 12);
  const int length = Get16(h + 14);
  const int decimals = Get16(h + 16);
  const int max = Get16(h + 18);
  // Every size must describe a page that fits: the offset table, then
  // maximum keys + 1 slots.
  if (length < 1 || length > kKeyExprArea || es != length + 8) return false;
  if (max < 2 || 4 + 2 * max + (max + 1) * es > kPage) return false;
  if (decimals > length) return false;
  if (root <= 0 || root % kPage != 0 || root + int64_t{kPage} > file_->KnownSize()) return false;
  key_length_ = static_cast<int16_t>(length);
  entry_size_ = static_cast<uint16_t>(es);
  max_keys_ = max;
  interior_capacity_ = static_cast<uint16_t>(max);
  decimals_ = decimals;
  root_offset_ = root;
  unique_ = (h[278] & 1) != 0;
  // The keys are stored in the tag's own order (reversed comparisons).
  reverse_compare_ = descending_ = (h[280] & 1) != 0;
  has_for_ = signature != 3 && (signature & 1) != 0;
  temporary_ = signature != 3 && (signature & 8) != 0;
  signature_ = signature;
  free_list_ = Get32(h + 8);
  const char* expr = reinterpret_cast<const char*>(h + kKeyExprOffset);
  key_expr_.assign(expr, strnlen(expr, kKeyExprArea));
  while (!key_expr_.empty() && key_expr_.back() == ' ') key_expr_.pop_back();
  if (key_expr_.empty()) return false;
  for_expr_.clear();
  if (has_for_) {
    const char* f = reinterpret_cast<const char*>(h + kForExprOffset);
    for_expr_.assign(f, strnlen(f, kPage - kForExprOffset));
  }
  key_type_ = decimals_ > 0 ? 'N' : 'C';
  // Without a table (listing a file's tag) the expressions are only text.
  if (Table() == nullptr) return true;
  CompileStoredExpressions([&] { LearnKeyType(nullptr); });
  // A temporary index holds the keys of some records only (Clipper does
  // not keep one current either).
  if (temporary_ && unusable_.empty()) unusable_ = "it is a temporary index over part of the records";
  return true;
}

bool KTobjNTXTag::WriteTagHeader() {
  if (!header_dirty_) return true;
  uint8_t h[kPage] = {};
  // A file read keeps its signature's other bits; Clipper's list of free
  // pages (8) stays for Clipper to use (this engine takes new pages at the
  // end of the file).
  Put16(h, static_cast<uint32_t>((signature_ & ~1u & 0xFFFF) | (has_for_ ? 1u : 0u)));
  Put16(h + 2, Ntx()->VersionCounter());
  Put32(h + 4, root_offset_);
  // A list that no longer lies in the file (rebuilt since) is dropped.
  const bool list_in_file = free_list_ > 0 && free_list_ % kPage == 0 && free_list_ + int64_t{kPage} <= file_->KnownSize();
  Put32(h + 8, list_in_file ? free_list_ : 0);
  Put16(h + 12, entry_size_);
  Put16(h + 14, static_cast<uint32_t>(key_length_));
  Put16(h + 16, static_cast<uint32_t>(decimals_));
  Put16(h + 18, static_cast<uint32_t>(max_keys_));
  Put16(h + 20, static_cast<uint32_t>(max_keys_ / 2));
  std::memcpy(h + kKeyExprOffset, key_expr_.data(), std::min<size_t>(key_expr_.size(), kKeyExprArea - 1));
  h[278] = unique_ ? 1 : 0;
  h[280] = reverse_compare_ ? 1 : 0;
  if (has_for_)
    std::memcpy(h + kForExprOffset, for_expr_.data(), std::min<size_t>(for_expr_.size(), kPage - kForExprOffset - 1));
  // Pages written since the mark went on are held: the header keeps it.
  if (Ntx()->MarkOn()) std::memcpy(h + KTobjNTXFile::kPendingMarkOffset, KTobjNTXFile::kPendingMark, 8);
  file_->WriteBlock(0, h, kPage);
  header_dirty_ = false;
  return true;
}

int32_t KTobjNTXTag::ReadRootOffset() {
  uint8_t h[8];
  if (!file_->ReadBlock(0, h, 8)) file_->Corrupt();
  const int32_t root = Get32(h + 4);
  if (root <= 0 || root % kPage != 0 ||
      (root + int64_t{kPage} > file_->KnownSize() && root + int64_t{kPage} > file_->RefreshSize()))
    file_->Corrupt();
  return root;
}

// --- definition -------------------------------------------------------------------

bool KTobjNTXTag::DefineTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                            const std::string& for_expr) {
  (void)name;
  return DefineKey(key_expr, unique, ascending, for_expr) && StartSingleTagTree(*this, kPage);
}

bool KTobjNTXTag::DefineTagWithKeys(const std::string& key_expr, bool unique, bool ascending,
                                    const std::string& for_expr, KTobjSortNTX& keys) {
  return DefineKey(key_expr, unique, ascending, for_expr) && StartSingleTagTree(*this, kPage, &keys);
}

bool KTobjNTXTag::DefineKey(const std::string& key_expr, bool unique, bool ascending, const std::string& for_expr) {
  if (key_expr.size() >= kKeyExprArea)
    throw ETesseraError("The key expression of tag " + name_ + " is longer than an NTX header holds (255 characters)");
  if (for_expr.size() >= static_cast<size_t>(kPage - kForExprOffset))
    throw ETesseraError("The FOR expression of tag " + name_ + " is longer than an NTX header holds (741 characters)");
  KTobjIndexTag::DefineTag(name_, key_expr, unique, ascending, for_expr);
  reverse_compare_ = !ascending;
  // Built over every record, by this engine.
  signature_ = 6;
  temporary_ = false;
  free_list_ = 0;
  TktVariant v(256);
  if (!LearnKeyType(&v)) return false;
  decimals_ = 0;
  switch (key_type_) {
    case 'C': key_length_ = static_cast<int16_t>(v.kind() == VariantKind::kLogical ? 1 : v.size()); break;
    case 'D': key_length_ = 8; break;
    default: {
      // A single numeric field gives its own width and decimals.
      key_length_ = 18;
      decimals_ = 4;
      KTO_dBHandler* table = Table();
      const std::string field = plat::UpperText(TrimText(key_expr));
      const int n = table != nullptr ? table->FieldNumber(field) : 0;
      if (n > 0 && (table->FieldType(n) == 'N' || table->FieldType(n) == 'F')) {
        key_length_ = static_cast<int16_t>(table->FieldWidth(n));
        decimals_ = table->FieldDecimals(n);
      }
      break;
    }
  }
  if (key_length_ < 1 || key_length_ > kMaxKeyLength)
    throw ETesseraError("Key of tag " + name_ + " is " + std::to_string(key_length_) +
                        " bytes long; an NTX key holds 1 to 240 bytes");
  entry_size_ = static_cast<uint16_t>(key_length_ + 8);
  max_keys_ = MaxKeysFor(key_length_);
  interior_capacity_ = static_cast<uint16_t>(max_keys_);
  return true;
}

// --- keys -------------------------------------------------------------------------

std::string KTobjNTXTag::StoredText(const TktVariant& value, bool trim_blanks) const {
  const bool text_kind = value.kind() == VariantKind::kCharacter || value.kind() == VariantKind::kBinary;
  if (key_type_ == 'C') return CharacterKeyText(value, trim_blanks);
  if (key_type_ == 'D') {
    int32_t day = 0;
    if (value.kind() == VariantKind::kDate) {
      day = value.AsDayNumber();
    } else if (value.kind() == VariantKind::kNumeric) {
      day = static_cast<int32_t>(value.AsNumber());
    } else if (text_kind) {
      const std::string t = TrimText(value.bytes());
      if (t.size() == 8 && AllDigits(t)) return t;
      day = KeyTextDate(*this, t);
    }
    return day <= 0 ? std::string("00000000") : EngineDate().StorageText(day);
  }
  double number = 0;
  if (value.kind() == VariantKind::kNumeric || value.kind() == VariantKind::kDate) {
    number = value.AsNumber();
  } else if (value.kind() == VariantKind::kLogical) {
    number = value.AsBoolean() ? 1 : 0;
  } else if (text_kind) {
    const std::string t = TrimText(value.bytes());
    // A text that is no number is a key in its stored form already.
    if (!t.empty() && !plat::TryTextToFloat(t, &number)) return std::string(value.bytes());
  }
  return EncodeNumber(number, key_length_, decimals_);
}

void KTobjNTXTag::NormalizeKey(TktVariant& value, bool trim_blanks) {
  std::string t = StoredText(value, trim_blanks);
  // Only a search value can be longer here (record keys are refused by
  // EvalKey): it is compared by its first key-length bytes.
  if (static_cast<int>(t.size()) > key_length_ && key_length_ > 0) t.resize(static_cast<size_t>(key_length_));
  value.SetText(t);
}

bool KTobjNTXTag::EvalKey(TktVariant& value, bool* changed) {
  const bool ok = KTobjIndexTag::EvalKey(value, changed);
  if (!ok || key_length_ <= 0) return ok;
  size_t length = 0;
  if (key_type_ == 'C' && value.kind() == VariantKind::kCharacter) {
    std::string_view t = value.bytes();
    while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
    length = t.size();
  } else if (key_type_ != 'D') {
    length = StoredText(value, true).size();
  }
  if (static_cast<int>(length) > key_length_) {
    KTO_dBHandler* table = Table();
    throw ETesseraError("The key of record " + std::to_string(table != nullptr ? table->CurrentRecord() : 0) +
                        " for tag " + name_ + " is " + std::to_string(length) + " characters long; the tag's keys hold " +
                        std::to_string(key_length_));
  }
  return ok;
}

// --- pages ------------------------------------------------------------------------

bool KTobjNTXTag::LoadNode(int32_t offset, KTobjIndexKey& node) {
  // Every value read here comes from the file and is checked before use.
  if (offset <= 0 || offset % kPage != 0 || max_keys_ <= 0) return false;
  if (offset + int64_t{kPage} > file_->KnownSize() && offset + int64_t{kPage} > file_->RefreshSize()) return false;
  uint8_t p[kPage];
  if (!file_->ReadBlock(offset, p, kPage)) return false;
  const int n = Get16(p);
  if (n > max_keys_) return false;
  const int es = entry_size_, L = key_length_;
  const int table_end = 2 + 2 * (max_keys_ + 1);
  auto slot = [&](int i) -> const uint8_t* {
    const int at = Get16(p + 2 + 2 * i);
    if (at < table_end || at + es > kPage) return nullptr;
    return p + at;
  };
  node.FreeAll();
  node.offset = offset;
  node.position = -1;
  const uint8_t* first = slot(0);
  if (first == nullptr) {
    // An all-zero page is an empty leaf.
    if (n != 0 || Get16(p + 2) != 0) return false;
    node.kind = KTobjIndexKey::kLeaf;
    return true;
  }
  const bool interior = Get32(first) != 0;
  node.kind = interior ? KTobjIndexKey::kInterior : KTobjIndexKey::kLeaf;
  auto child_ok = [](int32_t c) { return c > 0 && c % kPage == 0; };
  for (int i = 0; i < n; ++i) {
    const uint8_t* s = slot(i);
    if (s == nullptr) return false;
    const int32_t child = Get32(s);
    const int32_t recno = Get32(s + 4);
    if (interior && !child_ok(child)) return false;
    int length = L;
    while (length > 0 && (s[8 + length - 1] == ' ' || s[8 + length - 1] == 0)) --length;
    auto entry = std::make_unique<KTobjIndexKeyData>();
    if (length == 0 && key_type_ == 'D') entry->SetText("00000000");
    else entry->SetText(std::string_view(reinterpret_cast<const char*>(s + 8), static_cast<size_t>(length)));
    entry->RecordNumber = recno;
    entry->Reference = interior ? child : recno;
    node.Add(std::move(entry));
  }
  if (interior) {
    const uint8_t* s = slot(n);
    if (s == nullptr || !child_ok(Get32(s))) return false;
    auto entry = std::make_unique<KTobjIndexKeyData>();
    if (const KTobjIndexKeyData* up = ParentEntry(node)) {
      entry->CopyFrom(*up);
    } else {
      entry->SetText("\xff");
      entry->RecordNumber = 0;
    }
    entry->Reference = Get32(s);
    node.Add(std::move(entry));
  } else if (node.parent != nullptr && !Rightmost(node)) {
    // The interior key that follows this leaf is its last key here.
    if (const KTobjIndexKeyData* up = ParentEntry(node)) {
      auto entry = std::make_unique<KTobjIndexKeyData>();
      entry->CopyFrom(*up);
      entry->Reference = up->RecordNumber;
      node.Add(std::move(entry));
    }
  }
  return true;
}

void KTobjNTXTag::WritePage(const KTobjIndexKey& node, int32_t first, int32_t last, int32_t counted, int32_t offset) {
  uint8_t p[kPage] = {};
  const int m = max_keys_, es = entry_size_, L = key_length_;
  const int base = 2 + 2 * (m + 1);
  const bool interior = !node.IsLeaf();
  Put16(p, static_cast<uint32_t>(std::max(counted, 0)));
  for (int i = 0; i <= m; ++i) Put16(p + 2 + 2 * i, static_cast<uint32_t>(base + i * es));
  for (int32_t j = 0; j < last - first && j <= m; ++j) {
    const KTobjIndexKeyData& e = *node.Entry(first + j);
    uint8_t* s = p + base + j * es;
    std::memset(s + 8, ' ', static_cast<size_t>(L));
    if (interior) {
      Put32(s, e.Reference);
      // The slot after the keys carries only the rightmost child.
      if (j >= counted) continue;
      Put32(s + 4, e.RecordNumber);
    } else {
      Put32(s + 4, e.Reference);
    }
    std::memcpy(s + 8, e.data(), static_cast<size_t>(std::min<int32_t>(e.size(), L)));
  }
  file_->WriteBlock(offset, p, kPage);
}

bool KTobjNTXTag::StoreNode(KTobjIndexKey& node) {
  const int32_t m = max_keys_;
  const bool interior = !node.IsLeaf();
  int32_t first = 0;
  // A node that took more keys than a page holds is written in parts from
  // the front; each part's last entry goes up into the parent.
  while (node.Size() - first > m) {
    const int32_t remaining = node.Size() - first;
    const int32_t part = std::min<int32_t>(m, remaining - remaining / 2);
    const int32_t new_offset = file_->AllocateNode();
    WritePage(node, first, first + part, part - 1, new_offset);
    KTobjIndexKeyData separator;
    separator.CopyFrom(*node.Entry(first + part - 1));
    separator.Reference = new_offset;
    node.InsertSeparator(separator);  // may move the node to a new page (GrowRoot)
    first += part;
  }
  int32_t counted = node.Size() - first;
  if (interior || !Rightmost(node)) --counted;
  WritePage(node, first, node.Size(), counted, node.offset);
  return true;
}

void KTobjNTXTag::WriteEmptyRoot() {
  const int32_t offset = file_->AllocateNode();
  KTobjIndexKey none(this, nullptr, 0);
  none.kind = KTobjIndexKey::kLeaf;
  WritePage(none, 0, 0, 0, offset);
  root_offset_ = offset;
}

}  // namespace tessera
