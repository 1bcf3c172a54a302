#include "tools/sqlite/cursor.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>

#include "engine/byte_order.h"
#include "engine/dbf_date.h"
#include "index/cdx_tag.h"
#include "index/index_key.h"
#include "platform/text_convert.h"

namespace tessera_sql {

using tessera::KTobjIndexKeyData;
using tessera::KTobjIndexTag;
using tessera::TktVariant;
using tessera::VariantKind;

namespace {

// A LIKE prefix is spelled in both cases of this many of its leading
// letters at most; the prefix is cut before the next.
constexpr int kLikeLetters = 6;

// The literal start of a LIKE or GLOB pattern.
std::string PatternPrefix(const std::string& pattern, bool like) {
  const char* wild = like ? "%_" : "*?[";
  return pattern.substr(0, std::min(pattern.find_first_of(wild), pattern.size()));
}

// Every spelling of the leading letters of a stored `prefix` in either
// case. SQLite's LIKE ignores the case of Latin letters; a like() of
// another library (ICU's) ignores that of others too, and LIKE reaches the
// table the same way.
std::vector<std::string> CaseVariants(std::string prefix, const CodePage& page) {
  auto other = [&page](char c) { return static_cast<char>(page.OtherCase(static_cast<uint8_t>(c))); };
  int letters = 0;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (other(prefix[i]) != prefix[i] && ++letters > kLikeLetters) {
      prefix.resize(i);
      break;
    }
  std::vector<std::string> out{prefix};
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (other(prefix[i]) == prefix[i]) continue;
    const size_t n = out.size();
    for (size_t k = 0; k < n; ++k) {
      std::string spelled = out[k];
      spelled[i] = other(spelled[i]);
      out.push_back(std::move(spelled));
    }
  }
  return out;
}

// A key just past every key that is `key` (or, for a prefix, begins with
// it): the tag is sought there when walked backwards. False when there is
// none to name (the walk starts at the bottom).
bool KeyAfter(const TktVariant& key, bool prefix, TktVariant* after) {
  switch (key.kind()) {
    case VariantKind::kCharacter:
    case VariantKind::kBinary: {
      std::string b(key.bytes());
      if (b.empty() && !prefix) {
        // Past the empty key: the least key of one byte.
        b.assign(1, '\0');
        if (key.kind() == VariantKind::kCharacter) after->SetText(b);
        else after->SetBytes(b.data(), 1);
        return true;
      }
      while (!b.empty() && static_cast<unsigned char>(b.back()) == 0xFF) b.pop_back();
      if (b.empty()) return false;
      b.back() = static_cast<char>(static_cast<unsigned char>(b.back()) + 1);
      // Trailing blanks of a character key are dropped when it is sought.
      if (key.kind() == VariantKind::kCharacter && b.back() == ' ') b.back() = '!';
      if (key.kind() == VariantKind::kCharacter) after->SetText(b);
      else after->SetBytes(b.data(), static_cast<int32_t>(b.size()));
      return true;
    }
    case VariantKind::kNumeric:
      after->SetNumber(std::nextafter(key.AsNumber(), HUGE_VAL));
      return true;
    default: return false;
  }
}

std::string TextOf(sqlite3_value* v) {
  const auto* p = sqlite3_value_text(v);
  return p == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_value_bytes(v)));
}

bool NumberOf(sqlite3_value* v, double* d) {
  switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
    case SQLITE_FLOAT: *d = sqlite3_value_double(v); return std::isfinite(*d);
    case SQLITE_TEXT: {
      const std::string t = TextOf(v);
      for (char c : t)
        if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E' || c == ' '))
          return false;
      return plat::TryTextToFloat(t, d) && std::isfinite(*d);
    }
    default: return false;
  }
}

// The key of a date-time tag for a value as the field layer stores it
// (milliseconds counted from the start of day kDayBase): computed from the
// field's bytes, as the tag computes its keys, so that a search finds
// exactly the keys of that value.
double DateTimeKey(double ms) {
  constexpr int64_t kDayBase = 1721425;
  constexpr double kMsPerDay = 86400000.0;
  const double days = std::floor(ms / kMsPerDay);
  uint8_t raw[8];
  tessera::bytes::PutLE32(raw, static_cast<uint32_t>(static_cast<int32_t>(days + kDayBase)));
  tessera::bytes::PutLE32(raw + 4, static_cast<uint32_t>(static_cast<int32_t>(ms - days * kMsPerDay)));
  return tessera::VfpDateTimeNumber(reinterpret_cast<const char*>(raw));
}

}  // namespace

