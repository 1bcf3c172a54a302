// Verification of a multiple index against its table: `tessera check` and
// the tests use it. For every tag it walks the tree node by node and checks
// the structure (node pages, key counts, leaves at one depth, separators,
// key order, unique keys), then compares the keys with the keys the
// table's records give.
#pragma once

#include <string>
#include <vector>

namespace tessera {

class KTobjMDXFile;
class KTobjMDXTag;

// The faults found, one line each; empty when the index is sound.
std::vector<std::string> CheckMdxTag(KTobjMDXFile& file, KTobjMDXTag& tag);
std::vector<std::string> CheckMdxFile(KTobjMDXFile& file);

}  // namespace tessera
