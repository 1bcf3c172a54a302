#include "index/cdx_tag.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "engine/byte_order.h"
#include "engine/dbf_date.h"
#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "expr/dbf_names.h"
#include "expr/exp_handler.h"
#include "index/cdx_build.h"
#include "index/cdx_bytes.h"
#include "index/cdx_file.h"
#include "index/key_text.h"
#include "platform/codepage.h"
#include "platform/path.h"
#include "platform/text_convert.h"

namespace tessera {

using namespace cdx_bytes;

std::string EncodeCdxNumber(double value) {
  if (value == 0) value = 0;  // -0 is stored as 0
  uint64_t bits = std::bit_cast<uint64_t>(value);
  if (bits >> 63) bits = ~bits;
  else bits |= uint64_t{1} << 63;
  std::string out(8, '\0');
  for (int i = 0; i < 8; ++i) out[static_cast<size_t>(i)] = static_cast<char>(bits >> (56 - 8 * i));
  while (out.size() > 1 && out.back() == '\0') out.pop_back();
  return out;
}

std::string EncodeVfpInteger(double value) {
  int64_t whole = std::isfinite(value) ? static_cast<int64_t>(std::trunc(std::clamp(value, -2147483648.0, 2147483647.0))) : 0;
  const uint32_t bits = static_cast<uint32_t>(static_cast<int32_t>(whole)) ^ 0x80000000u;
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<char>(bits >> (24 - 8 * i));
  while (out.size() > 1 && out.back() == '\0') out.pop_back();
  return out;
}

double VfpDateTimeNumber(const char* raw) {
  const auto* b = reinterpret_cast<const uint8_t*>(raw);
  const auto day = static_cast<int32_t>(bytes::GetLE32(b));
  const auto ms = static_cast<int32_t>(bytes::GetLE32(b + 4));
  return day + ms / 86400000.0;
}

double DecodeCdxNumber(std::string_view stored) {
  uint64_t bits = 0;
  for (size_t i = 0; i < 8; ++i)
    bits = (bits << 8) | (i < stored.size() ? static_cast<uint8_t>(stored[i]) : 0);
  if (bits >> 63) bits &= ~(uint64_t{1} << 63);
  else bits = ~bits;
  return std::bit_cast<double>(bits);
}

KTobjCDXTag::KTobjCDXTag(KTobjCDXFile* file, int32_t header_offset, std::string_view name) : KTobjIndexTag(file) {
  name_ = plat::UpperText(name);
  if (header_offset < 0) {
    header_offset_ = file->AllocateNode();
    file->AllocateNode();  // the header's second block
    header_dirty_ = true;
    options_ = 0x60;
    collation_ = static_cast<uint8_t>(NewCdxTagCollation());
  } else {
    header_offset_ = header_offset;
    valid_ = ReadTagHeader();
    // Unique and FOR are kept in their own fields and merged back when the
    // header is written; bits other writers set (Visual FoxPro's candidate
    // key 0x04 and 0x02) stay as they were.
    options_ = static_cast<uint8_t>((options_ & 0x80 ? 0xE0 : 0x60) | (options_ & 0x16));
  }
}

KTobjCDXTag::KTobjCDXTag(KTobjCDXFile* file, std::string_view name, StandIn) : KTobjIndexTag(file) {
  name_ = plat::UpperText(name);
  options_ = 0x60;
  collation_ = static_cast<uint8_t>(NewCdxTagCollation());
}

KTobjCDXTag::~KTobjCDXTag() {
  ReleaseTreeQuietly();
}

int64_t KTobjCDXTag::MaxRecordNumber() const {
  if (IsDirectory()) return file_->Disk() != nullptr ? file_->Disk()->FileSize() : 0;
  KTO_dBHandler* table = Table();
  return table != nullptr ? table->RecordCount() : 0;
}

// --- header -------------------------------------------------------------

bool KTobjCDXTag::ReadTagHeader() {
  header_dirty_ = false;
  uint8_t h[1024];
  if (!file_->ReadBlock(header_offset_, h, 1024)) return false;
  root_offset_ = Get32(h);
  const int64_t size = file_->KnownSize();
  if (root_offset_ <= 0 || root_offset_ % 512 != 0 || root_offset_ + 512 > size) return false;
  key_length_ = static_cast<int16_t>(Get16(h + 12));
  if (key_length_ < 1 || key_length_ > kMaxKeyLength) return false;
  entry_size_ = static_cast<uint16_t>(key_length_ + 8);
  interior_capacity_ = static_cast<uint16_t>(kInteriorArea / entry_size_);
  options_ = h[14];
  version_counter_ = Get32(h + 8);
  unique_ = (options_ & 0x01) != 0;
  has_for_ = (options_ & 0x08) != 0;
  descending_ = Get16(h + 502) != 0;
  char coll[9] = {};
  std::memcpy(coll, h + 494, 8);
  const std::string c = plat::UpperName(coll);
  collation_ = c == "GENERAL" ? 2 : (c == "MACHINE" ? 1 : 0);
  const char* expr = reinterpret_cast<const char*>(h + 512);
  const size_t expr_len = strnlen(expr, 512);
  if ((options_ & 0x80) == 0 && expr_len == 0) return false;
  if ((options_ & 0x80) != 0) {
    key_type_ = 'C';
    return true;
  }
  key_expr_.assign(expr, expr_len);
  if (has_for_ && expr_len + 1 < 512) for_expr_.assign(expr + expr_len + 1, strnlen(expr + expr_len + 1, 511 - expr_len));
  key_type_ = key_length_ == 8 ? 'N' : 'C';
  // Without a table (listing a file's tags) the expressions are only text.
  if (Table() == nullptr) return true;
  CompileStoredExpressions([&] { LearnKeyType(); });
  return true;
}

std::vector<int> KTobjCDXTag::KeyFields() const {
  std::vector<int> fields;
  KTO_dBHandler* table = Table();
  if (!key_handler_ || table == nullptr) return fields;
  const std::string names = key_handler_->ListVars(17);
  for (size_t start = 0, semi; (semi = names.find(';', start)) != std::string::npos; start = semi + 1) {
    TktUserDefFieldVar* var = table->NameResolver()->FindFieldVar(names.substr(start, semi - start));
    if (var != nullptr && var->VarClass() == 17) fields.push_back(static_cast<TktlDBFFieldVars*>(var)->FieldNumber());
  }
  return fields;
}

void KTobjCDXTag::LearnKeyType() {
  // The key type follows from what the expression gives for the current
  // record; a tag of 8-byte keys that gives nothing usable is read as
  // binary.
  key_type_ = key_length_ == 8 ? 'N' : 'C';
  null_marker_ = int_key_ = false;
  datetime_field_ = 0;
  nullable_fields_.clear();
  if (!key_handler_) return;
  KTO_dBHandler* table = Table();
  const std::vector<int> fields = KeyFields();
  for (int f : fields)
    if (table->Field(f).null_bit >= 0) nullable_fields_.push_back(f);
  // A key that is one field alone may be stored in that field type's form.
  const DbfField* single =
      fields.size() == 1 && key_handler_->OperandCount() == 1 ? &table->Field(fields.front()) : nullptr;
  TktExpValue v;
  key_handler_->Evaluate(v);
  int natural = key_length_;  // the key's length without a null marker
  if (single != nullptr && single->type == 'T') {
    key_type_ = 'T';
    datetime_field_ = fields.front();
    natural = 8;
  } else {
    switch (key_handler_->ResultType()) {
      case kExpText:
        key_type_ = 'C';
        natural = single != nullptr && single->type == 'C' ? single->Width()
                  : v.IsText()                           ? static_cast<int>(v.Text().size())
                                                         : key_length_;
        break;
      case kExpLogical:
        key_type_ = 'C';
        natural = 1;
        break;
      case kExpNumber:
        key_type_ = 'N';
        int_key_ = single != nullptr && single->type == 'I' && (key_length_ == 4 || key_length_ == 5);
        natural = int_key_ ? 4 : 8;
        break;
      case kExpDate:
        key_type_ = 'D';
        natural = 8;
        break;
      default: break;
    }
  }
  null_marker_ = !nullable_fields_.empty() && key_length_ == natural + 1;
}

bool KTobjCDXTag::WriteTagHeader() {
  if (!header_dirty_) return true;
  if (unique_) options_ |= 0x01;
  else options_ &= static_cast<uint8_t>(~0x01);
  if (has_for_) options_ |= 0x08;
  else options_ &= static_cast<uint8_t>(~0x08);
  uint8_t h[1024] = {};
  Put32(h, root_offset_);
  Put32(h + 8, version_counter_);
  Put16(h + 12, static_cast<uint32_t>(key_length_));
  h[14] = options_;
  h[15] = 1;
  if (descending_) Put16(h + 502, 1);
  if (!IsDirectory() && collation_ == 2) {
    std::memcpy(h + 494, "GENERAL", 7);
    h[15] = 2;
  }
  const size_t key_len = std::min<size_t>(key_expr_.size(), 500);
  if (key_len > 0) {
    Put16(h + 504, static_cast<uint32_t>(key_len + 1));
    std::memcpy(h + 512, key_expr_.data(), key_len);
  }
  Put16(h + 510, static_cast<uint32_t>(key_len + 1));
  if (has_for_) {
    const size_t for_len = std::min<size_t>(for_expr_.size(), 510 - key_len);
    Put16(h + 506, static_cast<uint32_t>(for_len + 1));
    std::memcpy(h + 512 + key_len + 1, for_expr_.data(), for_len);
  } else {
    Put16(h + 506, 1);
  }
  // The directory header holds the write-in-progress mark (16..23): kept
  // while a change is under way, cleared otherwise.
  auto* cdx = IsDirectory() ? static_cast<KTobjCDXFile*>(file_) : nullptr;
  const bool keep_mark = cdx != nullptr && cdx->HeaderKeepsMark();
  if (keep_mark) std::memcpy(h + KTobjCDXFile::kPendingMarkOffset, KTobjCDXFile::kPendingMark, 8);
  file_->WriteBlock(header_offset_, h, 1024);
  if (cdx != nullptr && header_offset_ == 0) cdx->HeaderWritten(keep_mark);
  header_dirty_ = false;
  return true;
}

int32_t KTobjCDXTag::ReadRootOffset() {
  uint8_t h[4];
  auto where = [this] { return "tag " + name_ + ", header " + std::to_string(header_offset_); };
  if (!file_->ReadBlock(header_offset_, h, 4)) file_->Corrupt(where());
  const int32_t root = Get32(h);
  if (root <= 0 || root % 512 != 0 || (root + 512 > file_->KnownSize() && root + 512 > file_->RefreshSize()))
    file_->Corrupt(where() + " (root " + std::to_string(root) + ")");
  return root;
}

// --- keys -----------------------------------------------------------------

void KTobjCDXTag::NormalizeKey(TktVariant& value, bool trim_blanks) {
  if (collation_ == 2 && key_type_ == 'C' && !IsDirectory())
    throw ETesseraError("Tag " + name_ + " uses the GENERAL collation, which this engine does not support");
  if (!null_marker_) {
    NormalizeValue(value, trim_blanks, key_length_);
    return;
  }
  // A binary value is a stored key already (EvalKey gives them so); any
  // other is a value, which gets the marker of a value. A text searched
  // for stays a text, so that a key that begins with it matches.
  if (value.kind() == VariantKind::kBinary) {
    if (value.size() > key_length_) value.SetSize(key_length_);
    return;
  }
  const bool text = value.kind() == VariantKind::kCharacter && key_type_ == 'C';
  NormalizeValue(value, trim_blanks, key_length_ - 1);
  std::string stored(1, '\x80');
  stored += value.bytes();
  if (text) value.SetText(stored);
  else value.SetBytes(stored.data(), static_cast<int32_t>(stored.size()));
}

void KTobjCDXTag::NormalizeValue(TktVariant& value, bool trim_blanks, int length) {
  if (key_type_ == 'C') {
    // In place: this runs for every record of a build and every search.
    if (value.kind() == VariantKind::kBinary) value.set_kind(VariantKind::kCharacter);
    else if (value.kind() != VariantKind::kCharacter) value.SetText(value.AsText());
    if (trim_blanks) value.TrimRight();
    if (value.size() > length) value.SetSize(length);
    return;
  }
  double number = 0;
  switch (value.kind()) {
    case VariantKind::kBinary: return;  // already in stored form
    case VariantKind::kNumeric:
    case VariantKind::kDate: number = value.AsNumber(); break;
    case VariantKind::kCharacter: {
      std::string text = value.AsText();
      while (!text.empty() && text.back() == ' ') text.pop_back();
      number = key_type_ == 'D'   ? KeyTextDate(*this, text)
               : key_type_ == 'T' ? KeyTextDateTime(*this, text)
                                  : KeyTextNumber(*this, text);
      break;
    }
    case VariantKind::kLogical: number = value.AsBoolean() ? 1 : 0; break;
    case VariantKind::kNone: break;
  }
  const std::string stored = int_key_ ? EncodeVfpInteger(number) : EncodeCdxNumber(number);
  value.SetBytes(stored.data(), static_cast<int32_t>(stored.size()));
}

bool KTobjCDXTag::EvalKey(TktVariant& value, bool* changed) {
  if (!null_marker_ && datetime_field_ == 0) return KTobjIndexTag::EvalKey(value, changed);
  KTO_dBHandler* table = Table();
  if (!key_handler_ || table == nullptr) return false;
  if (changed != nullptr) *changed = true;
  if (null_marker_) {
    for (int f : nullable_fields_) {
      if (!table->IsNull(f)) continue;
      // A null: the marker 0x00 alone (pad bytes after it are not kept),
      // which sorts before every value.
      const uint8_t null_marker = 0;
      value.SetBytes(&null_marker, PadByte() == 0 ? 0 : 1);
      return true;
    }
  }
  if (datetime_field_ != 0) {
    value.SetNumber(VfpDateTimeNumber(table->RecordBytes() + table->Field(datetime_field_).offset));
  } else {
    key_handler_->EvaluateTo(value);
    if (key_handler_->ResultType() == kExpNone) return false;
  }
  if (null_marker_) {
    NormalizeKey(value, true);
    value.set_kind(VariantKind::kBinary);
  }
  return true;
}

std::string_view KTobjCDXTag::KeyValueBytes(const TktVariant& key, bool* null) const {
  std::string_view b = key.bytes();
  const bool is_null = null_marker_ && (b.empty() || b.front() == '\0');
  if (null != nullptr) *null = is_null;
  if (null_marker_ && !b.empty()) b.remove_prefix(1);
  return b;
}

void KTobjCDXTag::CheckMaintainable(const KTobjIndexKeyData& key, bool indexed) {
  if (!Candidate() || !indexed) return;
  // Visual FoxPro refuses a second record with the key of a candidate
  // (primary) tag; so does this engine, before anything is written.
  KTobjIndexKeyData probe;
  probe.CopyFrom(key);
  probe.Reference = kAnyRecord;
  const int32_t found = LookupKey(probe);
  if (found != 0 && found != key.Reference)
    RefuseChange("record " + std::to_string(found) + " has that key already (the tag is a candidate key)");
}

bool KTobjCDXTag::InsertKey(const KTobjIndexKeyData& key) {
  // Interior entries made by splits carry the record number.
  KTobjIndexKeyData k;
  k.CopyFrom(key);
  k.RecordNumber = k.Reference;
  return KTobjIndexTag::InsertKey(k);
}

bool KTobjCDXTag::DefineKey(const std::string& key_expr, bool unique, bool ascending, const std::string& for_expr) {
  KTobjIndexTag::DefineTag(name_, key_expr, unique, ascending, for_expr);
  if (!key_expr.empty()) {
    TktVariant v(256);
    if (!EvalKey(v, nullptr)) return false;
    switch (v.kind()) {
      case VariantKind::kCharacter:
      case VariantKind::kLogical:
        key_type_ = 'C';
        key_length_ = static_cast<int16_t>(v.kind() == VariantKind::kLogical ? 1 : v.size());
        break;
      case VariantKind::kNumeric:
        key_type_ = 'N';
        key_length_ = 8;
        break;
      case VariantKind::kDate:
        key_type_ = 'D';
        key_length_ = 8;
        break;
      default: return false;
    }
    if (key_length_ < 1 || key_length_ > kMaxKeyLength)
      throw ETesseraError("Key of tag " + name_ + " is " + std::to_string(key_length_) +
                          " bytes long; a compound index key holds 1 to 240 bytes");
  } else {
    key_type_ = 'C';
    key_length_ = 10;
  }
  entry_size_ = static_cast<uint16_t>(key_length_ + 8);
  interior_capacity_ = static_cast<uint16_t>(kInteriorArea / entry_size_);
  return true;
}

bool KTobjCDXTag::DefineTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                            const std::string& for_expr) {
  (void)name;
  if (!DefineKey(key_expr, unique, ascending, for_expr)) return false;
  const uint8_t zeros[1024] = {};
  file_->WriteBlock(header_offset_, zeros, 1024);
  BuildTag();
  return true;
}

