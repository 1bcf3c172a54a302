// KTobjCDXFile::CreateTags: several tags built side by side.
//
// A tag's build is two stages: gathering (a pass over the table, the keys
// evaluated and sorted into runs) and packing (the runs merged, the nodes
// written). Only packing touches the file, and the file's layout is the
// order of its allocations: each tag's header and then its nodes, tag after
// tag. So the tags are packed here one after the other, in the order given,
// on the calling thread, exactly as CreateTag packs them, while the next
// tag's keys are gathered on another thread (KTobjKeyGatherer) through a
// stand-in of its definition. The bytes of the file are those of CreateTag
// called for each tag in turn.
#include <memory>
#include <string>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "index/cdx_build.h"
#include "index/cdx_file.h"
#include "index/key_gatherer.h"
#include "index/key_sort.h"

namespace tessera {

bool KTobjCDXFile::CreateTags(const std::vector<TagDefinition>& tags, const std::function<void(size_t)>& built) {
  if (!opened_ || !directory_) return false;
  KTO_dBHandler* table = Table();
  if (NewCdxTagCollation() == 2)
    throw ETesseraError("The GENERAL collation is not supported; tags are built in byte order (MACHINE)");
  // Every definition first, on the table's current record as CreateTag
  // takes it: nothing is written unless all of them hold.
  std::vector<std::unique_ptr<KTobjCDXTag>> stand_ins;
  bool threads = TktSort::WorkerThreads() && tags.size() > 1 && table != nullptr;
  for (const TagDefinition& def : tags) {
    const std::string key_text = DirectoryKeyText(def.name);
    if (key_text.empty() || key_text.size() > 10)
      throw ETesseraError("Tag name " + key_text + " does not fit a compound index (1 to 10 characters)");
    auto stand_in = std::make_unique<KTobjCDXTag>(this, key_text, KTobjCDXTag::StandIn{});
    if (!stand_in->DefineKey(def.key_expr, def.unique, def.ascending, def.for_expr))
      throw ETesseraError("The key expression " + def.key_expr + " of tag " + key_text + " cannot be evaluated");
    // A memo field or a name of another table is read by one thread only.
    threads = threads && stand_in->ThreadSafeExpressions();
    stand_ins.push_back(std::move(stand_in));
  }
  if (table == nullptr) {
    for (size_t k = 0; k < tags.size(); ++k) {
      const TagDefinition& def = tags[k];
      if (!CreateTag(def.name, def.key_expr, def.unique, def.ascending, def.for_expr))
        throw ETesseraError("The key expression " + def.key_expr + " of tag " + def.name + " cannot be evaluated");
      if (built) built(k);
    }
    return true;
  }
  const int32_t count = table->RecordCount();
  std::vector<KTobjIndexTag*> order;
  for (const auto& stand_in : stand_ins) order.push_back(stand_in.get());
  KTobjKeyGatherer::BuildInOrder(
      table, order, threads,
      [count](KTobjIndexTag* tag, const TktSort::SpillSettings& spill) -> std::unique_ptr<TktSort> {
        return std::make_unique<KTobjSortCDX>(static_cast<KTobjCDXTag*>(tag), count, spill);
      },
      [&](size_t k, TktSort& keys) {
        const TagDefinition& def = tags[k];
        if (!AddTag(def.name, def.key_expr, def.unique, def.ascending, def.for_expr, static_cast<KTobjSortCDX*>(&keys)))
          throw ETesseraError("The key expression " + def.key_expr + " of tag " + stand_ins[k]->Name() +
                              " cannot be evaluated");
      },
      built);
  return true;
}

}  // namespace tessera
