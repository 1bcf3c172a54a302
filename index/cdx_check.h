// Verification of a compound index against its table: `tessera check` and
// the tests use it. For every tag it walks the tree node by node and checks
// the structure (node offsets, key counts, leaf packing and free space,
// sibling chains, separators, key order), then compares the keys with the
// keys the table's records give.
#pragma once

#include <string>
#include <vector>

namespace tessera {

class KTobjCDXFile;
class KTobjCDXTag;

// The faults found, one line each; empty when the index is sound.
std::vector<std::string> CheckCdxTag(KTobjCDXFile& file, KTobjCDXTag& tag);
std::vector<std::string> CheckCdxFile(KTobjCDXFile& file);

}  // namespace tessera
