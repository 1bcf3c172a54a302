#include "index/index_tag.h"

#include <atomic>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "expr/dbf_names.h"
#include "expr/exp_handler.h"
#include "index/index_file.h"
#include "platform/codepage.h"

namespace tessera {
namespace {

std::atomic<bool> g_in_place_changes{true};
std::atomic<uint64_t> g_in_place_count{0};

}  // namespace

void KTobjIndexTag::SetInPlaceChanges(bool on) { g_in_place_changes.store(on); }
uint64_t KTobjIndexTag::InPlaceChangeCount() { return g_in_place_count.load(std::memory_order_relaxed); }

KTobjIndexTag::KTobjIndexTag(KTobjIndexFile* file) : file_(file) {}

// Formats release the tree in their own destructors (storing nodes needs
// their StoreNode); whatever is left here is freed without writing.
KTobjIndexTag::~KTobjIndexTag() = default;

KTO_dBHandler* KTobjIndexTag::Table() const { return file_->Table(); }

// --- virtual operations: base behaviour --------------------------------

void KTobjIndexTag::NormalizeKey(TktVariant&, bool) {}

bool KTobjIndexTag::DefineTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                              const std::string& for_expr) {
  (void)name;
  key_expr_ = key_expr;
  for_expr_ = for_expr;
  has_for_ = !for_expr.empty();
  descending_ = !ascending;
  unique_ = unique;
  unusable_.clear();
  CompileKeyExpr();
  CompileForExpr();
  return false;
}

bool KTobjIndexTag::InsertKey(const KTobjIndexKeyData& key) {
  Materialize();
  if (!updating_) ResetTree(0);
  if (!root_) return false;
  KTobjIndexKeyData clone;
  clone.CopyFrom(key);
  NormalizeKey(clone, true);
  bof_ = eof_ = false;
  int32_t recno;
  if (file_->DuplicatesByRecord()) recno = clone.Reference;
  else recno = reverse_compare_ ? 0 : kAfterEqual;  // a new duplicate goes after the others
  if (unique_) {
    if (root_->SearchKey(kAnyRecord, clone, -1) == 0) return false;
    recno = clone.Reference;
  }
  const int r = root_->SearchKey(recno, clone, -1);
  if (r <= 0) {
    root_->InsertAt(clone, false);
  } else {
    root_->DescendLast();
    root_->InsertAt(clone, true);
  }
  if (!updating_) ResetTree(2);
  // Stand on the new key (the last of its equals when they are not ordered
  // by record).
  root_->SearchKey(recno, clone, -1);
  if (recno == kAfterEqual) root_->StepPrior();
  root_->CopyCurrent(current_key_);
  return true;
}

int32_t KTobjIndexTag::ReadRootOffset() { return root_offset_; }
int KTobjIndexTag::StepInPlace(bool, std::vector<PathStep>&, KTobjIndexKeyData&) { return 2; }
int32_t KTobjIndexTag::RecordAhead(int) const { return 0; }
void KTobjIndexTag::RecordsAhead(int count, int32_t* out) const {
  for (int i = 1; i <= count; ++i) out[i - 1] = RecordAhead(i);
}
int KTobjIndexTag::SearchInPlace(const KTobjIndexKeyData&, int, std::vector<PathStep>&, KTobjIndexKeyData&) {
  return 2;
}

void KTobjIndexTag::Materialize() {
  if (!path_pending_) return;
  path_pending_ = false;
  if (pending_path_.empty()) return;
  // A search in place runs only over a clean tree, so a stale one is freed
  // without writing.
  if (root_ && (root_->offset != pending_path_[0].offset || root_generation_ != file_->CacheGeneration()))
    root_.reset();
  if (!root_) {
    root_offset_ = pending_path_[0].offset;
    root_ = std::make_unique<KTobjIndexKey>(this, nullptr, root_offset_);
    root_generation_ = file_->CacheGeneration();
  }
  KTobjIndexKey* node = root_.get();
  for (size_t i = 0;; ++i) {
    node->position = pending_path_[i].position;
    if (i + 1 == pending_path_.size() || node->IsLeaf()) break;
    node->OpenChild(pending_path_[i + 1].offset);
    node = node->Child();
  }
}
bool KTobjIndexTag::LoadNode(int32_t, KTobjIndexKey&) { return false; }
bool KTobjIndexTag::StoreNode(KTobjIndexKey&) { return false; }
bool KTobjIndexTag::ReadTagHeader() {
  header_dirty_ = false;
  return false;
}
bool KTobjIndexTag::WriteTagHeader() {
  header_dirty_ = false;
  return false;
}

