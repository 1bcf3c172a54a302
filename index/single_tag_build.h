// BuildSingleTagFiles: several single-tag index files (NDX, NTX) built side
// by side from one table.
//
// Each file holds one tag, so each is packed on its own; but the keys of
// the files after the one being packed are gathered meanwhile on other
// threads, as a compound file's tags are (KTobjKeyGatherer::BuildInOrder),
// through a stand-in of each file's tag. The files are packed in the order
// given, on the calling thread, each exactly as its file's CreateTag packs
// it: every file comes out byte for byte as from CreateTag alone, and the
// table's status callback hears the passes in that order too.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace tessera {

class KTO_dBHandler;
class KTobjIndexFile;

// One file of the build and its tag's definition (CreateTag's arguments).
struct SingleTagBuild {
  KTobjIndexFile* file = nullptr;  // an NDX or NTX file opened for building; owned by the caller
  std::string name;                // the tag's name as given, for messages
  std::string key_expr;
  std::string for_expr;
  bool unique = false;
  bool ascending = true;
};

// Every definition is checked first, on the table's current record as
// CreateTag takes it (what it refuses raises; a key that cannot be
// evaluated raises): nothing is written unless all of them hold. Then for
// each file k in order: `begin(k)`, its tag made, `built(k)`. Raises what
// gathering or packing raises; no file is begun after that.
void BuildSingleTagFiles(KTO_dBHandler* table, const std::vector<SingleTagBuild>& builds,
                         const std::function<void(size_t)>& begin, const std::function<void(size_t)>& built);

}  // namespace tessera
