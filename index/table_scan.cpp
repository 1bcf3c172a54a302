#include "index/table_scan.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/dbf_handler.h"
#include "index/index_key.h"
#include "index/index_tag.h"
#include "index/key_sort.h"

namespace tessera {

void ScanTableRecords(KTO_dBHandler* table, const std::function<void(int32_t)>& visit) {
  if (table == nullptr) return;
  const int32_t count = table->RecordCount();
  const int32_t reclen = table->RecordLength();
  if (reclen <= 0) return;
  const int32_t saved_recno = table->CurrentRecord();
  const std::string saved(table->RecordBuffer(), static_cast<size_t>(reclen));
  struct Restore {
    KTO_dBHandler* table;
    int32_t recno;
    const std::string& bytes;
    ~Restore() {
      table->SetRecordBuffer(nullptr);
      table->SetCurrentRecord(recno);
      std::memcpy(table->RecordBuffer(), bytes.data(), bytes.size());
    }
  } restore{table, saved_recno, saved};
  table->StatusUpdate(-1, 1, count);
  const int32_t per_chunk = std::max<int32_t>(1, 65536 / reclen);
  std::vector<char> chunk(static_cast<size_t>(per_chunk) * static_cast<size_t>(reclen));
  int32_t chunk_first = 0, chunk_count = 0;
  for (int32_t n = 1; n <= count; ++n) {
    if (n >= chunk_first + chunk_count) {
      chunk_first = n;
      const int32_t want = std::min(per_chunk, count - n + 1);
      const int32_t got = table->ReadAt(table->RecordOffset(n), chunk.data(), want * reclen);
      chunk_count = got / reclen;
      if (chunk_count == 0) break;  // the file was cut meanwhile: the records that are there
    }
    table->SetCurrentRecord(n);
    // Keys are evaluated on the record where it lies in the chunk.
    table->SetRecordBuffer(chunk.data() + static_cast<size_t>(n - chunk_first) * static_cast<size_t>(reclen));
    table->StatusUpdate(1, n, 0);
    visit(n);
  }
  table->StatusUpdate(0, 0, 0);
  table->StatusUpdate(-1, 2, count);
}

void ReportScanDone(KTO_dBHandler* table) { table->StatusUpdate(0, 0, 0); }

void SortRecordKeys(KTobjIndexTag& tag, TktSort& sort) {
  KTobjIndexKeyData key(256);
  ScanTableRecords(tag.Table(), [&](int32_t n) {
    if (tag.HasFor() && !tag.EvalFor()) return;
    if (!tag.EvalKey(key, nullptr)) return;
    tag.NormalizeKey(key, true);
    sort.AddKey(key, n);
  });
}

}  // namespace tessera