// Expressions of index files may come from other programs, which bind
// .AND. and .OR. after the comparisons: a text that only works that way is
// taken that way (TktExpHandler::CompileEitherPrecedence).
void KTobjIndexTag::CompileKeyExpr() {
  key_handler_.reset();
  if (key_expr_.empty()) return;
  KTO_dBHandler* table = Table();
  auto handler = std::make_unique<TktExpHandler>(table != nullptr ? table->NameResolver() : nullptr);
  handler->CompileEitherPrecedence(key_expr_, false);
  key_handler_ = std::move(handler);
}

void KTobjIndexTag::CompileForExpr() {
  for_handler_.reset();
  if (for_expr_.empty()) return;
  KTO_dBHandler* table = Table();
  auto handler = std::make_unique<TktExpHandler>(table != nullptr ? table->NameResolver() : nullptr);
  handler->CompileEitherPrecedence(for_expr_, true);
  for_handler_ = std::move(handler);
}

bool KTobjIndexTag::CompileStored(bool key) {
  try {
    if (key) CompileKeyExpr();
    else if (has_for_) CompileForExpr();
    return true;
  } catch (const std::runtime_error& e) {
    if (key) key_handler_.reset();
    for_handler_.reset();
    unusable_ = std::string(key ? "its key expression " + key_expr_ : "its FOR expression " + for_expr_) +
                " cannot be compiled (" + e.what() + ")";
    return false;
  }
}

void KTobjIndexTag::RefuseChange(const std::string& reason) const {
  throw ETesseraError("Index tag " + name_ + " of " + file_->FileName() + " cannot be kept current: " + reason);
}

bool KTobjIndexTag::ThreadSafeExpressions() const {
  const KTO_dBHandler* table = Table();
  if (table == nullptr) return false;
  for (const TktExpHandler* h : {key_handler_.get(), for_handler_.get()}) {
    if (h == nullptr) continue;
    const std::string names = h->ListVars(17);
    size_t start = 0;
    for (size_t end; (end = names.find(';', start)) != std::string::npos; start = end + 1) {
      TktUserDefFieldVar* var = table->NameResolver()->FindFieldVar(names.substr(start, end - start));
      const auto* field = dynamic_cast<TktlDBFFieldVars*>(var);
      if (field == nullptr || table->Field(field->FieldNumber()).type == 'M') return false;
    }
  }
  return true;
}

bool KTobjIndexTag::EvalKey(TktVariant& value, bool* changed) {
  if (!key_handler_) return false;
  key_handler_->EvaluateTo(value);
  if (changed != nullptr) *changed = true;
  return key_handler_->ResultType() != kExpNone;
}

bool KTobjIndexTag::EvalFor() {
  if (!for_handler_) return false;
  TktExpValue v;
  for_handler_->Evaluate(v);
  return for_handler_->ResultType() == kExpLogical && v.AsLogical();
}

// --- comparisons and tree bookkeeping -----------------------------------

int KTobjIndexTag::CompareKeys(const TktVariant& target, const TktVariant& entry, int partial) const {
  const int r = target.Compare(&entry, nullptr, partial, nullptr);
  return reverse_compare_ ? -r : r;
}

bool KTobjIndexTag::TreeDirty() const { return root_ && root_->PathDirty(); }

void KTobjIndexTag::ReplaceRoot(std::unique_ptr<KTobjIndexKey> new_root) {
  root_ = std::move(new_root);
  header_dirty_ = true;
}

void KTobjIndexTag::LoadInto(int32_t offset, KTobjIndexKey& node) {
  if (!LoadNode(offset, node)) file_->Corrupt("tag " + name_ + ", node " + std::to_string(offset));
}