bool KTobjCDXTag::DefineTagWithKeys(const std::string& key_expr, bool unique, bool ascending,
                                    const std::string& for_expr, KTobjSortCDX& keys) {
  if (!DefineKey(key_expr, unique, ascending, for_expr)) return false;
  // The stand-in took its definition from the same record.
  if (keys.KeyLength() != key_length_ || keys.Unique() != unique_)
    throw ETesseraError("The keys gathered for tag " + name_ + " do not fit its definition");
  const uint8_t zeros[1024] = {};
  file_->WriteBlock(header_offset_, zeros, 1024);
  BuildTag(&keys);
  return true;
}

// --- nodes ------------------------------------------------------------------

KTobjCDXTag::Packing KTobjCDXTag::PackingFor(int key_length, int64_t max_record, bool cap_at_31_bits) {
  Packing p{};
  const int bits = std::bit_width(static_cast<unsigned>(key_length));
  p.duplicate_bits = p.trailing_bits = static_cast<uint8_t>(bits);
  p.duplicate_mask = p.trailing_mask = static_cast<uint8_t>((1u << bits) - 1);
  p.record_bits = static_cast<uint8_t>(24 - 2 * bits);
  p.entry_bytes = 3;
  uint64_t mask = (uint64_t{1} << p.record_bits) - 1;
  while (mask < static_cast<uint64_t>(max_record)) {
    ++p.entry_bytes;
    if (cap_at_31_bits && (mask & (1u << 23))) {
      mask = 0x7FFFFFFF;
      p.record_bits = 31;
      break;
    }
    p.record_bits = static_cast<uint8_t>(p.record_bits + 8);
    mask = mask * 256 + 255;
    if (mask >= 0xFFFFFFFF) {
      mask = 0xFFFFFFFF;
      p.record_bits = 32;
      break;
    }
  }
  p.record_mask = static_cast<uint32_t>(mask);
  return p;
}

