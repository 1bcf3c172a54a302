#include "index/index_key.h"

#include "index/index_file.h"
#include "index/index_tag.h"

namespace tessera {

namespace {
// No real tree is this deep; a deeper one has a child chain that loops.
constexpr int kMaxTreeDepth = 64;
}  // namespace

KTobjIndexKey::KTobjIndexKey(KTobjIndexTag* tag, KTobjIndexKey* parent_node, int32_t node_offset)
    : offset(node_offset), parent(parent_node), tag_(tag) {
  if (node_offset > 0) {
    tag_->LoadInto(node_offset, *this);
    dirty = false;
  }
}

KTobjIndexKey::~KTobjIndexKey() = default;

bool KTobjIndexKey::PathDirty() const {
  for (const KTobjIndexKey* n = this; n != nullptr; n = n->child_.get())
    if (n->dirty) return true;
  return false;
}

void KTobjIndexKey::ReleaseChild() {
  if (!child_) return;
  tag_->FlushNode(*child_);
  child_.reset();
}

bool KTobjIndexKey::OpenChild(int32_t child_offset) {
  if (IsLeaf()) return false;
  if (child_ && child_->offset == child_offset && !child_->split) return true;
  // A child that is one of its own ancestors, or a path deeper than any
  // real tree, means the file is damaged.
  int depth = 0;
  for (const KTobjIndexKey* n = this; n != nullptr; n = n->parent, ++depth)
    if (n->offset == child_offset || depth > kMaxTreeDepth) tag_->File()->Corrupt("tag " + tag_->Name() + ", node " + std::to_string(child_offset) + " (the tree loops)");
  if (child_ && !child_->split && !child_->PathDirty()) {
    // The open child is clean: its object (and the nodes open below it)
    // takes the new node, so a walk or a search does not allocate a node
    // per step. A node open below keeps its place only while its offset is
    // asked for again, which means the same node on disk.
    child_->offset = child_offset;
    try {
      tag_->LoadInto(child_offset, *child_);
    } catch (...) {
      child_.reset();  // half read: nothing of it may be used
      throw;
    }
    child_->dirty = false;
    return true;
  }
  ReleaseChild();
  child_ = std::make_unique<KTobjIndexKey>(tag_, this, child_offset);
  return true;
}

int KTobjIndexKey::SearchKey(int32_t recno, const KTobjIndexKeyData& target, int partial) {
  position = 0;
  if (Count() == 0) return 1;
  const bool by_record = tag_->File()->DuplicatesByRecord();
  int r = 1;
  while (r > 0) {
    if (position >= Size()) return r;
    const KTobjIndexKeyData& e = *Entry(position);
    r = tag_->CompareKeys(target, e, partial);
    if (r == 0 && recno == KTobjIndexTag::kAfterEqual) r = 1;
    if (r == 0 && recno != KTobjIndexTag::kAnyRecord && by_record) {
      if (e.RecordNumber < recno) r = 1;
      else if (e.RecordNumber > recno) r = -1;
    }
    if (r <= 0 || position == Size() - 1) {
      if (!IsLeaf()) {
        OpenChild(e.Reference);
        r = child_->SearchKey(recno, target, partial);
      } else if (r == 0 && recno != KTobjIndexTag::kAnyRecord) {
        if (by_record) {
          if (e.Reference < recno) r = 1;
          else if (e.Reference > recno) r = -1;
        } else if (e.Reference != recno) {
          r = 1;
        }
      }
    }
    if (r > 0) ++position;
  }
  return r;
}

bool KTobjIndexKey::DescendFirst() {
  if (Count() == 0) return false;
  if (IsLeaf()) {
    position = 0;
    tag_->current_key_.CopyFrom(*Entry(0));
    return true;
  }
  // An empty child (possible in files other programs wrote) is skipped.
  for (position = 0; position < Size(); ++position) {
    OpenChild(Entry(position)->Reference);
    if (child_->DescendFirst()) return true;
  }
  position = Size() - 1;
  return false;
}

bool KTobjIndexKey::DescendLast() {
  if (Count() == 0) return false;
  if (IsLeaf()) {
    position = Size() - 1;
    tag_->current_key_.CopyFrom(*Entry(position));
    return true;
  }
  for (position = Size() - 1; position >= 0; --position) {
    OpenChild(Entry(position)->Reference);
    if (child_->DescendLast()) return true;
  }
  position = 0;
  return false;
}

bool KTobjIndexKey::ReadCurrent() {
  if (Count() == 0 || position < 0 || position >= Size()) return false;
  if (IsLeaf()) {
    tag_->current_key_.CopyFrom(*Entry(position));
    return true;
  }
  OpenChild(Entry(position)->Reference);
  return child_->ReadCurrent();
}

bool KTobjIndexKey::StepNext() {
  if (Count() == 0) return false;
  if (IsLeaf()) {
    ++position;
    if (position >= Size()) {
      position = Size();
      return false;
    }
    tag_->current_key_.CopyFrom(*Entry(position));
    return true;
  }
  if (position < 0) position = 0;
  while (position < Size()) {
    OpenChild(Entry(position)->Reference);
    if (!child_->IsLeaf() && child_->position == -1) child_->position = 0;
    if (child_->StepNext()) return true;
    ++position;
  }
  position = Size() - 1;
  return false;
}

bool KTobjIndexKey::StepPrior() {
  if (Count() == 0) return false;
  if (IsLeaf()) {
    if (position > Size()) position = Size();
    --position;
    if (position >= 0) {
      tag_->current_key_.CopyFrom(*Entry(position));
      return true;
    }
    position = -1;
    return false;
  }
  if (position >= Size()) position = Size() - 1;
  while (position >= 0) {
    OpenChild(Entry(position)->Reference);
    if (child_->position == -1) child_->position = child_->IsLeaf() ? child_->Size() : child_->Size() - 1;
    if (child_->StepPrior()) return true;
    --position;
  }
  position = 0;
  return false;
}

int KTobjIndexKey::CopyCurrent(KTobjIndexKeyData& key) {
  int flags = 3;
  for (KTobjIndexKey* n = this; n != nullptr; n = n->child_.get()) {
    if (n->position != 0) flags &= ~1;
    if (n->position != n->Size() - 1) flags &= ~2;
    if (n->IsLeaf() || !n->child_) {
      if (n->position >= 0 && n->position < n->Size()) key.CopyFrom(*n->Entry(n->position));
      break;
    }
  }
  return flags;
}

int32_t KTobjIndexKey::FindChildEntry(int32_t child_offset) const {
  for (int32_t i = 0; i < Size(); ++i)
    if (Entry(i)->Reference == child_offset) return i;
  return -1;
}

void KTobjIndexKey::InsertAt(const KTobjIndexKeyData& key, bool after) {
  if (child_) {
    child_->InsertAt(key, after);
    return;
  }
  auto clone = key.Clone();
  if (after) ++position;
  if (position < 0) position = 0;
  if (position > Size()) position = Size();
  if (parent != nullptr && position >= Size()) {
    // The new entry becomes this node's last: it is the new separator.
    KTobjIndexKeyData separator;
    separator.CopyFrom(*clone);
    separator.Reference = offset;
    UpdateParentKey(separator);
  }
  Insert(static_cast<size_t>(position), std::move(clone));
  dirty = true;
}

void KTobjIndexKey::UpdateParentKey(const KTobjIndexKeyData& key) {
  if (parent == nullptr) return;
  const int32_t i = parent->FindChildEntry(offset);
  parent->dirty = true;
  if (i < 0) {
    // Not linked (should not happen): enter it after the parent's last.
    removed = false;
    auto sep = key.Clone();
    sep->Reference = offset;
    parent->Insert(parent->Count(), std::move(sep));
    return;
  }
  KTobjIndexKeyData& e = *parent->Entry(i);
  const int32_t ref = e.Reference;
  e.CopyFrom(key);
  e.Reference = ref;
  if (i == parent->Size() - 1 && parent->parent != nullptr) {
    KTobjIndexKeyData up;
    up.CopyFrom(key);
    up.Reference = parent->offset;
    parent->UpdateParentKey(up);
  }
}

void KTobjIndexKey::RemoveEntry(int32_t i) {
  const bool was_last = i == Size() - 1;
  Delete(static_cast<size_t>(i));
  dirty = true;
  if (position > i) --position;
  if (position >= Size()) position = Size() - 1;
  if (position < 0) position = 0;
  if (!was_last) return;
  if (parent == nullptr) {
    // An interior root that lost its last child becomes an empty leaf, so
    // the next key can be inserted into it.
    if (Count() == 0 && !IsLeaf()) {
      child_.reset();
      kind = kLeaf;
    }
    return;
  }
  if (Count() == 0) {
    RemoveFromParent();
  } else {
    KTobjIndexKeyData separator;
    separator.CopyFrom(*Entry(Size() - 1));
    separator.Reference = offset;
    UpdateParentKey(separator);
  }
}

void KTobjIndexKey::DeleteCurrent() {
  dirty = true;
  if (child_) {
    child_->DeleteCurrent();
    return;
  }
  if (position < 0 || position >= Size()) return;
  RemoveEntry(position);
}

void KTobjIndexKey::RemoveFromParent() {
  if (parent == nullptr) return;
  const int32_t i = parent->FindChildEntry(offset);
  if (i < 0) return;
  removed = true;
  dirty = true;
  parent->RemoveEntry(i);
}

void KTobjIndexKey::InsertSeparator(const KTobjIndexKeyData& separator) {
  if (parent == nullptr) GrowRoot();
  const int32_t i = parent->FindChildEntry(offset);
  auto sep = separator.Clone();
  const int32_t at = i < 0 ? parent->Size() : i;
  parent->Insert(static_cast<size_t>(at), std::move(sep));
  parent->dirty = true;
  if (parent->position >= at) ++parent->position;
  split = true;
}

void KTobjIndexKey::GrowRoot() {
  // The new root takes this node's block, so the root stays where the tag
  // header says; this node moves to a new block.
  auto root = std::make_unique<KTobjIndexKey>(tag_, nullptr, 0);
  root->kind = kInterior;
  root->offset = offset;
  root->dirty = true;
  offset = tag_->File()->AllocateNode();
  auto entry = std::make_unique<KTobjIndexKeyData>();
  if (Count() > 0) entry->CopyFrom(*Entry(Size() - 1));
  entry->Reference = offset;
  root->Insert(0, std::move(entry));
  root->position = 0;
  parent = root.get();
  std::unique_ptr<KTobjIndexKey> self = tag_->TakeRoot();
  root->child_ = std::move(self);
  tag_->ReplaceRoot(std::move(root));
}

}  // namespace tessera
