// Verification of an NTX file against its table: `tessera check` and the
// tests use it. It walks the file's own tree page by page (page offsets on
// the 1024-byte grid and inside the file, key counts and slot offsets that
// fit the page, children that do not loop, leaves at one depth), checks
// that the keys read in tree order (child 0, key 0, child 1, ...) are in
// the tag's order, so that every interior key separates its children, and
// compares the keys with the keys the records give.
#pragma once

#include <string>
#include <vector>

namespace tessera {

class KTobjNTXFile;

// The faults found, one line each; empty when the file is sound.
std::vector<std::string> CheckNtxFile(KTobjNTXFile& file);

}  // namespace tessera