bool KTobjCDXTag::LoadNode(int32_t offset, KTobjIndexKey& node) {
  // Every value read here comes from the file and is checked before use.
  if (offset <= 0 || offset % 512 != 0) return false;
  if (offset + 512 > file_->KnownSize() && offset + 512 > file_->RefreshSize()) return false;
  uint8_t b[512];
  if (!file_->ReadBlock(offset, b, 512)) return false;
  const uint16_t attributes = Get16(b);
  const int count = Get16(b + 2);
  if (!ValidAttributes(attributes)) return false;
  node.offset = offset;
  node.left = Get32(b + 4);
  node.right = Get32(b + 8);
  node.kind = IsLeafAttributes(attributes) ? KTobjIndexKey::kLeaf : KTobjIndexKey::kInterior;
  // The node's entry objects are reused for the node read into it (a clean
  // node object takes one node after another as a walk moves on).
  const size_t reusable = node.Count();
  auto entry_at = [&node, reusable](int i) -> KTobjIndexKeyData& {
    if (static_cast<size_t>(i) >= reusable) node.Add(std::make_unique<KTobjIndexKeyData>());
    return *node.Entry(i);
  };
  const int L = key_length_;
  const bool character = TextEntries();
  if (node.IsLeaf()) {
    cdx_leaf::Decoder dec;
    dec.Start(b, L, PadByte());
    const cdx_leaf::Packing& p = dec.LeafPacking();
    node.free_space = dec.FreeBytes();
    node.record_mask = p.record_mask;
    node.duplicate_mask = p.duplicate_mask;
    node.trailing_mask = p.trailing_mask;
    node.record_bits = p.record_bits;
    node.duplicate_bits = p.duplicate_bits;
    node.trailing_bits = p.trailing_bits;
    node.entry_bytes = p.entry_bytes;
    if (count > 0 && !dec.Valid()) return false;
    for (int i = 0; i < count; ++i) {
      if (!dec.Next(i)) return false;
      KTobjIndexKeyData& entry = entry_at(i);
      const uint8_t* key = dec.Key();
      if (character) entry.SetText(std::string_view(reinterpret_cast<const char*>(key), static_cast<size_t>(dec.length)));
      else entry.SetBytes(key, dec.length);
      entry.RecordNumber = entry.Reference = dec.rec;
    }
    if (count > 0 && !dec.FreeAgrees()) return false;
  } else {
    if (count > interior_capacity_) return false;
    for (int i = 0; i < count; ++i) {
      const uint8_t* e = b + 12 + i * entry_size_;
      int length = L;
      while (length > 0 && e[length - 1] == PadByte()) --length;
      KTobjIndexKeyData& entry = entry_at(i);
      if (character) entry.SetText(std::string_view(reinterpret_cast<const char*>(e), static_cast<size_t>(length)));
      else entry.SetBytes(e, length);
      entry.RecordNumber = GetBE32(e + L);
      entry.Reference = GetBE32(e + L + 4);
      if (entry.Reference <= 0 || entry.Reference % 512 != 0) return false;
    }
  }
  while (node.Count() > static_cast<size_t>(count)) node.Delete(node.Count() - 1);
  node.position = -1;
  return true;
}

