// Whole-file index maintenance beside the record writes: the quick check a
// program runs when it opens an index (does every tag still hold one key per
// record?) and the rebuild of every tag of a file from its own definitions.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "index/index_file.h"

namespace tessera {

class KTO_dBHandler;

// Opens the index file `full_name` as the kind its extension names: .MDX a
// multiple index, .NTX and .NDX single-tag files, anything else a compound
// index. `create` makes a missing file (a single-tag file is then replaced
// as a whole). Opened() tells whether it could be read.
std::unique_ptr<KTobjIndexFile> MakeIndexFile(KTO_dBHandler* table, const std::string& full_name, bool create,
                                              bool shared, bool writable);

// The quick check: the write-in-progress mark of a writer that was
// stopped, and, for every tag that holds one key per record (no FOR
// condition, not unique), its key count against the table's record count
// (deleted records keep their keys). Keys are counted from the leaves'
// key counts, walking the leaf level from left to right; no record is
// read, so a million cards take a fraction of a second. Answers one line
// per fault, none when the file passed. A tree that cannot be walked is a
// fault too. Holds the file's lock while it counts, so that no writer is
// half-way.
std::vector<std::string> QuickCheckIndexFile(KTO_dBHandler& table, KTobjIndexFile& file);

// Rebuilds every tag of the index file `name` (the table's folder when it
// has none) with the bulk build, keeping each tag's name, key and FOR
// expressions, unique and descending options; answers the number of tags.
// The definitions are read from the file's tag directory and headers, so a
// file with damaged nodes or the write-in-progress mark is rebuilt; when
// the directory or a tag header itself cannot be read the definitions are
// lost and ETesseraError says so, leaving the file as it is. The file is
// rebuilt in place under its rebuild lock (KTobjIndexFile::LockForRebuild),
// so that other programs that have it open go on with the same file and
// find the new trees; while another program holds a lock in it for longer
// than the table's index lock wait, the rebuild is refused with
// "<file> is in use by another program" and nothing is changed. A compound
// index stopped half-way keeps every tag's definition and the
// write-in-progress mark, so the rebuild can simply be run again.
size_t ReindexIndexFile(KTO_dBHandler& table, const std::string& name);

}  // namespace tessera