Cursor::Cursor(XbaseTable& table) : table_(table), handle_(table.Acquire()) {}

bool Cursor::Wanted() {
  switch (table_.Options().deleted) {
    case DeletedRecords::kHide: return !handle_->IsDeleted();
    case DeletedRecords::kOnly: return handle_->IsDeleted();
    case DeletedRecords::kShow: break;
  }
  return true;
}

void Cursor::Result(sqlite3_context* ctx, int i) {
  if (i == table_.DeletedColumn()) {
    sqlite3_result_int(ctx, handle_->IsDeleted() ? 1 : 0);
    return;
  }
  ResultColumn(ctx, *handle_, table_.Columns()[static_cast<size_t>(i)], table_.Page(), scratch_);
}

void Cursor::Filter(const ScanPlan& plan, int argc, sqlite3_value** argv) {
  eof_ = true;
  descending_ = plan.descending;
  by_tag_ = plan.tag != 0;
  if (!by_tag_) {
    StartRecords(plan, argc, argv);
    return;
  }
  const TagUse* use = nullptr;
  for (const TagUse& u : table_.Tags())
    if (u.number == plan.tag) use = &u;
  if (use == nullptr) throw std::logic_error("no tag number " + std::to_string(plan.tag));
  ranges_ = RangesFor(*use, plan, argc, argv);
  range_ = 0;
  if (ranges_.empty()) return;
  eof_ = false;
  WalkTag(Position(CurrentRange()));
}

void Cursor::Next() {
  if (eof_) return;
  if (!by_tag_) {
    StepRecords();
    return;
  }
  handle_->RefreshIndexes();
  WalkTag(tag_->Navigate(descending_ ? tessera::kMovePrior : tessera::kMoveNext));
}

// --- record order ------------------------------------------------------------------

void Cursor::StartRecords(const ScanPlan& plan, int argc, sqlite3_value** argv) {
  TableHandle& h = *handle_;
  if (h.MasterTag() != nullptr) h.SelectMasterTag("", true);
  h.RefreshHeader();
  int64_t first = 1, last = h.RecordCount();
  for (int i = 0; i < argc && i < static_cast<int>(plan.ops.size()); ++i) {
    sqlite3_value* v = argv[i];
    if (sqlite3_value_type(v) == SQLITE_NULL) return;  // no row compares with NULL
    double d = 0;
    if (!NumberOf(v, &d)) continue;  // left to SQLite
    d = std::max(-1e18, std::min(1e18, d));
    switch (plan.ops[static_cast<size_t>(i)]) {
      case '=':
        if (d != std::floor(d)) return;
        first = std::max(first, static_cast<int64_t>(d));
        last = std::min(last, static_cast<int64_t>(d));
        break;
      case '>': first = std::max(first, static_cast<int64_t>(std::floor(d)) + 1); break;
      case ']': first = std::max(first, static_cast<int64_t>(std::ceil(d))); break;
      case '<': last = std::min(last, static_cast<int64_t>(std::ceil(d)) - 1); break;
      case '[': last = std::min(last, static_cast<int64_t>(std::floor(d))); break;
      default: break;
    }
  }
  if (first > last) return;
  first_ = static_cast<int32_t>(first);
  last_ = static_cast<int32_t>(last);
  // Backwards the read cache, which reads ahead, would read a block for
  // every record.
  h.SetReadCache(!descending_);
  next_ = descending_ ? last_ : first_;
  eof_ = false;
  h.GotoRecord(next_);  // read afresh: the cache may hold another statement's bytes
  if (!Wanted()) StepRecords();
}

void Cursor::StepRecords() {
  for (;;) {
    next_ += descending_ ? -1 : 1;
    if (next_ < first_ || next_ > last_) {
      eof_ = true;
      return;
    }
    handle_->tessera::KTO_dBaseDBF::GotoRecord(next_);
    if (Wanted()) return;
  }
}

// --- tag order -----------------------------------------------------------------------

const Cursor::Range& Cursor::CurrentRange() const {
  return ranges_[descending_ ? ranges_.size() - 1 - range_ : range_];
}

