#include "index/mdx_tag.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/byte_order.h"
#include "engine/dbf_date.h"
#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "index/mdx_file.h"
#include "index/key_text.h"
#include "platform/codepage.h"
#include "platform/text_convert.h"

namespace tessera {
namespace {

constexpr double kEmptyDate = 1e100;

using namespace index_bytes;

std::string PackedZero() {
  std::string out(12, '\0');
  out[0] = 0x34;
  out[1] = 0x01;
  return out;
}

}  // namespace

std::string EncodeMdxNumber(double value) {
  if (std::isnan(value) || value == 0) return PackedZero();
  const bool negative = value < 0;
  const double a = std::fabs(value);
  std::string digits;
  int exponent = 0;
  if (std::isinf(a)) {
    digits = "999999999999999";
    exponent = 15;
  } else {
    // d.dddddddddddddde+XX: fifteen significant digits, correctly rounded.
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.14e", a);
    digits.push_back(buf[0]);
    digits.append(buf + 2, 14);
    exponent = std::atoi(std::strchr(buf, 'e') + 1) + 1;
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
    if (exponent > 15) {
      digits = "999999999999999";
      exponent = 15;
    }
  }
  if (exponent < -52 || digits.empty()) return PackedZero();
  if (digits.size() % 2 != 0) digits.push_back('0');
  std::string out(12, '\0');
  out[0] = static_cast<char>(exponent + 52);
  out[1] = static_cast<char>((digits.size() * 4 + 1) | (negative ? 0x80 : 0));
  for (size_t i = 0; i < digits.size(); ++i) {
    const auto d = static_cast<uint8_t>(digits[i] - '0');
    out[2 + i / 2] = static_cast<char>(static_cast<uint8_t>(out[2 + i / 2]) | (i % 2 == 0 ? d << 4 : d));
  }
  return out;
}

double DecodeMdxNumber(const uint8_t* stored) {
  const int exponent = static_cast<int>(stored[0]) - 52;
  int count = (stored[1] & 0x7F) >> 2;
  if (count > 20) count = 20;
  if (count == 0) return 0;
  // The digits as an integer times 10^(exponent - count), read by strtod so
  // that the result is the double nearest the decimal.
  char buf[48];
  int n = 0;
  for (int i = 0; i < count; ++i) {
    const uint8_t byte = stored[2 + i / 2];
    const int d = i % 2 == 0 ? byte >> 4 : byte & 0x0F;
    buf[n++] = static_cast<char>('0' + (d > 9 ? 9 : d));
  }
  std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "e%d", exponent - count);
  const double v = std::strtod(buf, nullptr);
  return (stored[1] & 0x80) != 0 ? -v : v;
}

int KTobjMDXTag::CapacityFor(int block_bytes, int entry_size) { return (block_bytes - 12) / entry_size; }

int64_t KTobjMDXTag::NodeBytes(int max_keys, int entry_size) {
  return 8 + static_cast<int64_t>(max_keys) * entry_size + 4;
}

KTobjMDXTag::KTobjMDXTag(KTobjMDXFile* file, int32_t header_page, std::string_view name) : KTobjIndexTag(file) {
  name_ = plat::UpperText(name);
  block_bytes_ = file->BlockBytes();
  if (header_page < 0) {
    header_offset_ = file->AllocateNode();
    header_dirty_ = true;
  } else {
    header_offset_ = header_page;
    valid_ = ReadTagHeader();
  }
}

KTobjMDXTag::KTobjMDXTag(KTobjMDXFile* file, std::string_view name, StandIn) : KTobjIndexTag(file) {
  name_ = plat::UpperText(name);
  block_bytes_ = file->BlockBytes();
}

KTobjMDXTag::~KTobjMDXTag() {
  ReleaseTreeQuietly();
}

KTobjMDXFile* KTobjMDXTag::mdx() const { return static_cast<KTobjMDXFile*>(file_); }

void KTobjMDXTag::NoteAllocated(int32_t page) {
  if (first_node_page_ == 0) first_node_page_ = static_cast<uint32_t>(page);
  last_node_page_ = static_cast<uint32_t>(page);
  header_dirty_ = true;
}

// --- header -------------------------------------------------------------

