#include "index/ndx_tag.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "engine/byte_order.h"
#include "engine/dbf_date.h"
#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "engine/text_helpers.h"
#include "index/ndx_file.h"
#include "index/key_text.h"
#include "index/single_tag_file.h"
#include "platform/codepage.h"
#include "platform/text_convert.h"

namespace tessera {
namespace {

constexpr int32_t kBlock = KTobjNDXTag::kBlockBytes;
constexpr int kExprOffset = 24;
constexpr double kAboveAll = 1.7e308;

using namespace index_bytes;


}  // namespace

KTobjNDXTag::KTobjNDXTag(KTobjNDXFile* file, std::string_view name, bool read) : KTobjIndexTag(file) {
  valid_ = StartSingleTag(name, read);
}

KTobjNDXTag::KTobjNDXTag(KTobjNDXFile* file, std::string_view name, StandIn) : KTobjIndexTag(file) {
  // Not dirty: nothing of it is ever written.
  name_ = plat::UpperText(name);
}

KTobjNDXTag::~KTobjNDXTag() {
  ReleaseTreeQuietly();
}

KTobjNDXFile* KTobjNDXTag::Ndx() const { return static_cast<KTobjNDXFile*>(file_); }

// --- header -----------------------------------------------------------------------

bool KTobjNDXTag::ReadTagHeader() {
  header_dirty_ = false;
  uint8_t h[kBlock];
  if (file_->KnownSize() < kBlock && file_->RefreshSize() < kBlock) return false;
  if (!file_->ReadBlock(0, h, kBlock)) return false;
  const int32_t root = Get32(h);
  const int length = Get16(h + 12);
  const int max = static_cast<int16_t>(Get16(h + 14));
  const int es = static_cast<int16_t>(Get16(h + 18));
  const int type_word = Get16(h + 16);
  // Sizes must describe nodes that fit a block: the count, max entries and
  // an interior node's extra child.
  if (length < 1 || length > kMaxKeyLength || es < length + 8 || max < 2) return false;
  if (4 + max * es + 4 > kBlock) return false;
  if (root <= 0 || (root + int64_t{1}) * kBlock > file_->KnownSize()) return false;
  key_length_ = static_cast<int16_t>(length);
  entry_size_ = static_cast<uint16_t>(es);
  max_keys_ = max;
  interior_capacity_ = static_cast<uint16_t>(max);
  root_offset_ = root;
  unique_ = (h[23] & 1) != 0;
  has_for_ = false;
  descending_ = reverse_compare_ = false;
  const char* expr = reinterpret_cast<const char*>(h + kExprOffset);
  key_expr_.assign(expr, strnlen(expr, kBlock - kExprOffset));
  while (!key_expr_.empty() && key_expr_.back() == ' ') key_expr_.pop_back();
  if (key_expr_.empty()) return false;
  // Without a table the key type word is all there is to go by.
  key_type_ = type_word == 1 ? 'N' : 'C';
  if (key_type_ == 'N' && length != 8) return false;
  if (Table() == nullptr) return true;
  const char learned_from = key_type_;
  CompileStoredExpressions([&] {
    if (!LearnKeyType(nullptr)) key_type_ = learned_from;
  });
  // A numeric or date key is always 8 bytes; a text key of another length
  // than 8 cannot be read as one.
  if (key_type_ != 'C' && length != 8) return false;
  return true;
}

bool KTobjNDXTag::WriteTagHeader() {
  if (!header_dirty_) return true;
  uint8_t h[kBlock] = {};
  Put32(h, root_offset_);
  Put32(h + 4, std::max(Ndx()->NextFreeBlock(), 0));
  Put16(h + 12, static_cast<uint32_t>(key_length_));
  Put16(h + 14, static_cast<uint32_t>(max_keys_));
  Put16(h + 16, key_type_ == 'C' ? 0 : 1);
  Put16(h + 18, entry_size_);
  h[23] = unique_ ? 1 : 0;
  std::memcpy(h + kExprOffset, key_expr_.data(), std::min<size_t>(key_expr_.size(), kBlock - kExprOffset - 1));
  Ndx()->StampHeader(h);
  file_->WriteBlock(0, h, kBlock);
  header_dirty_ = false;
  return true;
}

int32_t KTobjNDXTag::ReadRootOffset() {
  uint8_t h[4];
  if (!file_->ReadBlock(0, h, 4)) file_->Corrupt();
  const int32_t root = Get32(h);
  const int64_t end = (root + int64_t{1}) * kBlock;
  if (root <= 0 || (end > file_->KnownSize() && end > file_->RefreshSize())) file_->Corrupt();
  return root;
}

bool KTobjNDXTag::DefineTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                            const std::string& for_expr) {
  (void)name;
  return DefineKey(key_expr, unique, ascending, for_expr) && StartSingleTagTree(*this, kBlock);
}