void KTobjIndexTag::FlushNode(KTobjIndexKey& node) {
  if (node.child_) FlushNode(*node.child_);
  if (!node.dirty) return;
  if (node.offset <= 0) node.offset = file_->AllocateNode();
  StoreNode(node);
  node.dirty = false;
}

void KTobjIndexTag::ReleaseTreeQuietly() noexcept {
  try {
    if (!file_->IsCorrupt()) ReleaseTree();
  } catch (...) {
  }
}

bool KTobjIndexTag::StartSingleTag(std::string_view name, bool read) {
  name_ = plat::UpperText(name);
  header_offset_ = 0;
  if (read) return ReadTagHeader();
  header_dirty_ = true;
  return true;
}

std::string KTobjIndexTag::CharacterKeyText(const TktVariant& value, bool trim_blanks) {
  const bool text_kind = value.kind() == VariantKind::kCharacter || value.kind() == VariantKind::kBinary;
  std::string t;
  // One character assigned, not a literal: GCC 12 at -O3 takes the inlined
  // copy of "T"/"F" for an overlapping one (-Wrestrict).
  if (value.kind() == VariantKind::kLogical) t.assign(1, value.AsBoolean() ? 'T' : 'F');
  else if (text_kind) t.assign(value.bytes());
  else t = value.AsText();
  if (trim_blanks)
    while (!t.empty() && t.back() == ' ') t.pop_back();
  return t;
}

void KTobjIndexTag::ReleaseTree() {
  path_pending_ = false;
  reposition_ = false;
  // Storing a root that splits puts a new root above it; that one is
  // written next.
  for (int guard = 0; root_ && root_->PathDirty() && guard < 8; ++guard) FlushNode(*root_);
  root_.reset();
  if (header_dirty_) WriteTagHeader();
  current_key_.Reference = 0;
}

bool KTobjIndexTag::ReloadAtCurrentKey() {
  const bool had = current_key_.Reference != 0 && !bof_ && !eof_;
  KTobjIndexKeyData key(256);
  key.CopyFrom(current_key_);
  ReleaseTree();
  if (!had) return false;
  ResetTree(2);
  if (!root_ || root_->Count() == 0 || SearchEntry(key, key.Reference) != 0) return false;
  root_->CopyCurrent(current_key_);
  return current_key_.Reference == key.Reference;
}

void KTobjIndexTag::DiscardTree() {
  path_pending_ = false;
  pending_path_.clear();
  root_.reset();
  header_dirty_ = false;
  current_key_.Reference = 0;
  bof_ = eof_ = false;
}

std::string_view KTobjIndexTag::KeyValueBytes(const TktVariant& key, bool* null) const {
  if (null != nullptr) *null = false;
  return key.bytes();
}

void KTobjIndexTag::CheckMaintainable(const KTobjIndexKeyData&, bool) {}

void KTobjIndexTag::ReloadHeaderState() { root_offset_ = ReadRootOffset(); }