int32_t Cursor::Position(const Range& r) {
  handle_->RefreshIndexes();
  handle_->ExactKeyOnly = false;
  auto seek = [this](const TktVariant& key) {
    KTobjIndexKeyData k(256);
    k.Assign(&key);
    // The key is in its stored form already, which a search normalizes
    // again: as text, a key with Visual FoxPro's null marker would be
    // taken for a value and get a second marker; as bytes it is taken as
    // stored (and a character tag reads bytes as its text).
    if (k.kind() == VariantKind::kCharacter) k.set_kind(VariantKind::kBinary);
    k.Reference = KTobjIndexTag::kAnyRecord;
    return tag_->Seek(k);
  };
  if (!descending_) {
    if (r.lows.empty()) return tag_->Navigate(tessera::kMoveFirst);
    const TktVariant* low = &r.lows[0];
    for (const TktVariant& l : r.lows)
      if (tag_->CompareKeys(l, *low, -1) > 0) low = &l;
    const int32_t found = seek(*low);
    if (found != 0) return found;
    return tag_->Eof() ? 0 : tag_->Navigate(tessera::kMoveCurrent);
  }
  TktVariant after;
  bool have_after = false;
  for (const Bound& b : r.highs) {
    TktVariant a;
    if (!KeyAfter(b.key, b.prefix, &a)) continue;
    if (!have_after || tag_->CompareKeys(a, after, -1) < 0) after.Assign(&a);
    have_after = true;
  }
  if (!have_after) return tag_->Navigate(tessera::kMoveLast);
  const int32_t found = seek(after);
  if (found == 0 && tag_->Eof()) return tag_->Navigate(tessera::kMoveLast);
  return tag_->Navigate(tessera::kMovePrior);
}

int Cursor::Place(const KTobjIndexKeyData& key) const {
  const Range& r = CurrentRange();
  bool below = false, above = false;
  for (const TktVariant& l : r.lows)
    if (tag_->CompareKeys(l, key, -1) > 0) below = true;
  for (const Bound& h : r.highs)
    if (tag_->CompareKeys(h.key, key, h.prefix ? 0 : -1) < 0) above = true;
  if (!descending_) return below ? -1 : above ? 1 : 0;
  return above ? -1 : below ? 1 : 0;
}

void Cursor::WalkTag(int32_t recno) {
  for (;;) {
    const int place = recno == 0 ? 1 : Place(tag_->CurrentKey());
    if (place > 0) {
      if (++range_ >= ranges_.size()) {
        eof_ = true;
        return;
      }
      recno = Position(CurrentRange());
      continue;
    }
    if (place == 0) {
      handle_->tessera::KTO_dBaseDBF::GotoRecord(recno);
      if (Wanted()) return;
    }
    handle_->RefreshIndexes();
    recno = tag_->Navigate(descending_ ? tessera::kMovePrior : tessera::kMoveNext);
  }
}