bool KTobjCDXTag::ReadStoredNode(int32_t offset, int depth, uint8_t* b) {
  if (depth > 64 || offset <= 0 || offset % 512 != 0 || offset + 512 > file_->KnownSize()) return false;
  if (!file_->ReadBlock(offset, b, 512)) return false;
  return ValidAttributes(Get16(b)) && Get16(b + 2) != 0;
}

std::optional<KTobjCDXTag::StoredNode> KTobjCDXTag::EnterStoredNode(int32_t offset, int depth, uint8_t* b,
                                                                    std::vector<PathStep>& path) {
  if (!ReadStoredNode(offset, depth, b)) return std::nullopt;
  path.push_back({offset, 0});
  return StoredNode{path.size() - 1, Get16(b + 2), IsLeafAttributes(Get16(b))};
}

int KTobjCDXTag::SearchInPlace(const KTobjIndexKeyData& target, int partial, std::vector<PathStep>& path,
                               KTobjIndexKeyData& found) {
  path.clear();
  const int r = SearchNodeInPlace(ReadRootOffset(), target, partial, path, found, 0);
  return r == 1 ? 2 : r;
}

// Reads the node image from the block cache and decodes only what the
// search needs: interior entries have a fixed width and are searched by
// halves; leaf entries are decoded in order (each shares bytes with the one
// before it) up to the first key that is not below the target. Every value
// read from the file is checked as LoadNode checks it; anything that does
// not look right leaves the decision (and the report) to the tree search.
int KTobjCDXTag::SearchNodeInPlace(int32_t offset, const KTobjIndexKeyData& target, int partial,
                                   std::vector<PathStep>& path, KTobjIndexKeyData& found, int depth) {
  uint8_t b[512];
  const auto node = EnterStoredNode(offset, depth, b, path);
  if (!node) return 2;
  const int count = node->count;
  const size_t at = node->at;
  const int L = key_length_;
  const bool character = TextEntries();
  const uint8_t pad = PadByte();
  auto set_probe = [&](const uint8_t* bytes, int length) {
    if (character) probe_.SetText(std::string_view(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length)));
    else probe_.SetBytes(bytes, length);
  };
  // A character or binary target against character entries compares their
  // bytes where they lie; any other pairing goes through the variants.
  const bool direct =
      character && (target.kind() == VariantKind::kCharacter || target.kind() == VariantKind::kBinary);
  auto compare = [&](const uint8_t* e, int length) {
    if (direct) {
      const int r = CompareKeyText(
          target.bytes(), std::string_view(reinterpret_cast<const char*>(e), static_cast<size_t>(length)), partial);
      return ReverseCompare() ? -r : r;
    }
    set_probe(e, length);
    return CompareKeys(target, probe_, partial);
  };
  if (!node->leaf) {
    return DescendInterior(b, count, at, path, compare, [&](int32_t child) {
      return SearchNodeInPlace(child, target, partial, path, found, depth + 1);
    });
  }
  cdx_leaf::Decoder dec;
  dec.Start(b, L, pad);
  if (!dec.Valid()) return 2;
  for (int i = 0; i < count; ++i) {
    if (!dec.Next(i)) return 2;
    const int r = compare(dec.Key(), dec.length);
    if (r <= 0) {
      path[at].position = i;
      set_probe(dec.Key(), dec.length);
      found.Assign(&probe_);
      found.RecordNumber = found.Reference = dec.rec;
      return r;
    }
  }
  return 1;
}