void KTobjIndexTag::PrepareChange(int32_t recno, bool is_append) {
  PreparedChange& p = prepared_;
  p.valid = false;
  KTO_dBHandler* table = Table();
  if (table == nullptr) return;
  // A tag whose keys cannot be computed might need a new key for any
  // write: none is let through.
  if (!unusable_.empty()) RefuseChange(unusable_);
  if (!is_append && !has_for_ && !table->RecordChanged()) return;
  // The header first: a root that is no node of the file raises here.
  ReadRootOffset();
  KTobjIndexKeyData& new_key = p.new_key;
  // An expression that fails on this record would leave its key out of
  // date: the write is refused, naming the tag.
  auto evaluate = [&](TktVariant& key, bool with_for) {
    bool ok = false;
    try {
      if (with_for) p.for_ok = has_for_ ? EvalFor() : true;
      ok = EvalKey(key, nullptr);
    } catch (const ETesseraExpression& e) {
      RefuseChange("its expressions cannot be evaluated for record " + std::to_string(recno) + " (" + e.what() + ")");
    }
    if (!ok && !key_expr_.empty())
      RefuseChange("its key expression " + key_expr_ + " gives no value for record " + std::to_string(recno));
    return ok;
  };
  if (!evaluate(new_key, true)) return;
  NormalizeKey(new_key, true);
  new_key.Reference = new_key.RecordNumber = recno;
  p.has_old = false;
  if (!is_append) {
    // The old key: the record as it was read (the saved record does not
    // change before the write is done).
    table->SetRecordBuffer(table->SavedRecordBuffer());
    try {
      p.has_old = evaluate(p.old_key, false);
    } catch (...) {
      table->SetRecordBuffer(nullptr);
      throw;
    }
    table->SetRecordBuffer(nullptr);
    if (p.has_old) {
      NormalizeKey(p.old_key, true);
      p.old_key.Reference = p.old_key.RecordNumber = recno;
    }
  }
  p.same = p.has_old && p.old_key.kind() == new_key.kind() && p.old_key.bytes() == new_key.bytes();
  // A key the record keeps is no new key for the file's rules.
  CheckMaintainable(new_key, p.for_ok && !p.same);
  // Walking to where the keys go reads (and so checks) every node on the
  // way; over the stored nodes when the format can, and those paths then
  // serve the update.
  p.in_place = false;
  if (!unique_ && g_in_place_changes.load(std::memory_order_relaxed)) {
    p.new_result = LocateInPlace(new_key, InsertPlace(recno), p.new_path, scratch_found_);
    p.old_result = p.has_old ? LocateInPlace(p.old_key, recno, p.old_path, scratch_found_) : 0;
    p.in_place = p.new_result != 2 && p.old_result != 2;
  }
  if (!p.in_place) {
    // The tree search reports what it finds damaged; an appended key goes
    // after all equal keys.
    KTobjIndexKeyData probe;
    probe.CopyFrom(new_key);
    probe.Reference = probe.RecordNumber = is_append ? kAfterEqual : recno;
    LookupKey(probe);
    if (p.has_old) LookupKey(p.old_key);
  }
  p.recno = recno;
  p.is_append = is_append;
  p.generation = file_->CacheGeneration();
  p.valid = true;
}

int KTobjIndexTag::LocateInPlace(const KTobjIndexKeyData&, int32_t, std::vector<PathStep>&, KTobjIndexKeyData&) {
  return 2;
}

int32_t KTobjIndexTag::InsertPlace(int32_t recno) const {
  // As InsertKey places a key: by its record where the file orders equal
  // keys so, else after every equal key.
  return file_->DuplicatesByRecord() ? recno : kAfterEqual;
}
bool KTobjIndexTag::InsertInPlace(const KTobjIndexKeyData&, const std::vector<PathStep>&) { return false; }
bool KTobjIndexTag::RemoveInPlace(const std::vector<PathStep>&, std::vector<int32_t>&) { return false; }

bool KTobjIndexTag::ApplyPrepared(PreparedChange& p) {
  bool insert = p.for_ok;
  bool remove = false;
  if (p.has_old) {
    const bool found = p.old_result == 0;
    if (p.same && p.for_ok) insert = !found;
    else remove = found;
  }
  if (!insert && !remove) return true;  // nothing to write
  // The node objects in memory (clean: every change is flushed before the
  // lock goes) would no longer be the file's.
  const bool had_tree = HasTree();
  root_.reset();
  path_pending_ = false;
  pending_path_.clear();
  current_key_.Reference = 0;
  bof_ = eof_ = false;
  bool relocate = false;
  if (remove) {
    std::vector<int32_t> touched;
    if (!RemoveInPlace(p.old_path, touched)) return false;
    // The new key's path is walked again only when the removal wrote one
    // of its nodes.
    for (const PathStep& step : p.new_path)
      for (int32_t t : touched) relocate |= step.offset == t;
  }
  if (insert) {
    if (relocate) p.new_result = LocateInPlace(p.new_key, InsertPlace(p.recno), p.new_path, scratch_found_);
    if (p.new_result == 2 || !InsertInPlace(p.new_key, p.new_path)) return false;
  }
  if (had_tree) {
    // The tag stands on the new key, as InsertKey leaves it; the open path
    // is built from the stored nodes when it is next needed.
    if (insert && LocateInPlace(p.new_key, p.recno, pending_path_, current_key_) == 0) {
      path_pending_ = true;
    } else {
      pending_path_.clear();
      current_key_.Reference = 0;
      ResetTree(2);
    }
  }
  return true;
}

