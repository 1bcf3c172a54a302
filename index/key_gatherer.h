// KTobjKeyGatherer: the keys of several tags of one table, gathered on
// threads of their own while the build's thread packs the tags gathered
// before, so that a build of many tags keeps every processor busy.
//
// Each tag's keys are gathered by one pass over the table, as a single
// tag's build gathers them (ScanTableRecords, SortRecordKeys): records 1 ..
// the record count in order, read straight from the table file in chunks,
// the FOR condition and the key evaluated by the tag given for it (a
// stand-in that no other thread uses) on the record read, the normalized
// key added to the tag's sort. A gathering thread reads records through a
// RecordView of its own, so the table's buffer and current record, which
// the build's thread goes on using, are never touched; and it reads the
// file with ReadShared, which changes nothing in the table object.
//
// A gathering thread gathers `per_pass` consecutive tags in one pass, each
// record read once for all of them: the passes over the table, each of
// which copies the whole table out of the system's cache, are then a
// fraction of the tags. Passes are begun in order, each by the first
// gathering thread free. Memory: a pass ending at tag e is begun only once
// the build's thread has taken tag e - threads * per_pass, so at most
// threads * per_pass + 1 sorts are alive at once (those being gathered and
// the one being packed); the caller's sort factory gives each its share.
// A tag whose gathering fails ends that of the tags after it in its pass
// (the tags before it are gathered to the end, as they would be alone);
// after a failure no further pass is begun.
//
// The table's status callback is called on the build's thread only, in
// Take, and hears each pass exactly as a single tag's build reports it:
// (-1, 1, count), (1, n, 0) for every record, (0, 0, 0), (-1, 2, count).
// A callback that throws (a user cancelling) stops the gathering.
//
// Without threads (`threads` 0) Take gathers the tag itself, on the
// calling thread; what comes out is the same.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "index/key_sort.h"

namespace tessera {

class KTO_dBHandler;
class KTobjIndexTag;

class KTobjKeyGatherer {
 public:
  struct Job {
    // Evaluates the tag's FOR condition and key; used by the gathering
    // thread alone from the start until Take(i) returns. Owned by the caller.
    KTobjIndexTag* tag = nullptr;
    // Makes the tag's sort (on the gathering thread).
    std::function<std::unique_ptr<TktSort>()> make_sort;
  };

  // Starts gathering the first tags on `threads` threads (none: Take
  // gathers, one tag a pass), `per_pass` tags (at least 1) in each pass.
  // The table and the jobs' tags must outlive this object.
  KTobjKeyGatherer(KTO_dBHandler* table, std::vector<Job> jobs, int threads, int per_pass = 1);
  // Stops the gathering (at its next chunk of records) and waits for it.
  ~KTobjKeyGatherer();
  KTobjKeyGatherer(const KTobjKeyGatherer&) = delete;
  KTobjKeyGatherer& operator=(const KTobjKeyGatherer&) = delete;

  // The sort of job i with every key of the table added, for i = 0, 1, ...
  // in order (each once). Reports the pass to the status callback
  // meanwhile. Raises what gathering the tag failed with (an evaluation
  // error, a work file that cannot be written, a read error of the table
  // reported as the table reports its own); nothing is gathered after a
  // failure.
  std::unique_ptr<TktSort> Take(size_t i);

  // The side-by-side build of a file's tags, whatever the format: the keys
  // of `tags` (stand-ins, in order) gathered by two threads, three tags a
  // pass, when `threads` (else on this one, a tag a pass), the sorts alive
  // at once sharing the run memory one sort alone may keep (`make_sort`
  // gets the share); each tag's sort
  // handed to `pack(k, sort)` on this thread in order, then `built(k)`.
  // Raises what gathering or packing raises; no tag is begun after that.
  static void BuildInOrder(
      KTO_dBHandler* table, const std::vector<KTobjIndexTag*>& tags, bool threads,
      const std::function<std::unique_ptr<TktSort>(KTobjIndexTag*, const TktSort::SpillSettings&)>& make_sort,
      const std::function<void(size_t, TktSort&)>& pack, const std::function<void(size_t)>& built);

 private:
  // What one pass over the table gathered for jobs [first, end).
  struct Pass {
    // The sorts of jobs [first, live_end), every key added.
    std::vector<std::unique_ptr<TktSort>> sorts;
    size_t live_end = 0;
    // Set when live_end < end: what job live_end failed with.
    std::exception_ptr error;
  };
  // Gathers jobs [first, end) into their sorts in one pass; `progress(n)`
  // after every chunk, the last record handled being n. A job's own
  // failure (its sort, its expressions, its work file) goes into `pass`;
  // raises ReadFailure when the table cannot be read, and what `progress`
  // raises.
  void Gather(size_t first, size_t end, const std::function<void(int32_t)>& progress, Pass& pass);
  void Run();

  KTO_dBHandler* const table_;
  const std::vector<Job> jobs_;
  const int32_t record_count_;
  const int32_t record_length_;
  const int64_t first_offset_;  // of record 1
  const int threads_;
  const size_t per_pass_;

  // What a gathering thread tells the build's thread of one job.
  struct State {
    int32_t progress = 0;            // records handled
    std::unique_ptr<TktSort> ready;  // complete
    std::exception_ptr error;        // failed
    int32_t read_error = 0;          // a read of the table failed (its code)
  };
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable changed_;  // under mutex_: any field below
  std::vector<State> states_;        // one per job
  size_t taken_ = 0;                 // jobs handed out by Take
  size_t next_ = 0;                  // the first job of the next pass
  bool failed_ = false;              // a job failed: begin no more
  bool stop_ = false;
};

}  // namespace tessera