bool KTobjNDXTag::DefineTagWithKeys(const std::string& key_expr, bool unique, KTobjSortNdx& keys) {
  return DefineKey(key_expr, unique, true, "") && StartSingleTagTree(*this, kBlock, &keys);
}

bool KTobjNDXTag::DefineKey(const std::string& key_expr, bool unique, bool ascending, const std::string& for_expr) {
  if (key_expr.size() >= static_cast<size_t>(kBlock - kExprOffset))
    throw ETesseraError("The key expression of tag " + name_ + " is longer than an NDX header holds (487 characters)");
  KTobjIndexTag::DefineTag(name_, key_expr, unique, ascending, for_expr);
  descending_ = reverse_compare_ = false;
  TktVariant v(256);
  if (!LearnKeyType(&v)) return false;
  if (key_type_ == 'C') {
    key_length_ = static_cast<int16_t>(v.kind() == VariantKind::kLogical ? 1 : v.size());
    if (key_length_ < 1 || key_length_ > kMaxKeyLength)
      throw ETesseraError("Key of tag " + name_ + " is " + std::to_string(key_length_) +
                          " bytes long; an NDX key holds 1 to 240 bytes");
    entry_size_ = static_cast<uint16_t>((key_length_ + 8 + 3) / 4 * 4);
  } else {
    key_length_ = 8;
    entry_size_ = key_type_ == 'N' ? 20 : 16;
  }
  max_keys_ = 504 / entry_size_;
  interior_capacity_ = static_cast<uint16_t>(max_keys_);
  return true;
}

// --- keys -------------------------------------------------------------------------

void KTobjNDXTag::NormalizeKey(TktVariant& value, bool trim_blanks) {
  const bool text_kind = value.kind() == VariantKind::kCharacter || value.kind() == VariantKind::kBinary;
  if (key_type_ == 'C') {
    std::string t = CharacterKeyText(value, trim_blanks);
    // Only a search value can be longer here (record keys are refused by
    // EvalKey).
    if (static_cast<int>(t.size()) > key_length_ && key_length_ > 0) t.resize(static_cast<size_t>(key_length_));
    value.SetText(t);
    return;
  }
  if (value.kind() == VariantKind::kNumeric && key_type_ == 'N') {
    if (value.AsNumber() == 0) value.SetNumber(0);  // -0 is stored as 0
    return;
  }
  double number = 0;
  if (key_type_ == 'D') {
    int32_t day = 0;
    if (value.kind() == VariantKind::kDate) day = value.AsDayNumber();
    else if (value.kind() == VariantKind::kNumeric) number = value.AsNumber(), day = -1;
    else if (text_kind) {
      const std::string t = TrimText(value.bytes());
      day = KeyTextDate(*this, t);
    }
    if (day != -1) number = day <= 0 ? kNoDate : static_cast<double>(day);
  } else {
    if (value.kind() == VariantKind::kDate) number = value.AsDayNumber();
    else if (value.kind() == VariantKind::kLogical) number = value.AsBoolean() ? 1 : 0;
    else if (text_kind) {
      const std::string t = TrimText(value.bytes());
      if (!t.empty()) plat::TryTextToFloat(t, &number);
    }
  }
  if (number == 0) number = 0;
  value.SetNumber(number);
}

bool KTobjNDXTag::EvalKey(TktVariant& value, bool* changed) {
  const bool ok = KTobjIndexTag::EvalKey(value, changed);
  if (!ok || key_type_ != 'C' || key_length_ <= 0) return ok;
  std::string_view t = value.bytes();
  while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
  if (value.kind() == VariantKind::kCharacter && static_cast<int>(t.size()) > key_length_) {
    KTO_dBHandler* table = Table();
    throw ETesseraError("The key of record " + std::to_string(table != nullptr ? table->CurrentRecord() : 0) +
                        " for tag " + name_ + " is " + std::to_string(t.size()) + " characters long; the tag's keys hold " +
                        std::to_string(key_length_));
  }
  return ok;
}

bool KTobjNDXTag::InsertKey(const KTobjIndexKeyData& key) {
  // Interior entries carry no record number in this format.
  KTobjIndexKeyData k;
  k.CopyFrom(key);
  k.RecordNumber = 0;
  return KTobjIndexTag::InsertKey(k);
}