void KTobjIndexTag::Flush() {
  if (!root_ || (!root_->PathDirty() && !header_dirty_)) return;
  // Storing a root that splits puts a new root above it; that one is
  // written next.
  for (int guard = 0; root_ && root_->PathDirty() && guard < 8; ++guard) FlushNode(*root_);
  if (header_dirty_) WriteTagHeader();
  // Nodes written whole hold in memory what the file holds, and the tree is
  // kept (positioned where it was, or found again on the current key when
  // the format split nodes and trimmed them to their own blocks). A node
  // still marked split kept entries in memory that went to a new block:
  // then the tree is read again.
  bool split = false;
  for (const KTobjIndexKey* n = root_.get(); n != nullptr; n = n->Child()) split |= n->split;
  if (!split && !root_->PathDirty()) {
    if (reposition_ && current_key_.Reference != 0) {
      KTobjIndexKeyData key;
      key.CopyFrom(current_key_);
      reposition_ = false;
      if (SearchEntry(key, key.Reference) == 0) {
        root_->CopyCurrent(current_key_);
        return;
      }
    } else {
      reposition_ = false;
      return;
    }
  }
  reposition_ = false;
  const bool keep_position = current_key_.Reference != 0;
  ReleaseTree();
  ResetTree(keep_position ? 1 : 2);
}

bool KTobjIndexTag::LearnKeyType(TktVariant* value) {
  TktVariant v(256);
  TktVariant& out = value != nullptr ? *value : v;
  if (!KTobjIndexTag::EvalKey(out, nullptr)) return false;
  switch (out.kind()) {
    case VariantKind::kCharacter:
    case VariantKind::kLogical: key_type_ = 'C'; return true;
    case VariantKind::kNumeric: key_type_ = 'N'; return true;
    case VariantKind::kDate: key_type_ = 'D'; return true;
    default: return false;
  }
}

bool KTobjIndexTag::TreeCurrent() const {
  return root_ != nullptr && root_generation_ == file_->CacheGeneration();
}

bool KTobjIndexTag::CurrentRecordKey(KTobjIndexKeyData& key) {
  bool changed = false;
  if (!EvalKey(key, &changed)) return false;
  NormalizeKey(key, true);
  return true;
}

int KTobjIndexTag::SearchEntry(const KTobjIndexKeyData& key, int32_t recno) {
  if (recno > 0 && recno != kAfterEqual && !file_->DuplicatesByRecord()) {
    // Equal keys in the order they came: the entry looked for is mostly
    // one just added (an append's, found again after the nodes were
    // stored), the last of its equals. Tried there first; the search among
    // the equal keys from the first reads every node they fill, which for
    // the blank key of a large table is most of the tag.
    KTobjIndexKeyData saved;
    saved.CopyFrom(current_key_);
    root_->SearchKey(kAfterEqual, key, -1);
    bool at_last = false;
    if (root_->StepPrior()) {
      KTobjIndexKeyData last;
      root_->CopyCurrent(last);
      at_last = last.Reference == recno && CompareKeys(key, last, -1) == 0;
    }
    current_key_.CopyFrom(saved);
    if (at_last) return 0;
  }
  return root_->SearchKey(recno, key, -1);
}

void KTobjIndexTag::ResetTree(int mode) {
  ReleaseTree();
  root_offset_ = ReadRootOffset();
  root_ = std::make_unique<KTobjIndexKey>(this, nullptr, root_offset_);
  root_generation_ = file_->CacheGeneration();
  if (mode == 2) return;
  KTO_dBHandler* table = Table();
  if (mode == 1 && !key_expr_.empty() && table != nullptr && table->CurrentRecord() >= 1 &&
      table->CurrentRecord() <= table->RecordCount() && root_->Count() > 0) {
    KTobjIndexKeyData key(256);
    if (CurrentRecordKey(key) && SearchEntry(key, table->CurrentRecord()) == 0) {
      root_->CopyCurrent(current_key_);
      Navigate(-5);
      if (current_key_.Reference != 0) return;
    }
  }
  Navigate(-3);
}

