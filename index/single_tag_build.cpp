#include "index/single_tag_build.h"

#include <memory>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "index/key_gatherer.h"
#include "index/key_sort.h"
#include "index/ndx_build.h"
#include "index/ndx_file.h"
#include "index/ntx_build.h"
#include "index/ntx_file.h"

namespace tessera {

void BuildSingleTagFiles(KTO_dBHandler* table, const std::vector<SingleTagBuild>& builds,
                         const std::function<void(size_t)>& begin, const std::function<void(size_t)>& built) {
  const auto cannot_evaluate = [](const SingleTagBuild& b) {
    return ETesseraError("The key expression " + b.key_expr + " of tag " + b.name + " cannot be evaluated");
  };
  // Every definition first, through a stand-in that writes nothing.
  std::vector<std::unique_ptr<KTobjIndexTag>> stand_ins;
  bool threads = TktSort::WorkerThreads() && builds.size() > 1;
  for (const SingleTagBuild& b : builds) {
    std::unique_ptr<KTobjIndexTag> stand_in;
    if (auto* ndx = dynamic_cast<KTobjNDXFile*>(b.file)) {
      stand_in = ndx->StandInTag(b.key_expr, b.unique, b.ascending, b.for_expr);
    } else if (auto* ntx = dynamic_cast<KTobjNTXFile*>(b.file)) {
      stand_in = ntx->StandInTag(b.key_expr, b.unique, b.ascending, b.for_expr);
    } else {
      throw ETesseraError("Only NDX and NTX files are built one tag a file side by side");
    }
    if (!stand_in) throw cannot_evaluate(builds[stand_ins.size()]);
    // A memo field or a name of another table is read by one thread only.
    threads = threads && stand_in->ThreadSafeExpressions();
    stand_ins.push_back(std::move(stand_in));
  }
  const auto make_sort = [](KTobjIndexTag* tag, const TktSort::SpillSettings& spill) -> std::unique_ptr<TktSort> {
    if (auto* ndx = dynamic_cast<KTobjNDXTag*>(tag)) return std::make_unique<KTobjSortNdx>(ndx, spill);
    return std::make_unique<KTobjSortNTX>(static_cast<KTobjNTXTag*>(tag), spill);
  };
  const auto pack = [&](size_t k, TktSort& keys) {
    const SingleTagBuild& b = builds[k];
    if (begin) begin(k);
    bool ok = false;
    if (auto* ndx = dynamic_cast<KTobjNDXFile*>(b.file))
      ok = ndx->CreateTagWithKeys(b.key_expr, b.unique, static_cast<KTobjSortNdx&>(keys));
    else
      ok = static_cast<KTobjNTXFile*>(b.file)->CreateTagWithKeys(b.key_expr, b.unique, b.ascending, b.for_expr,
                                                                 static_cast<KTobjSortNTX&>(keys));
    if (!ok) throw cannot_evaluate(b);
  };
  // A stand-in refers to its file, which `built` may close and destroy:
  // it goes first (nothing reads a tag's stand-in once it is packed).
  const auto done = [&](size_t k) {
    stand_ins[k].reset();
    if (built) built(k);
  };
  std::vector<KTobjIndexTag*> order;
  for (const auto& stand_in : stand_ins) order.push_back(stand_in.get());
  if (table->RecordCount() == 0) {
    // No pass over the table to report: each file gets its empty tree.
    for (size_t k = 0; k < order.size(); ++k) {
      std::unique_ptr<TktSort> none = make_sort(order[k], TktSort::CurrentSpillSettings());
      pack(k, *none);
      none.reset();
      done(k);
    }
    return;
  }
  KTobjKeyGatherer::BuildInOrder(table, order, threads, make_sort, pack, done);
}

}  // namespace tessera
