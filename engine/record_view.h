// RecordView: a record that one thread reads in place of a table's current
// record, for as long as the view lives.
//
// A bulk index build evaluates keys on several threads at once, each on
// records of its own. While a thread holds a view of a table, that thread's
// reads of the current record (RecordBytes, the const RecordBuffer,
// CurrentRecord, IsDeleted and every field accessor built on them) see the
// view's bytes and number; other threads, and the table's own buffer and
// current record, are not affected. The bytes are the caller's and are only
// read. Views nest: the one made last holds until it is destroyed.
#pragma once

#include <cstdint>

namespace tessera {

class KTO_dBaseDBF;

struct ThreadRecord {
  const KTO_dBaseDBF* table = nullptr;  // the table viewed, null: none
  const char* bytes = nullptr;          // RecordLength() bytes
  int32_t number = 0;
};

// This thread's view (defined in dbf_table.cpp). Constant-initialized, so
// that no initialization call stands before each access (GCC 12 with
// -fsanitize=null took the test for that call's presence as the null test
// of the address, and reported a null pointer).
extern thread_local constinit ThreadRecord t_thread_record;

class RecordView {
 public:
  explicit RecordView(const KTO_dBaseDBF* table) : saved_(t_thread_record) { t_thread_record = {table, nullptr, 0}; }
  ~RecordView() { t_thread_record = saved_; }
  RecordView(const RecordView&) = delete;
  RecordView& operator=(const RecordView&) = delete;

  // The record this thread reads from now on.
  void Show(const char* bytes, int32_t number) {
    t_thread_record.bytes = bytes;
    t_thread_record.number = number;
  }

 private:
  ThreadRecord saved_;
};

}  // namespace tessera