// --- navigation -----------------------------------------------------------

bool KTobjIndexTag::StepOverStoredNodes(bool forward) {
  // Only over a tree that holds nothing unwritten, standing on a key.
  if (updating_ || header_dirty_ || current_key_.Reference == 0 || bof_ || eof_) return false;
  if (!path_pending_) {
    // The open path as offsets and positions.
    if (!root_ || root_->PathDirty() || root_generation_ != file_->CacheGeneration()) return false;
    pending_path_.clear();
    for (const KTobjIndexKey* n = root_.get(); n != nullptr; n = n->Child()) {
      if (n->split || n->offset <= 0 || n->position < 0 || n->position >= n->Size()) return false;
      pending_path_.push_back({n->offset, n->position});
      if (n->IsLeaf()) break;
      if (n->Child() == nullptr || n->Child()->offset != n->Entry(n->position)->Reference) return false;
    }
    if (pending_path_.empty()) return false;
  } else if (pending_path_.empty()) {
    return false;
  }
  if (StepInPlace(forward, pending_path_, current_key_) != 1) return false;
  // The nodes in memory no longer lie on the path: they are built from it
  // again on first need.
  path_pending_ = true;
  return true;
}

int32_t KTobjIndexTag::Navigate(int32_t code) {
  // A tag that stores its keys in descending order (reverse compare) is
  // walked as it stands; one stored ascending is walked backwards.
  const bool reversed = descending_ && !reverse_compare_;
  if (reversed) {
    if (code == -4) code = -3;
    else if (code == -3) code = -4;
    else if (code == -2) code = -1;
    else if (code == -1) code = -2;
  }
  // A step to a neighbouring key inside a clean tree needs no node
  // objects: it moves over the stored nodes.
  if ((code == -1 || code == -2) && StepOverStoredNodes(code == -1)) {
    if (HasRange()) ApplyRange();
    if (eof_ || bof_) {
      current_key_.Reference = 0;
      if (reversed) std::swap(bof_, eof_);
    }
    return current_key_.Reference;
  }
  Materialize();
  current_key_.Reference = 0;
  if (!root_) return 0;
  bof_ = eof_ = false;
  switch (code) {
    case -5:
      if (!root_->ReadCurrent()) bof_ = eof_ = true;
      ApplyRange();
      break;
    case -4: {
      ResetTree(2);
      if (range_high_.empty() || updating_) {
        eof_ = !root_->DescendLast();
      } else {
        KTobjIndexKeyData high;
        static_cast<TktVariant&>(high).Assign(&range_high_);
        const int r = root_->SearchKey(kAfterEqual, high, range_mode_);
        if (r == -1) bof_ = !root_->StepPrior();
        else if (r == 0) root_->CopyCurrent(current_key_);
        else eof_ = !root_->DescendLast();
      }
      ApplyRange();
      if (bof_) eof_ = true;
      bof_ = eof_;
      break;
    }
    case -3: {
      ResetTree(2);
      if (range_low_.empty() || updating_) {
        bof_ = !root_->DescendFirst();
      } else {
        KTobjIndexKeyData low;
        static_cast<TktVariant&>(low).Assign(&range_low_);
        const int r = root_->SearchKey(kAnyRecord, low, 0);
        eof_ = r == 1;
        if (!eof_) root_->CopyCurrent(current_key_);
      }
      ApplyRange();
      if (eof_) bof_ = true;
      eof_ = bof_;
      break;
    }
    case -2:
      bof_ = !root_->StepPrior();
      ApplyRange();
      break;
    case -1:
      eof_ = !root_->StepNext();
      ApplyRange();
      break;
    default: current_key_.Reference = 0; break;
  }
  if (eof_ || bof_) {
    current_key_.Reference = 0;
    if (reversed) std::swap(bof_, eof_);
  }
  return current_key_.Reference;
}

void KTobjIndexTag::ApplyRange() {
  if (!HasRange() || bof_ || eof_) return;
  if (!range_high_.empty()) {
    int r = range_high_.Compare(&current_key_, nullptr, range_mode_, nullptr);
    if (reverse_compare_) r = -r;
    if (r == -1) {
      eof_ = true;
      return;
    }
  }
  if (!range_low_.empty()) {
    int r = range_low_.Compare(&current_key_, nullptr, 0, nullptr);
    if (reverse_compare_) r = -r;
    if (r == 1) bof_ = true;
  }
}