// --- steps over the stored nodes ---------------------------------------------

namespace {
// Keys before a leaf's end at which a step decodes the next leaf: more than
// a walk's record fetches look ahead (the table's kReadAhead + kFetchBatch).
constexpr int kNeighbourAhead = 24;
}  // namespace

bool KTobjCDXTag::DecodeLeafAt(int32_t offset, StepLeaf& into) {
  into.offset = 0;
  if (offset <= 0 || offset % 512 != 0 || offset + 512 > file_->KnownSize()) return false;
  uint8_t b[512];
  if (!file_->ReadBlock(offset, b, 512)) return false;
  // A block that is no sound leaf is left to the tree logic, which reports
  // it.
  const uint16_t attributes = Get16(b);
  if (!ValidAttributes(attributes) || !IsLeafAttributes(attributes) || !DecodeLeaf(b, into.leaf)) return false;
  into.offset = offset;
  into.generation = file_->CacheGeneration();
  into.writes = file_->WriteCount();
  into.left = Get32(b + 4);
  into.right = Get32(b + 8);
  return true;
}

bool KTobjCDXTag::NeighbourCurrent() const {
  return next_leaf_.offset != 0 && next_leaf_.generation == file_->CacheGeneration() &&
         next_leaf_.writes == file_->WriteCount();
}

