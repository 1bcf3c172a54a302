// KTO_dBHandler: navigation in the master tag's order or record order,
// key searches, locating by field values, key ranges and the filter.
#include "engine/dbf_handler.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "engine/errors.h"
#include "engine/messages.h"
#include "engine/text_helpers.h"
#include "expr/dbf_names.h"
#include "expr/exp_handler.h"
#include "index/index_file.h"
#include "platform/codepage.h"
#include "platform/text_list.h"

namespace tessera {

// --- navigation -------------------------------------------------------------------

bool KTO_dBHandler::RecordVisible() {
  if (!UseDeleted() && IsDeleted()) return false;
  if (!RecordAccepted()) return false;
  if (filter_active_ && !filter_set_.Contains(CurrentRecord())) return false;
  return true;
}

int32_t KTO_dBHandler::FilterMemberFor(int32_t code) {
  switch (code) {
    case kMoveLast: return filter_set_.PriorMember(RecordCount());
    case kMoveFirst: return filter_set_.NextMember(1);
    case kMovePrior: return CurrentRecord() <= 1 ? -1 : filter_set_.PriorMember(CurrentRecord() - 1);
    case kMoveNext: return filter_set_.NextMember(CurrentRecord() + 1);
    default: return CurrentRecord();
  }
}

void KTO_dBHandler::GotoRecord(int32_t number) {
  outside_order_ = false;
  if (TableState() != kStateNormal) {
    KTO_dBaseFld::GotoRecord(number);
    return;
  }
  SearchLock search_lock(this);
  // A record read by number, or re-read, comes from the file itself: another
  // process may have changed it.
  if (number >= 1 || number == kMoveCurrent) DropReadCache();
  if (master_ != nullptr) RefreshIndexes();
  const bool cache_flag = read_cache_on_;
  positioned_ = false;
  SetEof(false);
  SetBof(false);
  if (number >= 1) {
    KTO_dBaseFld::GotoRecord(number);
    positioned_ = !Eof() && !Bof();
    if (positioned_) SyncMaster();
    return;
  }
  if (number == 0) return;
  const int32_t step = (number == kMoveCurrent || number == kMoveFirst) ? kMoveNext
                       : number == kMoveLast                           ? kMovePrior
                                                                       : number;
  int32_t code = number;
  for (int guard = 0;; ++guard) {
    int32_t target = 0;
    bool ended = false;
    if (master_ != nullptr) {
      SetReadCache(false);
      target = master_->Navigate(code);
      SetEof(master_->Eof());
      SetBof(master_->Bof());
      while (filter_active_ && target != 0 && !filter_set_.Contains(target)) {
        target = master_->Navigate(step);
        SetEof(master_->Eof());
        SetBof(master_->Bof());
      }
      ended = target == 0 || Eof() || Bof();
    } else if (filter_active_) {
      target = FilterMemberFor(code);
      if (target <= 0 || target > RecordCount()) {
        SetBof(code != kMoveNext);
        SetEof(code == kMoveNext || code == kMoveFirst || code == kMoveLast);
        ended = true;
      }
    }
    if (ended) break;
    if (master_ != nullptr || filter_active_) {
      // Nothing may need the record's bytes: they are read when something
      // does (a field, the buffer, an edit).
      const bool reading = DeferredRecordRead();
      DeferRecord(target);
      if (master_ != nullptr && reading) FetchAhead();
    } else {
      KTO_dBaseFld::GotoRecord(code);
      if (Eof() || Bof()) break;
    }
    if (CurrentRecord() < 1 || CurrentRecord() > RecordCount()) {
      std::memset(RecordBuffer(), ' ', static_cast<size_t>(RecordLength()));
      break;
    }
    if (RecordVisible()) break;
    code = step;
    if (guard > RecordCount() + 2) break;  // every record was looked at
  }
  SetReadCache(cache_flag && master_ == nullptr);
  positioned_ = !Eof() && !Bof();
  if (master_ != nullptr && positioned_ && master_->CurrentKey().Reference != CurrentRecord()) SyncMaster();
}

void KTO_dBHandler::FetchAhead() {
  // A step that lands on the key the last one saw next continues the walk;
  // any other (onto a leaf whose keys the last step could not see, after a
  // search or a turn) starts it anew, with every record up to the distance
  // fetched at once.
  const bool continued = ahead_[static_cast<size_t>(ahead_steps_)] != 0 &&
                         CurrentRecord() == ahead_[static_cast<size_t>(ahead_steps_)];
  if (continued && ++ahead_steps_ < kFetchBatch) return;
  // Fetches are asked for in batches: a fetch that misses the processor's
  // address cache holds up the steps behind it until the page's mapping is
  // found, and a batch has those lookups made side by side instead of one
  // per step. The tag names the records of a whole batch in one call.
  master_->RecordsAhead(static_cast<int>(ahead_.size()), ahead_.data());
  for (int i = continued ? kReadAhead : 1; i < kReadAhead + kFetchBatch; ++i)
    PrefetchRecord(ahead_[static_cast<size_t>(i - 1)]);
  ahead_steps_ = 0;
}

void KTO_dBHandler::Skip(int32_t n) {
  if (n == 0) {
    GotoRecord(kMoveCurrent);
    return;
  }
  if (!filter_requested_ && UseDeleted()) {
    bool ended = false;
    if (master_ != nullptr) {
      SearchLock search_lock(this);
      RefreshIndexes();
      if (master_->CurrentKey().Reference != CurrentRecord()) master_->SyncToRecord(CurrentRecord());
      int32_t target = CurrentRecord();
      for (int32_t i = 0; i < std::abs(n); ++i) {
        const int32_t r = master_->Navigate(n > 0 ? kMoveNext : kMovePrior);
        if (r == 0) {
          target = master_->Navigate(n > 0 ? kMoveLast : kMoveFirst);
          ended = true;
          break;
        }
        target = r;
      }
      // A walk that reads the records it reaches has the records ahead of
      // it fetched; one that does not is left alone.
      const bool reading = DeferredRecordRead();
      if (target >= 1) DeferRecord(target);
      if (reading) FetchAhead();
    } else {
      int64_t target = static_cast<int64_t>(CurrentRecord()) + n;
      if (target > RecordCount()) {
        target = RecordCount();
        ended = true;
      } else if (target < 1) {
        target = 1;
        ended = true;
      }
      if (target >= 1) GotoRecord(static_cast<int32_t>(target));
    }
    SetEof(ended && n > 0);
    SetBof(ended && n < 0);
    positioned_ = !ended;
    return;
  }
  for (int32_t i = 0; i < std::abs(n); ++i) {
    GotoRecord(n > 0 ? kMoveNext : kMovePrior);
    if (Eof() || Bof()) break;
  }
}

int32_t KTO_dBHandler::SelectMasterTag(std::string_view name, bool keep_position) {
  const std::string wanted = plat::UpperText(TrimText(name));
  if (wanted.empty()) {
    if (master_ != nullptr) {
      master_->SetRange(nullptr, false, false, false, nullptr);
      master_->ReleaseTree();
    }
    master_ = nullptr;
    master_name_.clear();
    SetReadCache(true);
    if (!keep_position) GotoRecord(kMoveFirst);
    return 0;
  }
  SearchLock search_lock(this);
  RefreshIndexes();
  int slot = 0;
  KTobjIndexTag* tag = nullptr;
  for (int s = 1; s <= kIndexSlots && tag == nullptr; ++s)
    if (KTobjIndexFile* f = slots_[static_cast<size_t>(s)].get())
      if ((tag = f->FindTag(wanted)) != nullptr) slot = s;
  if (tag == nullptr) throw ETesseraError(msg::Format(msg::kTagNotFound, {name}));
  if (master_ != nullptr) {
    master_->SetRange(nullptr, false, false, false, nullptr);
    master_->ReleaseTree();
  }
  SetReadCache(false);
  master_name_ = wanted;
  master_ = tag;
  master_->ResetTree(1);
  if (keep_position && CurrentRecord() >= 1) {
    GotoRecord(CurrentRecord());
    if (outside_order_) GotoRecord(kMoveFirst);
  } else {
    GotoRecord(kMoveFirst);
  }
  return slot;
}

// --- searches ------------------------------------------------------------------------

bool KTO_dBHandler::SeekKeyText(std::string_view key) {
  found_ = false;
  if (RecordCount() == 0) RefreshHeader();
  if (RecordCount() == 0) return false;
  SearchLock search_lock(this);
  if (master_ == nullptr) {
    GotoRecord(kMoveLast);
    SetEof(true);
    return false;
  }
  RefreshIndexes();
  KTobjIndexKeyData search(256);
  search.SetText(key);
  search.Reference = KTobjIndexTag::kAnyRecord;
  const int32_t r = master_->Seek(search);
  auto to_end = [this] {
    GotoRecord(kMoveLast);
    SetEof(true);
    positioned_ = false;
  };
  if (r == 0) {
    if (master_->Eof() || !StayNearest) {
      to_end();
      return false;
    }
    const int32_t next = master_->Navigate(kMoveCurrent);
    if (next == 0) {
      to_end();
      return false;
    }
    DeferRecord(next);
    positioned_ = true;
    while (!RecordVisible() && !Eof()) Skip(1);
    return false;
  }
  // The record found is read when something reads it (exclusive use): a
  // search that only asks whether the key is there reads no record.
  DeferRecord(r);
  positioned_ = true;
  while (!RecordVisible() && !Eof()) Skip(1);
  if (!Eof()) {
    KTobjIndexKeyData normalized(256);
    normalized.SetText(key);
    master_->NormalizeKey(normalized, true);
    int32_t position = 0;
    const int c = normalized.Compare(&master_->CurrentKey(), &position, -1, nullptr);
    found_ = c == 0;
    // Partial: the stored key begins with the search key.
    if (!found_ && !ExactKeyOnly && normalized.kind() == VariantKind::kCharacter)
      found_ = normalized.size() < position;
  }
  if (!found_ && !StayNearest) to_end();
  return found_;
}

int32_t KTO_dBHandler::LookupKeyInTag(std::string_view tag_name, std::string_view key) {
  std::optional<SearchLock> search_lock;
  try {
    search_lock.emplace(this);
  } catch (const ETesseraError&) {
    return -1;
  }
  KTobjIndexTag* tag = FindTag(tag_name);
  if (tag == nullptr) return -1;
  RefreshIndexes();
  const bool saved = ExactKeyOnly;
  ExactKeyOnly = true;
  KTobjIndexKeyData search(256);
  search.SetText(key);
  search.Reference = KTobjIndexTag::kAnyRecord;
  int32_t r = 0;
  try {
    r = tag->LookupKey(search);
  } catch (...) {
    ExactKeyOnly = saved;
    throw;
  }
  ExactKeyOnly = saved;
  return r;
}

std::string KTO_dBHandler::BuildSearchKey(const std::vector<FieldValue>& values, std::string_view key_expression) {
  TktExpHandler expr(NameResolver(), false, key_expression);
  std::string names = expr.ListVars(17);
  // As many field names as there are values.
  size_t taken = 0, pos = 0;
  while (taken < values.size() && pos < names.size()) {
    const size_t semi = names.find(';', pos);
    pos = semi == std::string::npos ? names.size() : semi + 1;
    ++taken;
  }
  names.resize(std::min(pos, names.size()));
  std::string scratch(static_cast<size_t>(RecordLength()), ' ');
  StoreValuesInRecord(scratch.data(), names, values);
  SetRecordBuffer(scratch.data());
  struct Restore {
    KTO_dBHandler* t;
    ~Restore() { t->SetRecordBuffer(nullptr); }
  } restore{this};
  TktVariant key(256);
  expr.EvaluateTo(key);
  return key.AsText();
}

bool KTO_dBHandler::LocateValues(std::string_view field_names, const std::vector<FieldValue>& values, bool partial,
                                 bool case_insensitive) {
  // One look at the index files for the whole search.
  SearchLock search_lock(this);
  GotoRecord(kMoveFirst);
  if (Bof() || Eof()) return false;
  // The requested names in upper case, ";"-separated and ";"-terminated.
  std::vector<std::string> names = plat::SplitNameList(field_names);
  std::string list;
  for (std::string& n : names) {
    n = plat::UpperText(n);
    list += n + ";";
  }
  if (names.empty()) return false;
  std::string scratch(static_cast<size_t>(RecordLength()), ' ');
  StoreValuesInRecord(scratch.data(), list, values);

  // What each field must read as: its text as the scratch record holds it.
  std::vector<std::string> wanted;
  std::vector<int> numbers;
  int key_width = 0;  // leading key bytes the requested values decide
  SetRecordBuffer(scratch.data());
  for (size_t i = 0; i < names.size(); ++i) {
    const int num = FieldNumber(names[i]);
    if (num == 0) {
      SetRecordBuffer(nullptr);
      FindField(names[i]);  // reports the unknown name
      return false;
    }
    numbers.push_back(num);
    const std::string t = TrimRightText(GetTextN(num));
    wanted.push_back(case_insensitive ? plat::UpperText(t) : t);
    key_width += (partial && i + 1 == names.size()) ? static_cast<int>(t.size()) : FieldWidth(num);
  }
  SetRecordBuffer(nullptr);
  auto matches = [&] {
    for (size_t i = 0; i < numbers.size(); ++i) {
      std::string got = TrimRightText(GetTextN(numbers[i]));
      if (case_insensitive) got = plat::UpperText(got);
      const bool ok = (partial && i + 1 == numbers.size()) ? got.compare(0, wanted[i].size(), wanted[i]) == 0
                                                          : got == wanted[i];
      if (!ok) return false;
    }
    return true;
  };

  // A tag qualifies when it has no FOR condition and its key expression
  // reads the requested fields first, in that order.
  KTobjIndexTag* search_tag = nullptr;
  if (!case_insensitive && master_ != nullptr && !master_->HasRange()) {
    auto qualifies = [&](KTobjIndexTag* t) {
      if (t->HasFor() || t->KeyType() != 'C') return false;
      std::string fields;
      for (char c : plat::UpperText(t->KeyExpression()))
        if (c != ' ') fields += (c == '+' || c == '-') ? ';' : c;
      fields += ";";
      return fields.compare(0, list.size(), list) == 0;
    };
    if (qualifies(master_)) search_tag = master_;
    for (int n = 1; search_tag == nullptr; ++n) {
      KTobjIndexTag* t = TagByNumber(n);
      if (t == nullptr) break;
      if (qualifies(t)) search_tag = t;
    }
  }

  bool found = false;
  KTobjIndexTag* saved_master = master_;
  const bool saved_exact = ExactKeyOnly, saved_nearest = StayNearest;
  auto restore = [&] {
    ExactKeyOnly = saved_exact;
    StayNearest = saved_nearest;
    if (search_tag != nullptr && search_tag != saved_master) search_tag->ReleaseTree();
    master_ = saved_master;
  };
  try {
    if (search_tag != nullptr) {
      // The key the requested values give, cut to the bytes they decide;
      // the tag lands on the first key that begins with it, and the keys
      // that do are tried in tag order.
      master_ = search_tag;
      master_->ResetTree(2);
      TktVariant key(256);
      SetRecordBuffer(scratch.data());
      try {
        master_->EvalKey(key, nullptr);
      } catch (...) {
        SetRecordBuffer(nullptr);
        throw;
      }
      SetRecordBuffer(nullptr);
      // The key's value as searched for (without what a format adds to
      // tell nulls apart).
      std::string text(master_->KeyValueBytes(key, nullptr));
      if (text.size() > static_cast<size_t>(key_width)) text.resize(static_cast<size_t>(key_width));
      KTobjIndexKeyData prefix(256);
      prefix.SetText(text);
      master_->NormalizeKey(prefix, true);
      ExactKeyOnly = false;
      StayNearest = false;
      // Of the records whose keys begin with it, the first by record number
      // is taken, as the scan would take it.
      int32_t first = 0;
      for (bool hit = SeekKeyText(text); hit && !Eof();) {
        if ((first == 0 || CurrentRecord() < first) && matches()) first = CurrentRecord();
        Skip(1);
        int32_t position = 0;
        hit = !Eof() && prefix.Compare(&master_->CurrentKey(), &position, 0, nullptr) == 0;
      }
      if (first != 0) {
        found = true;
        KTO_dBaseFld::GotoRecord(first);
      }
    } else {
      // Scanning in record-number order (in the master's order when it has
      // a key range, which then limits the scan).
      if (master_ == nullptr || !master_->HasRange()) {
        master_ = nullptr;
        SetReadCache(true);
        GotoRecord(kMoveFirst);
      }
      for (; !Eof() && !Bof(); GotoRecord(kMoveNext))
        if (matches()) {
          found = true;
          break;
        }
    }
  } catch (...) {
    restore();
    SetReadCache(master_ == nullptr);
    throw;
  }
  const int32_t record = CurrentRecord();
  restore();
  SetReadCache(master_ == nullptr);
  if (found) GotoRecord(record);
  return found;
}

bool KTO_dBHandler::SetKeyRange(std::string_view low, std::string_view high, bool partial, bool high_inclusive,
                                bool low_inclusive) {
  if (master_ == nullptr) return false;
  SearchLock search_lock(this);
  RefreshIndexes();
  TktVariant lo, hi;
  lo.SetText(low);
  hi.SetText(high);
  if (master_->SetRange(low.empty() ? nullptr : &lo, low_inclusive, partial, high_inclusive,
                        high.empty() ? nullptr : &hi)) {
    GotoRecord(kMoveFirst);
    if (Bof()) std::memset(RecordBuffer(), ' ', static_cast<size_t>(RecordLength()));
  }
  return true;
}

void KTO_dBHandler::ClearKeyRange() {
  if (master_ != nullptr) master_->SetRange(nullptr, false, false, false, nullptr);
}

// --- filter ---------------------------------------------------------------------------

void KTO_dBHandler::EvaluateFilterOverTable() {
  filter_set_.ClearAll();
  if (!filter_expr_ || !filter_expr_->HasTree()) return;
  SearchLock search_lock(this);
  const int32_t saved = CurrentRecord();
  const bool saved_active = filter_active_;
  filter_active_ = false;
  KTobjIndexTag* saved_master = master_;
  const bool by_range = master_ != nullptr && master_->HasRange();
  if (!by_range) {
    master_ = nullptr;
    SetReadCache(true);
  }
  try {
    TktExpValue v;
    for (GotoRecord(kMoveFirst); !Eof() && !Bof() && CurrentRecord() >= 1; GotoRecord(kMoveNext)) {
      filter_expr_->Evaluate(v);
      if (filter_expr_->ResultType() == kExpLogical && v.AsLogical())
        filter_set_.ChangeMember(CurrentRecord(), TktHugeSet::kAdd);
    }
  } catch (...) {
    master_ = saved_master;
    filter_active_ = saved_active;
    throw;
  }
  master_ = saved_master;
  SetReadCache(master_ == nullptr);
  filter_active_ = saved_active;
  if (saved >= 1 && saved <= RecordCount()) KTO_dBaseFld::GotoRecord(saved);
  if (master_ != nullptr) master_->ResetTree(1);
}

void KTO_dBHandler::SetFilterExpression(std::string_view text, bool case_insensitive, bool partial_match) {
  const bool requested = filter_requested_;
  if (!filter_expr_) filter_expr_ = std::make_unique<TktExpHandler>(NameResolver());
  if (text != filter_text_ || case_insensitive != filter_case_insensitive_ || partial_match != filter_partial_ ||
      !filter_expr_->HasTree()) {
    filter_text_ = std::string(text);
    filter_case_insensitive_ = case_insensitive;
    filter_partial_ = partial_match;
    filter_set_.ClearAll();
    filter_active_ = false;
    filter_expr_->SetCaseInsensitive(case_insensitive);
    filter_expr_->SetPartialMatch(partial_match);
    filter_expr_->Compile(TrimText(text));
    if (filter_expr_->HasTree()) {
      TktExpValue v;
      filter_expr_->Evaluate(v);
      if (filter_expr_->ResultType() != kExpLogical) {
        filter_expr_->Compile("");
        throw ETesseraError(msg::kFilterNotBoolean);
      }
    }
    EvaluateFilterOverTable();
  }
  SetFilterActive(requested);
}

void KTO_dBHandler::SetFilterActive(bool on) {
  filter_requested_ = on;
  filter_active_ = on && filter_expr_ && filter_expr_->HasTree();
}

void KTO_dBHandler::RebuildFilterSet() {
  if (!filter_active_) return;
  filter_active_ = false;
  EvaluateFilterOverTable();
  SetFilterActive(filter_requested_);
}

}  // namespace tessera