int KTobjIndexTag::RangePosition() {
  if (!HasRange()) return 0;
  if (eof_) return 1;
  if (bof_) return -1;
  int r = range_high_.empty() ? 0 : range_high_.Compare(&current_key_, nullptr, range_mode_, nullptr);
  if (reverse_compare_) r = -r;
  if (high_inclusive_ && r == 0) r = 1;
  if (r <= 0) return r;
  int s = range_low_.empty() ? 0 : range_low_.Compare(&current_key_, nullptr, 0, nullptr);
  if (reverse_compare_) s = -s;
  if (low_inclusive_ && s == 0) s = -1;
  return s + 1;
}

bool KTobjIndexTag::SetRange(const TktVariant* low, bool low_inclusive, bool partial, bool high_inclusive,
                             const TktVariant* high) {
  auto prepare = [this](const TktVariant* bound, TktVariant& out) {
    out.Clear();
    if (bound == nullptr || bound->empty()) return;
    std::string text = bound->AsText();
    while (!text.empty() && text.back() == ' ') text.pop_back();
    if (bound->kind() == VariantKind::kCharacter) out.SetText(text);
    else out.Assign(bound);
    NormalizeKey(out, !text.empty());
  };
  TktVariant new_low, new_high;
  prepare(low, new_low);
  prepare(high, new_high);
  auto same = [](const TktVariant& a, const TktVariant& b) {
    if (a.empty() != b.empty()) return false;
    if (a.empty()) return true;
    return a.kind() == b.kind() && a.bytes() == b.bytes();
  };
  if (same(new_low, range_low_) && same(new_high, range_high_)) return false;
  range_low_.Clear();
  range_high_.Clear();
  range_mode_ = partial ? 0 : -1;
  low_inclusive_ = low_inclusive;
  high_inclusive_ = high_inclusive;
  if (!new_low.empty()) range_low_.Assign(&new_low);
  if (!new_high.empty()) range_high_.Assign(&new_high);
  Navigate(-3);
  return true;
}

// --- searches -------------------------------------------------------------

int32_t KTobjIndexTag::Seek(const KTobjIndexKeyData& key) {
  if (KTO_dBHandler* table = Table()) file_->SetExact(table->ExactKeyOnly);
  current_key_.Reference = 0;
  KTobjIndexKeyData clone;
  clone.CopyFrom(key);
  NormalizeKey(clone, true);
  const int partial = (file_->Exact() || updating_) ? -1 : 0;
  int r = 2;
  if (!updating_ && clone.Reference == kAnyRecord && !header_dirty_ && !TreeDirty()) {
    // A search for any record in an unchanged tree: over the stored nodes,
    // keeping whatever nodes are open for the next search.
    path_pending_ = false;
    r = SearchInPlace(clone, partial, pending_path_, current_key_);
    path_pending_ = r != 2;
    if (r == 2) current_key_.Reference = 0;
  }
  if (r == 2) {
    // The search positions the path itself; an unchanged tree is not read
    // again.
    if (!TreeCurrent() || (!updating_ && (TreeDirty() || header_dirty_))) ResetTree(2);
    current_key_.Reference = 0;
    if (!root_) return 0;
    r = partial == -1 ? SearchEntry(clone, clone.Reference) : root_->SearchKey(clone.Reference, clone, partial);
    if (r <= 0) root_->CopyCurrent(current_key_);
  }
  bof_ = eof_ = false;
  if (r == -1) {
    if (RangePosition() == -1) eof_ = true;
    return 0;
  }
  if (r == 0) {
    if (RangePosition() == 0) return current_key_.Reference;
    eof_ = true;
    return 0;
  }
  eof_ = true;
  return 0;
}