bool KTobjCDXTag::DecodeStepLeaf(int32_t offset) {
  neighbour_tried_ = 0;
  if (offset != 0 && next_leaf_.offset == offset && NeighbourCurrent()) {
    // The leaf was decoded ahead of the step that reaches it: the same
    // block under the same generation, with no write since.
    // The walk's direction stays the step's, not the one the neighbour
    // was last stepped in.
    const bool forward = step_leaf_.forward;
    std::swap(step_leaf_, next_leaf_);
    step_leaf_.forward = forward;
    next_leaf_.offset = 0;
    return true;
  }
  return DecodeLeafAt(offset, step_leaf_);
}

void KTobjCDXTag::DecodeNeighbourAhead() {
  const StepLeaf& s = step_leaf_;
  const int32_t link = s.forward ? s.right : s.left;
  if (link <= 0 || link == neighbour_tried_) return;
  neighbour_tried_ = link;
  // Only a leaf, which DecodeLeafAt checks; one that is not sound leaves
  // next_leaf_ empty and the step onto it to the path.
  DecodeLeafAt(link, next_leaf_);
}

void KTobjCDXTag::SetStepKey(int i, KTobjIndexKeyData& key) const {
  const std::string_view value = step_leaf_.leaf.Value(static_cast<size_t>(i));
  if (TextEntries()) key.SetText(value);
  else key.SetBytes(reinterpret_cast<const uint8_t*>(value.data()), static_cast<int>(value.size()));
  key.RecordNumber = key.Reference = step_leaf_.leaf.entries[static_cast<size_t>(i)].rec;
}

bool KTobjCDXTag::DescendInPlace(int32_t offset, bool forward, std::vector<PathStep>& path, int depth) {
  for (;; ++depth) {
    uint8_t b[512];
    if (!ReadStoredNode(offset, depth, b)) return false;
    const uint16_t attributes = Get16(b);
    const int count = Get16(b + 2);
    if (IsLeafAttributes(attributes)) {
      if (!DecodeStepLeaf(offset)) return false;
      path.push_back({offset, forward ? 0 : step_leaf_.leaf.Count() - 1});
      return true;
    }
    if (count > interior_capacity_) return false;
    const int p = forward ? 0 : count - 1;
    path.push_back({offset, p});
    offset = GetBE32(b + 12 + p * entry_size_ + key_length_ + 4);
  }
}

int32_t KTobjCDXTag::RecordAhead(int n) const {
  const StepLeaf& s = step_leaf_;
  if (s.offset == 0 || !path_pending_ || pending_path_.empty() || pending_path_.back().offset != s.offset ||
      pending_path_.back().position != s.position)
    return 0;
  const int i = s.position + (s.forward ? n : -n);
  if (i >= 0 && i < s.leaf.Count()) return s.leaf.entries[static_cast<size_t>(i)].rec;
  // Past the leaf's end: in the neighbour decoded ahead, when it is the
  // one the link names.
  const StepLeaf& x = next_leaf_;
  if (x.offset == 0 || x.offset != (s.forward ? s.right : s.left) || !NeighbourCurrent()) return 0;
  const int j = s.forward ? i - s.leaf.Count() : x.leaf.Count() + i;
  return j >= 0 && j < x.leaf.Count() ? x.leaf.entries[static_cast<size_t>(j)].rec : 0;
}

void KTobjCDXTag::RecordsAhead(int count, int32_t* out) const {
  const StepLeaf& s = step_leaf_;
  int i = 1;
  if (s.offset != 0 && path_pending_ && !pending_path_.empty() && pending_path_.back().offset == s.offset &&
      pending_path_.back().position == s.position) {
    // The keys of the step's own leaf straight from its entries; past its
    // end RecordAhead looks into the neighbour.
    const int in_leaf = s.forward ? s.leaf.Count() - 1 - s.position : s.position;
    const int direction = s.forward ? 1 : -1;
    for (; i <= count && i <= in_leaf; ++i)
      out[i - 1] = s.leaf.entries[static_cast<size_t>(s.position + direction * i)].rec;
  }
  for (; i <= count; ++i) out[i - 1] = RecordAhead(i);
}