bool KTobjMDXTag::ReadTagHeader() {
  header_dirty_ = false;
  std::vector<uint8_t> h(static_cast<size_t>(block_bytes_));
  if (!file_->ReadBlock(header_offset_, h.data(), block_bytes_)) return false;
  root_offset_ = Get32(h.data());
  if (!mdx()->ValidBlockPage(root_offset_)) return false;
  key_type_ = static_cast<char>(h[9]);
  key_length_ = static_cast<int16_t>(bytes::GetLE16(h.data() + 12));
  const int max_keys = bytes::GetLE16(h.data() + 14);
  entry_size_ = bytes::GetLE16(h.data() + 18);
  if (key_type_ != 'C' && key_type_ != 'N' && key_type_ != 'D') return false;
  if ((key_type_ == 'N' && key_length_ != 12) || (key_type_ == 'D' && key_length_ != 8)) return false;
  if (key_length_ < 1 || key_length_ > kMaxKeyLength || entry_size_ < key_length_ + 4) return false;
  // A full node must fit its block: the 8-byte node header, max entries
  // and the number field of entry max (a leaf's 0 or an interior node's
  // rightmost child), as dBase sizes its nodes.
  if (max_keys < 1 || NodeBytes(max_keys, entry_size_) > block_bytes_) return false;
  interior_capacity_ = static_cast<uint16_t>(max_keys);
  unique_ = h[23] != 0 || (h[8] & 0x40) != 0;
  reverse_compare_ = (h[8] & 0x08) != 0;
  descending_ = reverse_compare_;
  first_node_page_ = bytes::GetLE32(h.data() + 248);
  last_node_page_ = bytes::GetLE32(h.data() + 252);
  const char* expr = reinterpret_cast<const char*>(h.data() + 24);
  const size_t expr_len = strnlen(expr, kMaxKeyExpression + 1);
  if (expr_len == 0 || expr_len > kMaxKeyExpression) return false;
  key_expr_.assign(expr, expr_len);
  has_for_ = h[245] != 0;
  for_expr_.clear();
  if (has_for_) {
    if (block_bytes_ <= 763) return false;
    const char* f = reinterpret_cast<const char*>(h.data() + 762);
    for_expr_.assign(f, strnlen(f, static_cast<size_t>(block_bytes_ - 763)));
    if (for_expr_.empty()) has_for_ = false;
  }
  // Without a table (listing a file's tags) the expressions are only text.
  if (Table() == nullptr) return true;
  // The key evaluated once tells whether this engine can compute it.
  CompileStoredExpressions([&] {
    TktVariant v(256);
    KTobjIndexTag::EvalKey(v, nullptr);
  });
  return true;
}

bool KTobjMDXTag::WriteTagHeader() {
  if (!header_dirty_) return true;
  std::vector<uint8_t> h(static_cast<size_t>(block_bytes_), 0);
  Put32(h.data(), root_offset_);
  h[8] = static_cast<uint8_t>(0x10 | (reverse_compare_ ? 0x08 : 0) | (unique_ ? 0x40 : 0));
  h[9] = static_cast<uint8_t>(key_type_);
  Put16(h.data() + 12, static_cast<uint32_t>(key_length_));
  Put16(h.data() + 14, interior_capacity_);
  Put16(h.data() + 18, entry_size_);
  h[23] = unique_ ? 0x40 : 0;
  std::memcpy(h.data() + 24, key_expr_.data(), std::min<size_t>(key_expr_.size(), kMaxKeyExpression));
  h[246] = 1;
  Put32(h.data() + 248, static_cast<int32_t>(first_node_page_));
  Put32(h.data() + 252, static_cast<int32_t>(last_node_page_));
  if (has_for_) {
    h[245] = 1;
    std::memcpy(h.data() + 762, for_expr_.data(),
                std::min<size_t>(for_expr_.size(), static_cast<size_t>(block_bytes_ - 763)));
  }
  file_->WriteBlock(header_offset_, h.data(), block_bytes_);
  header_dirty_ = false;
  return true;
}

void KTobjMDXTag::ReloadHeaderState() {
  // Bytes 0..3 the root page, 248..255 the first and last node pages. The
  // whole block is read (one read): a split rewrites it.
  header_scratch_.resize(static_cast<size_t>(block_bytes_));
  const uint8_t* h = header_scratch_.data();
  if (!file_->ReadBlock(header_offset_, header_scratch_.data(), block_bytes_)) file_->Corrupt("tag " + name_);
  const int32_t root = Get32(h);
  if (!mdx()->ValidBlockPage(root)) file_->Corrupt("tag " + name_);
  root_offset_ = root;
  first_node_page_ = bytes::GetLE32(h + 248);
  last_node_page_ = bytes::GetLE32(h + 252);
}

int32_t KTobjMDXTag::ReadRootOffset() {
  uint8_t h[4];
  if (!file_->ReadBlock(header_offset_, h, 4)) file_->Corrupt();
  const int32_t root = Get32(h);
  if (!mdx()->ValidBlockPage(root)) file_->Corrupt();
  return root;
}

// --- keys -----------------------------------------------------------------