int32_t KTobjIndexTag::LookupKey(const KTobjIndexKeyData& key) {
  Materialize();
  // The tree in memory and its generation go back together: a tree read
  // before another process's change must not come back marked current.
  std::unique_ptr<KTobjIndexKey> saved_root = std::move(root_);
  const uint64_t saved_generation = root_generation_;
  KTobjIndexKeyData saved_key;
  saved_key.CopyFrom(current_key_);
  const bool saved_bof = bof_, saved_eof = eof_;
  int32_t found = 0;
  auto restore = [&] {
    root_.reset();
    path_pending_ = false;
    pending_path_.clear();
    root_ = std::move(saved_root);
    root_generation_ = saved_generation;
    current_key_.CopyFrom(saved_key);
  };
  try {
    found = Seek(key);
    ReleaseTree();
  } catch (...) {
    restore();
    throw;
  }
  restore();
  bof_ = saved_bof;
  eof_ = saved_eof;
  return found;
}

int32_t KTobjIndexTag::SyncToRecord(int32_t recno) {
  if (current_key_.Reference != recno) ResetTree(1);
  return current_key_.Reference;
}

// --- key maintenance ---------------------------------------------------------

bool KTobjIndexTag::UpdateKeys(int32_t recno, bool is_append) {
  KTO_dBHandler* table = Table();
  updating_ = true;
  keys_changed_ = false;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{updating_};
  // A prepared change serves this write once.
  PreparedChange* prepared = prepared_.valid && prepared_.in_place && prepared_.recno == recno &&
                                     prepared_.is_append == is_append &&
                                     prepared_.generation == file_->CacheGeneration()
                                 ? &prepared_
                                 : nullptr;
  prepared_.valid = false;
  if (table == nullptr) return false;
  if (!has_for_ && !table->RecordChanged()) return false;
  // A tree loaded only for this change is written and let go below (a
  // change in place needs none).
  const bool had_tree = HasTree();
  const bool for_ok = has_for_ ? EvalFor() : true;
  KTobjIndexKeyData& new_key = scratch_key_;
  if (!EvalKey(new_key, nullptr)) return false;
  new_key.Reference = new_key.RecordNumber = recno;
  if (prepared != nullptr && for_ok == prepared->for_ok && !TreeDirty() && !header_dirty_) {
    // The record may have changed since it was prepared (an event before
    // the write): only the key prepared takes the prepared path.
    KTobjIndexKeyData& stored = scratch_stored_;
    stored.CopyFrom(new_key);
    NormalizeKey(stored, true);
    if (stored.kind() == prepared->new_key.kind() && stored.bytes() == prepared->new_key.bytes() &&
        ApplyPrepared(*prepared)) {
      g_in_place_count.fetch_add(1, std::memory_order_relaxed);
      keys_changed_ = true;
      return true;
    }
  }
  KTobjIndexKeyData local_new(256);
  local_new.CopyFrom(new_key);
  Materialize();
  if (is_append) {
    if (for_ok) {
      // The tree in memory is the file's as long as nobody else wrote.
      if (!TreeCurrent()) ResetTree(2);
      InsertKey(local_new);
      keys_changed_ = true;
    }
  } else {
    KTobjIndexKeyData old_key(256);
    table->SetRecordBuffer(table->SavedRecordBuffer());
    bool evaluated = false;
    try {
      evaluated = EvalKey(old_key, nullptr);
    } catch (...) {
      table->SetRecordBuffer(nullptr);
      throw;
    }
    table->SetRecordBuffer(nullptr);
    old_key.Reference = old_key.RecordNumber = recno;
    const bool found = evaluated && Seek(old_key) > 0;
    KTobjIndexKeyData a, b;
    a.CopyFrom(local_new);
    b.CopyFrom(old_key);
    NormalizeKey(a, true);
    NormalizeKey(b, true);
    const bool same = evaluated && a.kind() == b.kind() && a.bytes() == b.bytes();
    if (same && for_ok) {
      if (!found) InsertKey(local_new);
    } else {
      if (found) root_->DeleteCurrent();
      if (for_ok) InsertKey(local_new);
    }
    keys_changed_ = true;
  }
  // A tree that was loaded before stays for the next change; the file's
  // Flush writes it.
  if (!had_tree && ChangesInPlace()) ReleaseTree();
  return keys_changed_;
}

}  // namespace tessera
