// Verification of an NDX file against its table: `tessera check` and the
// tests use it. It walks the file's own tree block by block (blocks inside
// the file, key counts that fit the block, children that do not loop,
// leaves at one depth), checks that the leaves' keys are in order and that
// every interior key is the greatest key below it and below every key of
// the next child, and compares the keys with the keys the records give.
#pragma once

#include <string>
#include <vector>

namespace tessera {

class KTobjNDXFile;

std::vector<std::string> CheckNdxFile(KTobjNDXFile& file);

}  // namespace tessera