void KTobjMDXTag::NormalizeKey(TktVariant& value, bool trim_blanks) {
  if (key_type_ == 'C') {
    std::string text = value.kind() == VariantKind::kCharacter || value.kind() == VariantKind::kBinary
                           ? std::string(value.bytes())
                           : value.AsText();
    if (trim_blanks)
      while (!text.empty() && text.back() == ' ') text.pop_back();
    if (static_cast<int>(text.size()) > key_length_) text.resize(static_cast<size_t>(key_length_));
    value.SetText(text);
    return;
  }
  double number = 0;
  switch (value.kind()) {
    case VariantKind::kNumeric: number = value.AsNumber(); break;
    case VariantKind::kDate: number = value.AsDayNumber(); break;
    case VariantKind::kCharacter:
    case VariantKind::kBinary: {
      std::string text(value.bytes());
      while (!text.empty() && text.back() == ' ') text.pop_back();
      number = key_type_ == 'D' ? KeyTextDate(*this, text) : KeyTextNumber(*this, text);
      break;
    }
    case VariantKind::kLogical: number = value.AsBoolean() ? 1 : 0; break;
    case VariantKind::kNone: break;
  }
  if (key_type_ == 'D') {
    value.SetNumber(number < 0.1 ? kEmptyDate : number);
    return;
  }
  const std::string packed = EncodeMdxNumber(number);
  value.SetNumber(DecodeMdxNumber(reinterpret_cast<const uint8_t*>(packed.data())));
}

std::string KTobjMDXTag::StoredKey(const TktVariant& key) const {
  if (key_type_ == 'C') {
    std::string k(key.bytes().substr(0, static_cast<size_t>(key_length_)));
    k.resize(static_cast<size_t>(key_length_), ' ');
    return k;
  }
  const double v = key.kind() == VariantKind::kNumeric ? key.AsNumber() : 0;
  if (key_type_ == 'D') {
    std::string k(8, '\0');
    bytes::PutLEDouble(reinterpret_cast<uint8_t*>(k.data()), v);
    return k;
  }
  return EncodeMdxNumber(v);
}

bool KTobjMDXTag::InsertKey(const KTobjIndexKeyData& key) {
  KTobjIndexKeyData k;
  k.CopyFrom(key);
  k.RecordNumber = 0;
  return KTobjIndexTag::InsertKey(k);
}

bool KTobjMDXTag::DefineTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                            const std::string& for_expr) {
  (void)name;
  if (!DefineKey(key_expr, unique, ascending, for_expr)) return false;
  const std::vector<uint8_t> zeros(static_cast<size_t>(block_bytes_), 0);
  file_->WriteBlock(header_offset_, zeros.data(), block_bytes_);
  BuildTag();
  return true;
}

bool KTobjMDXTag::DefineKey(const std::string& key_expr, bool unique, bool ascending, const std::string& for_expr) {
  if (key_expr.size() > kMaxKeyExpression)
    throw ETesseraError("Key expression of tag " + name_ + " is longer than 220 characters");
  if (!for_expr.empty() && for_expr.size() > static_cast<size_t>(block_bytes_ - 763))
    throw ETesseraError("FOR expression of tag " + name_ + " does not fit the tag header");
  KTobjIndexTag::DefineTag(name_, key_expr, unique, ascending, for_expr);
  reverse_compare_ = !ascending;
  TktVariant v(256);
  if (key_expr.empty() || !EvalKey(v, nullptr)) return false;
  switch (v.kind()) {
    case VariantKind::kCharacter:
    case VariantKind::kLogical:
      key_type_ = 'C';
      key_length_ = static_cast<int16_t>(v.kind() == VariantKind::kLogical ? 1 : std::min<int32_t>(v.size(), 32767));
      break;
    case VariantKind::kNumeric:
      key_type_ = 'N';
      key_length_ = 12;
      break;
    case VariantKind::kDate:
      key_type_ = 'D';
      key_length_ = 8;
      break;
    default: return false;
  }
  if (key_length_ < 1 || key_length_ > kMaxKeyLength)
    throw ETesseraError("Key of tag " + name_ + " is " + std::to_string(key_length_) +
                        " bytes long; a multiple index key holds 1 to 240 bytes");
  entry_size_ = static_cast<uint16_t>((key_length_ + 4 + 3) / 4 * 4);
  interior_capacity_ = static_cast<uint16_t>(CapacityFor(block_bytes_, entry_size_));
  first_node_page_ = last_node_page_ = 0;
  return true;
}

// --- nodes ------------------------------------------------------------------