std::vector<Cursor::Range> Cursor::RangesFor(const TagUse& use, const ScanPlan& plan, int argc, sqlite3_value** argv) {
  TableHandle& h = *handle_;
  tag_ = h.TagByNumber(use.number);
  if (tag_ == nullptr) throw std::logic_error("no tag number " + std::to_string(use.number));
  if (h.MasterTag() != tag_) h.SelectMasterTag(use.name, false);
  const Column& column = table_.Columns()[static_cast<size_t>(use.column)];
  const CodePage& page = table_.Page();
  auto norm = [this](const std::string& bytes) {
    TktVariant k;
    k.SetText(bytes);
    tag_->NormalizeKey(k, true);
    return k;
  };
  // The key the tag's expression gives with the value in its field (the
  // other fields blank): UPPER() as the engine upper-cases.
  auto evaluated = [&](const std::string& bytes) {
    return h.BuildSearchKey({tessera::FieldValue(bytes)}, tag_->KeyExpression());
  };
  const size_t width = static_cast<size_t>(use.lead_width);
  Range common;
  std::string prefix;
  bool have_prefix = false, like = false;
  for (int i = 0; i < argc && i < static_cast<int>(plan.ops.size()); ++i) {
    sqlite3_value* v = argv[i];
    const char op = plan.ops[static_cast<size_t>(i)];
    if (sqlite3_value_type(v) == SQLITE_NULL) return {};  // no row compares with NULL
    if (use.shape == TagUse::Shape::kLogical) {
      // The column holds 1 and 0: "T" and "F" in the tag.
      double d = 0;
      if (op != '=' || !NumberOf(v, &d)) continue;
      if (d != 0 && d != 1) return {};
      TktVariant k;
      k.SetText(d != 0 ? "T" : "F");
      tag_->NormalizeKey(k, false);
      common.lows.push_back(k);
      common.highs.push_back({k, false});
      continue;
    }
    if (use.shape == TagUse::Shape::kValue) {
      TktVariant k;
      if (column.kind == ColumnKind::kDate) {
        std::string digits;
        if (sqlite3_value_type(v) != SQLITE_TEXT || !ParseDateBound(TextOf(v), &digits)) continue;
        k.SetDayNumber(tessera::EngineDate().DayNumberOf(std::stoi(digits.substr(0, 4)), std::stoi(digits.substr(4, 2)),
                                                         std::stoi(digits.substr(6, 2))));
      } else if (column.kind == ColumnKind::kDateTime) {
        double ms = 0;
        if (sqlite3_value_type(v) != SQLITE_TEXT || !ParseDateTimeBound(TextOf(v), &ms)) continue;
        k.SetNumber(DateTimeKey(ms));
      } else {
        double d = 0;
        if (!NumberOf(v, &d)) continue;
        k.SetNumber(d);
      }
      tag_->NormalizeKey(k, false);
      if (op == '=' || op == '>') common.lows.push_back(k);
      if (op == '=' || op == '<') common.highs.push_back({k, false});
      continue;
    }
    if (sqlite3_value_type(v) == SQLITE_BLOB) continue;
    std::string enc;
    if (!page.Encode(TextOf(v), enc)) continue;  // no field holds it: left to SQLite
    if (op == '~' || op == '*') {
      if (have_prefix) continue;
      std::string p;
      if (!page.Encode(PatternPrefix(TextOf(v), op == '~'), p)) continue;
      while (!p.empty() && p.back() == ' ') p.pop_back();
      if (p.empty()) continue;
      prefix = p;
      have_prefix = true;
      like = op == '~';
      continue;
    }
    switch (use.shape) {
      case TagUse::Shape::kWhole: {
        const TktVariant k = norm(enc);
        if (op == '=' || op == '>') common.lows.push_back(k);
        if (op == '=' || op == '<') common.highs.push_back({k, false});
        break;
      }
      case TagUse::Shape::kUpper:
        if (op == '=') {
          const TktVariant k = norm(evaluated(enc));
          common.lows.push_back(k);
          common.highs.push_back({k, false});
        }
        break;
      case TagUse::Shape::kLeading: {
        // The column's part of the key is the value blank-filled to the
        // field's width.
        std::string padded = enc.substr(0, std::min(enc.size(), width));
        padded.resize(width, ' ');
        TktVariant high;
        high.SetText(padded);
        // No field holds more than its width: nothing equals it.
        // The prefix keeps its blanks: normalized as a key is, not as a
        // sought text.
        tag_->NormalizeKey(high, false);
        if (op == '=' && enc.size() > width) return {};
        if (op == '=' || op == '>') common.lows.push_back(norm(enc));
        if (op == '=') common.highs.push_back({high, true});
        // A character below the blank sorts a shorter value after it in
        // the padded key; such a bound is left to SQLite.
        if (op == '<' && std::none_of(enc.begin(), enc.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
          common.highs.push_back({high, true});
        break;
      }
      case TagUse::Shape::kLeadingUpper:
        if (op == '=' && enc.size() > width) return {};
        if (op == '=') {
          const std::string key = evaluated(enc);
          TktVariant high;
          high.SetText(key.substr(0, std::min(width, key.size())));
          tag_->NormalizeKey(high, false);
          common.lows.push_back(norm(key));
          common.highs.push_back({high, true});
        }
        break;
      case TagUse::Shape::kValue:
      case TagUse::Shape::kLogical: break;
    }
  }
  if (!have_prefix) return {common};
  std::vector<std::string> starts;
  if (use.shape == TagUse::Shape::kUpper || use.shape == TagUse::Shape::kLeadingUpper) {
    std::string up = evaluated(prefix.substr(0, use.shape == TagUse::Shape::kUpper ? prefix.size() : std::min(prefix.size(), width)));
    up.resize(std::min(up.size(), prefix.size()));
    starts.push_back(up);
  } else {
    starts = like ? CaseVariants(prefix, page) : std::vector<std::string>{prefix};
  }
  // Cut to the column's part of the key, spellings may fall together; the
  // set keeps each once, in key order.
  std::set<std::string> distinct;
  for (std::string s : starts) {
    if (use.shape == TagUse::Shape::kLeading || use.shape == TagUse::Shape::kLeadingUpper) s.resize(std::min(s.size(), width));
    while (!s.empty() && s.back() == ' ') s.pop_back();
    if (s.empty()) return {common};
    distinct.insert(s);
  }
  std::vector<Range> ranges;
  for (const std::string& s : distinct) {
    Range r = common;
    const TktVariant k = norm(s);
    r.lows.push_back(k);
    r.highs.push_back({k, true});
    ranges.push_back(std::move(r));
  }
  return ranges;
}

}  // namespace tessera_sql
