// KTobjMDXFile::CreateTags: several tags of a multiple index built side by
// side.
//
// As for a compound index (cdx_create_tags.cpp): only packing touches the
// file, and the file's layout is the order of its allocations (each tag's
// header block, then its nodes, tag after tag). So the tags are packed here
// one after the other, in the order given, on the calling thread, exactly
// as CreateTag packs them, while the next tags' keys are gathered on other
// threads (KTobjKeyGatherer) through stand-ins of their definitions. The
// bytes of the file are those of CreateTag called for each tag in turn.
#include <memory>
#include <string>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "engine/text_helpers.h"
#include "index/key_gatherer.h"
#include "index/key_sort.h"
#include "index/mdx_build.h"
#include "index/mdx_file.h"
#include "platform/path.h"

namespace tessera {

bool KTobjMDXFile::CreateTags(const std::vector<TagDefinition>& tags, const std::function<void(size_t)>& built) {
  if (!opened_) return false;
  KTO_dBHandler* table = Table();
  // Every definition first, on the table's current record as CreateTag
  // takes it: nothing is written unless all of them hold.
  std::vector<std::unique_ptr<KTobjMDXTag>> stand_ins;
  bool threads = TktSort::WorkerThreads() && tags.size() > 1 && table != nullptr;
  for (const TagDefinition& def : tags) {
    const std::string tag_name = plat::UpperName(TrimText(def.name));
    if (tag_name.empty() || tag_name.size() > 10)
      throw ETesseraError("Tag name " + tag_name + " does not fit a multiple index (1 to 10 characters)");
    auto stand_in = std::make_unique<KTobjMDXTag>(this, tag_name, KTobjMDXTag::StandIn{});
    if (!stand_in->DefineKey(def.key_expr, def.unique, def.ascending, def.for_expr))
      throw ETesseraError("The key expression " + def.key_expr + " of tag " + tag_name + " cannot be evaluated");
    // A memo field or a name of another table is read by one thread only.
    threads = threads && stand_in->ThreadSafeExpressions();
    stand_ins.push_back(std::move(stand_in));
  }
  if (table == nullptr) {
    for (size_t k = 0; k < tags.size(); ++k) {
      const TagDefinition& def = tags[k];
      if (!CreateTag(def.name, def.key_expr, def.unique, def.ascending, def.for_expr))
        throw ETesseraError("The key expression " + def.key_expr + " of tag " + stand_ins[k]->Name() +
                            " cannot be evaluated");
      if (built) built(k);
    }
    return true;
  }
  std::vector<KTobjIndexTag*> order;
  for (const auto& stand_in : stand_ins) order.push_back(stand_in.get());
  KTobjKeyGatherer::BuildInOrder(
      table, order, threads,
      [](KTobjIndexTag* tag, const TktSort::SpillSettings& spill) -> std::unique_ptr<TktSort> {
        auto* mdx = static_cast<KTobjMDXTag*>(tag);
        return std::make_unique<KTobjSortMDX>(mdx, nullptr, mdx->Ascending(), mdx->Unique(), spill);
      },
      [&](size_t k, TktSort& keys) {
        const TagDefinition& def = tags[k];
        if (!AddTag(def.name, def.key_expr, def.unique, def.ascending, def.for_expr, static_cast<KTobjSortMDX*>(&keys)))
          throw ETesseraError("The key expression " + def.key_expr + " of tag " + stand_ins[k]->Name() +
                              " cannot be evaluated");
      },
      built);
  return true;
}

}  // namespace tessera