std::string KTobjNDXTag::NodeBytes(const TktVariant& value) const {
  if (key_type_ == 'C') {
    std::string t(value.bytes().substr(0, static_cast<size_t>(key_length_)));
    t.resize(static_cast<size_t>(key_length_), ' ');
    return t;
  }
  std::string t(value.bytes().substr(0, 8));
  t.resize(8, '\0');
  return t;
}

// --- nodes ------------------------------------------------------------------------

bool KTobjNDXTag::LoadNode(int32_t offset, KTobjIndexKey& node) {
  // Every value read here comes from the file and is checked before use.
  if (offset <= 0 || max_keys_ <= 0) return false;
  const int64_t end = (offset + int64_t{1}) * kBlock;
  if (end > file_->KnownSize() && end > file_->RefreshSize()) return false;
  uint8_t b[kBlock];
  if (!file_->ReadBlock(offset, b, kBlock)) return false;
  const int n = Get16(b);
  if (n > max_keys_ || Get16(b + 2) != 0) return false;
  const int es = entry_size_, L = key_length_;
  node.FreeAll();
  node.offset = offset;
  node.position = -1;
  const bool interior = Get32(b + 4) != 0;
  node.kind = interior ? KTobjIndexKey::kInterior : KTobjIndexKey::kLeaf;
  const bool character = key_type_ == 'C';
  for (int i = 0; i < n; ++i) {
    const uint8_t* e = b + 4 + i * es;
    const int32_t child = Get32(e);
    if (interior && child <= 0) return false;
    auto entry = std::make_unique<KTobjIndexKeyData>();
    if (character) {
      int length = L;
      while (length > 0 && e[8 + length - 1] == ' ') --length;
      if (e[8] == 0) length = 0;
      entry->SetText(std::string_view(reinterpret_cast<const char*>(e + 8), static_cast<size_t>(length)));
    } else {
      entry->SetNumber(bytes::GetLEDouble(e + 8));
    }
    entry->RecordNumber = 0;
    entry->Reference = interior ? child : Get32(e + 4);
    node.Add(std::move(entry));
  }
  if (interior) {
    const int32_t child = Get32(b + 4 + n * es);
    if (child <= 0) return false;
    auto entry = std::make_unique<KTobjIndexKeyData>();
    if (character) entry->SetText("\xff");
    else entry->SetNumber(kAboveAll);
    entry->Reference = child;
    node.Add(std::move(entry));
  }
  return true;
}

void KTobjNDXTag::WriteNode(const KTobjIndexKey& node, int32_t first, int32_t last, int32_t block) {
  uint8_t b[kBlock] = {};
  const bool interior = !node.IsLeaf();
  const int es = entry_size_;
  int32_t count = last - first;
  for (int32_t j = 0; j < count; ++j) {
    const KTobjIndexKeyData& e = *node.Entry(first + j);
    uint8_t* p = b + 4 + j * es;
    if (interior) {
      Put32(p, e.Reference);
      // The entry after the keys carries only the rightmost child.
      if (j == count - 1) break;
    } else {
      Put32(p + 4, e.Reference);
    }
    const std::string k = NodeBytes(e);
    std::memcpy(p + 8, k.data(), k.size());
  }
  if (interior && count > 0) --count;
  Put16(b, static_cast<uint32_t>(count));
  file_->WriteBlock(block, b, kBlock);
}

bool KTobjNDXTag::StoreNode(KTobjIndexKey& node) {
  const int32_t m = max_keys_;
  int32_t first = 0;
  while (node.Size() - first > m) {
    const int32_t remaining = node.Size() - first;
    const int32_t part = std::min<int32_t>(m, remaining - remaining / 2);
    const int32_t block = file_->AllocateNode();
    WriteNode(node, first, first + part, block);
    KTobjIndexKeyData separator;
    separator.CopyFrom(*node.Entry(first + part - 1));
    separator.Reference = block;
    node.InsertSeparator(separator);  // may move the node to a new block (GrowRoot)
    first += part;
  }
  WriteNode(node, first, node.Size(), node.offset);
  return true;
}

void KTobjNDXTag::WriteEmptyRoot() {
  const int32_t block = file_->AllocateNode();
  const uint8_t zeros[kBlock] = {};
  file_->WriteBlock(block, zeros, kBlock);
  root_offset_ = block;
}

}  // namespace tessera