// A step from the leaf at the end of the path: inside the leaf an index
// moves over the decoded keys; past its end the path goes up to the first
// node with an entry further on and down that entry's first (or last)
// keys, as KTobjIndexKey::StepNext and StepPrior do over node objects.
int KTobjCDXTag::StepInPlace(bool forward, std::vector<PathStep>& path, KTobjIndexKeyData& current) {
  if (path.empty() || IsDirectory()) return 2;
  PathStep& leaf = path.back();
  StepLeaf& s = step_leaf_;
  if (s.offset != leaf.offset || s.generation != file_->CacheGeneration() || s.writes != file_->WriteCount()) {
    if (!DecodeStepLeaf(leaf.offset)) return 2;
  }
  if (leaf.position < 0 || leaf.position >= s.leaf.Count()) return 2;
  const int next = leaf.position + (forward ? 1 : -1);
  s.forward = forward;
  if (next >= 0 && next < s.leaf.Count()) {
    leaf.position = s.position = next;
    SetStepKey(next, current);
    // Within a walk's look-ahead of the leaf's end: the next leaf is
    // decoded now (once), while the records of this one are still read.
    if ((forward ? s.leaf.Count() - 1 - next : next) < kNeighbourAhead) DecodeNeighbourAhead();
    return 1;
  }
  // Up to the lowest node that has an entry that way.
  for (size_t level = path.size() - 1; level-- > 0;) {
    const int32_t offset = path[level].offset;
    if (offset <= 0 || offset % 512 != 0 || offset + 512 > file_->KnownSize()) return 2;
    uint8_t b[512];
    if (!file_->ReadBlock(offset, b, 512)) return 2;
    const int count = Get16(b + 2);
    if (!ValidAttributes(Get16(b)) || IsLeafAttributes(Get16(b)) || count == 0 || count > interior_capacity_) return 2;
    const int p = path[level].position + (forward ? 1 : -1);
    if (p < 0 || p >= count) continue;
    std::vector<PathStep> moved(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(level) + 1);
    moved.back().position = p;
    const int32_t child = GetBE32(b + 12 + p * entry_size_ + key_length_ + 4);
    if (!DescendInPlace(child, forward, moved, static_cast<int>(level) + 1)) {
      s.offset = 0;
      return 2;
    }
    path = std::move(moved);
    s.position = path.back().position;
    SetStepKey(s.position, current);
    return 1;
  }
  return 0;
}

int KTobjCDXTag::LeafBytes(const KTobjIndexKey& node, int32_t first, int32_t last, const Packing& p) const {
  int total = 0;
  std::string_view previous;
  for (int32_t i = first; i < last; ++i) {
    const std::string_view k = node.Entry(i)->bytes();
    const size_t d = i == first ? 0 : CommonPrefix(previous, k);
    total += p.entry_bytes + static_cast<int>(k.size() - d);
    previous = k;
  }
  return total;
}

int KTobjCDXTag::PackLeaf(const KTobjIndexKey& node, int32_t first, int32_t last, const Packing& p,
                          uint8_t* image) const {
  cdx_leaf::Encoder enc;
  enc.Start(p, key_length_, image);
  std::string_view previous;
  for (int32_t i = first; i < last; ++i) {
    const std::string_view k = node.Entry(i)->bytes().substr(0, static_cast<size_t>(key_length_));
    enc.Add(k, i == first ? 0 : CommonPrefix(previous, k), node.Entry(i)->Reference);
    previous = k;
  }
  return enc.Free();
}

void KTobjCDXTag::LinkLeftPart(KTobjIndexKey& node, int32_t new_offset, const KTobjIndexKeyData& last_key,
                               uint8_t* image) {
  KTobjIndexKeyData separator;
  separator.CopyFrom(last_key);
  separator.Reference = new_offset;
  node.InsertSeparator(separator);  // may give the node a new block (GrowRoot)
  Put32(image + 4, node.left);
  Put32(image + 8, node.offset);
  file_->WriteBlock(new_offset, image, 512);
  if (node.left > 0) {
    uint8_t neighbour[512];
    if (!file_->ReadBlock(node.left, neighbour, 512))
      file_->Corrupt("tag " + name_ + ", node " + std::to_string(node.left));
    Put32(neighbour + 8, new_offset);
    file_->WriteBlock(node.left, neighbour, 512);
  }
  node.left = new_offset;
}

void KTobjCDXTag::WriteLeaf(KTobjIndexKey& node) {
  int64_t max_record = MaxRecordNumber();
  for (int32_t i = 0; i < node.Size(); ++i) max_record = std::max<int64_t>(max_record, node.Entry(i)->Reference);
  const Packing p = PackingFor(key_length_, max_record);
  uint8_t image[512];
  int32_t first = 0;
  // Split off parts from the front until the rest fits (a leaf can hold
  // more than two leaves' worth of keys after many inserts).
  while (LeafBytes(node, first, node.Size(), p) >= kLeafArea) {
    int32_t end = first;
    int total = 0;
    std::string_view previous;
    while (end < node.Size()) {
      const std::string_view k = node.Entry(end)->bytes();
      const int need = p.entry_bytes + static_cast<int>(k.size() - (end == first ? 0 : CommonPrefix(previous, k)));
      if (total + need >= 250 && end > first) break;
      total += need;
      previous = k;
      ++end;
    }
    std::memset(image, 0, sizeof image);
    Put16(image, 2);
    PackLeaf(node, first, end, p, image);
    const int32_t new_offset = file_->AllocateNode();
    LinkLeftPart(node, new_offset, *node.Entry(end - 1), image);
    first = end;
  }
  std::memset(image, 0, sizeof image);
  Put16(image, node.parent == nullptr ? 3 : 2);
  Put32(image + 4, node.left);
  Put32(image + 8, node.right);
  const int free = PackLeaf(node, first, node.Size(), p, image);
  node.free_space = static_cast<uint16_t>(free);
  node.record_mask = p.record_mask;
  node.entry_bytes = p.entry_bytes;
  file_->WriteBlock(node.offset, image, 512);
  KeepRightPart(node, first);
}