bool KTobjMDXTag::LoadNode(int32_t page, KTobjIndexKey& node) {
  // Every value read here comes from the file and is checked before use.
  if (!mdx()->ValidBlockPage(page)) return false;
  std::vector<uint8_t> b(static_cast<size_t>(block_bytes_));
  if (!file_->ReadBlock(page, b.data(), block_bytes_)) return false;
  // Up to as many keys as the block holds: the header's maximum is what
  // the writer filled nodes to, which readers need not insist on.
  const int64_t n = bytes::GetLE32(b.data());
  if (n > CapacityFor(block_bytes_, entry_size_)) return false;
  const int32_t E = entry_size_;
  const int32_t last_number = Get32(b.data() + 8 + n * E);
  node.offset = page;
  node.left = Get32(b.data() + 4);
  node.right = -1;
  node.kind = last_number != 0 ? KTobjIndexKey::kInterior : KTobjIndexKey::kLeaf;
  node.FreeAll();
  const int32_t count = static_cast<int32_t>(n) + (node.IsLeaf() ? 0 : 1);
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* e = b.data() + 8 + static_cast<size_t>(i) * static_cast<size_t>(E);
    auto entry = std::make_unique<KTobjIndexKeyData>();
    entry->Reference = Get32(e);
    entry->RecordNumber = 0;
    if (node.IsLeaf() ? entry->Reference < 1 : !mdx()->ValidBlockPage(entry->Reference)) return false;
    if (!node.IsLeaf() && i == n) {
      // The rightmost child has no key of its own; the fixed key never
      // decides a descent (the search always descends into the last
      // entry).
      if (key_type_ == 'C') entry->SetText(reverse_compare_ ? std::string_view() : std::string_view("\xFF", 1));
      else entry->SetNumber(reverse_compare_ ? 1.7e-308 : 1.7e308);
    } else if (key_type_ == 'C') {
      size_t length = static_cast<size_t>(key_length_);
      while (length > 0 && e[4 + length - 1] == ' ') --length;
      entry->SetText(std::string_view(reinterpret_cast<const char*>(e + 4), length));
    } else if (key_type_ == 'D') {
      entry->SetNumber(bytes::GetLEDouble(e + 4));
    } else {
      entry->SetNumber(DecodeMdxNumber(e + 4));
    }
    node.Add(std::move(entry));
  }
  node.position = -1;
  return true;
}

void KTobjMDXTag::FillBlock(const KTobjIndexKey& node, int32_t first, int32_t last, uint8_t* image) const {
  std::memset(image, 0, static_cast<size_t>(block_bytes_));
  const bool interior = !node.IsLeaf();
  for (int32_t i = first; i < last; ++i) {
    uint8_t* e = image + 8 + static_cast<size_t>(i - first) * entry_size_;
    const KTobjIndexKeyData& key = *node.Entry(i);
    Put32(e, key.Reference);
    if (interior && i == last - 1) continue;  // the rightmost child: no key
    const std::string stored = StoredKey(key);
    std::memcpy(e + 4, stored.data(), stored.size());
  }
  Put32(image, (last - first) - (interior ? 1 : 0));
}

bool KTobjMDXTag::StoreNode(KTobjIndexKey& node) {
  std::vector<uint8_t> image(static_cast<size_t>(block_bytes_));
  // A leaf holds up to max keys; an interior node max keys and the
  // rightmost child besides.
  const int32_t max = interior_capacity_ + (node.IsLeaf() ? 0 : 1);
  int32_t first = 0;
  // Split off parts from the front until the rest fits: each part goes to
  // a new block left of the node and is entered in the parent.
  while (node.Size() - first > max) {
    const int32_t remaining = node.Size() - first;
    const int32_t part = std::min(max, remaining - remaining / 2);
    FillBlock(node, first, first + part, image.data());
    Put32(image.data() + 4, static_cast<int32_t>(last_node_page_));
    const int32_t page = file_->AllocateNode();
    NoteAllocated(page);
    KTobjIndexKeyData separator;
    separator.CopyFrom(*node.Entry(first + part - 1));
    separator.Reference = page;
    node.InsertSeparator(separator);  // may give the node a new block (GrowRoot)
    file_->WriteBlock(page, image.data(), block_bytes_);
    first += part;
  }
  FillBlock(node, first, node.Size(), image.data());
  if (node.left < 0) {
    node.left = static_cast<int32_t>(last_node_page_);
    NoteAllocated(node.offset);
  }
  Put32(image.data() + 4, node.left);
  file_->WriteBlock(node.offset, image.data(), block_bytes_);
  return true;
}

void KTobjMDXTag::WriteEmptyRoot() {
  const int32_t page = file_->AllocateNode();
  const std::vector<uint8_t> zeros(static_cast<size_t>(block_bytes_), 0);
  std::vector<uint8_t> image = zeros;
  Put32(image.data() + 4, static_cast<int32_t>(last_node_page_));
  file_->WriteBlock(page, image.data(), block_bytes_);
  NoteAllocated(page);
  root_offset_ = page;
  header_dirty_ = true;
}

}  // namespace tessera
