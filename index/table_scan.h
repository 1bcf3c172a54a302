// One pass over a table's records for a bulk index build.
#pragma once

#include <cstdint>
#include <functional>

namespace tessera {

class KTO_dBHandler;

// Reads records 1 .. RecordCount() in order, each into the table's record
// buffer with the table's current record set to it, and calls visit(recno).
// Records are read straight from the file in chunks of about 64 KB; a file
// cut short meanwhile ends the pass at its last whole record. The table's
// current record and buffer are put back afterwards, also when visit
// throws.
void ScanTableRecords(KTO_dBHandler* table, const std::function<void(int32_t)>& visit);

}  // namespace tessera