void KTobjCDXTag::KeepRightPart(KTobjIndexKey& node, int32_t first) {
  if (first == 0) return;
  // An interior node whose open child went to the left part would leave
  // that child unlinked: such a tree is read again (the split mark stays).
  if (!node.IsLeaf() && node.Child() != nullptr && node.position < first) return;
  for (int32_t i = 0; i < first; ++i) node.Delete(0);
  if (node.position >= 0) node.position = std::max(0, node.position - first);
  node.split = false;
  reposition_ = true;
}

int KTobjCDXTag::InteriorPart(int remaining, int changed) const {
  const int part = std::min<int>(interior_capacity_, remaining - remaining / 2);
  // Two entries to a node (keys of 159 bytes and more): three split 2 + 1
  // or 1 + 2, and one side is full. When the node's first child split, the
  // part in front takes one entry: keys that keep coming in front (records
  // added in falling key order) then find room there, instead of splitting
  // every level up to the root on every other insert, which adds a level
  // to the tree each time.
  if (part == interior_capacity_ && remaining == part + 1 && changed >= 0 && changed < part) return part - 1;
  return part;
}

void KTobjCDXTag::WriteInterior(KTobjIndexKey& node) {
  const int L = key_length_;
  auto fill = [&](uint8_t* image, int32_t first, int32_t last) {
    std::memset(image + 12, PadByte(), kInteriorArea);
    int count = 0;
    for (int32_t i = first; i < last; ++i, ++count) {
      const KTobjIndexKeyData& e = *node.Entry(i);
      uint8_t* p = image + 12 + count * entry_size_;
      std::memset(p, PadByte(), static_cast<size_t>(L));
      std::memcpy(p, e.data(), static_cast<size_t>(std::min<int32_t>(e.size(), L)));
      PutBE32(p + L, e.RecordNumber);
      PutBE32(p + L + 4, e.Reference);
    }
    Put16(image + 2, static_cast<uint32_t>(count));
  };
  uint8_t image[512];
  int32_t first = 0;
  while (node.Size() - first > interior_capacity_) {
    const int32_t remaining = node.Size() - first;
    const int32_t part = InteriorPart(remaining, node.position - first);
    std::memset(image, 0, sizeof image);
    fill(image, first, first + part);
    const int32_t new_offset = file_->AllocateNode();
    LinkLeftPart(node, new_offset, *node.Entry(first + part - 1), image);
    first += part;
  }
  std::memset(image, 0, sizeof image);
  Put16(image, node.parent == nullptr ? 1 : 0);
  Put32(image + 4, node.left);
  Put32(image + 8, node.right);
  fill(image, first, node.Size());
  file_->WriteBlock(node.offset, image, 512);
  KeepRightPart(node, first);
}

void KTobjCDXTag::UnlinkNode(const KTobjIndexKey& node) {
  // Bytes 4-7 of a node are its left neighbour, 8-11 its right one (-1:
  // none).
  auto relink = [&](int32_t neighbour, int at, int32_t to) {
    if (neighbour <= 0) return;
    uint8_t block[512];
    if (!file_->ReadBlock(neighbour, block, 512))
      file_->Corrupt("tag " + name_ + ", node " + std::to_string(neighbour));
    Put32(block + at, static_cast<uint32_t>(to));
    file_->WriteBlock(neighbour, block, 512);
  };
  // The links as stored: a neighbour's split since the node was read has
  // changed them there.
  int32_t left = node.left, right = node.right;
  uint8_t own[512];
  if (node.offset > 0 && file_->ReadBlock(node.offset, own, 512)) {
    left = static_cast<int32_t>(Get32(own + 4));
    right = static_cast<int32_t>(Get32(own + 8));
  }
  relink(left, 8, right);
  relink(right, 4, left);
}

bool KTobjCDXTag::StoreNode(KTobjIndexKey& node) {
  ForgetFlatLeaf();
  if (node.removed) {
    UnlinkNode(node);
    return true;
  }
  if (node.IsLeaf()) WriteLeaf(node);
  else WriteInterior(node);
  return true;
}

void KTobjCDXTag::WriteEmptyRoot() {
  const int32_t offset = file_->AllocateNode();
  root_offset_ = offset;
  const Packing p = PackingFor(key_length_, 0);
  uint8_t image[512] = {};
  Put16(image, 3);
  Put32(image + 4, -1);
  Put32(image + 8, -1);
  KTobjIndexKey none(this, nullptr, 0);
  PackLeaf(none, 0, 0, p, image);
  file_->WriteBlock(offset, image, 512);
}

}  // namespace tessera
