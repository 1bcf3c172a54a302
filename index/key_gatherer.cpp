#include "index/key_gatherer.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "engine/record_view.h"
#include "index/index_key.h"
#include "index/index_tag.h"
#include "index/key_sort.h"
#include "platform/last_error.h"

namespace tessera {
namespace {

// Thrown on the gathering thread out of a progress report once the build
// has given up; never leaves this file.
struct Stopped {};

// A read of the table that failed on the gathering thread, whose error the
// build's thread reports as the table reports its own.
struct ReadFailure {
  int32_t code;
};

// The bytes of a character key up to its last non-blank, found a word at
// a time: most keys of a padded field end in a long run of blanks, and
// every later step (the tag's normalizing, the sort) would otherwise step
// back over them a byte at a time.
size_t TrimmedLength(const char* p, size_t n) {
  constexpr uint64_t kBlanks = 0x2020202020202020ull;
  while (n >= 8) {
    uint64_t word;
    std::memcpy(&word, p + n - 8, 8);
    if (word != kBlanks) break;
    n -= 8;
  }
  while (n > 0 && p[n - 1] == ' ') --n;
  return n;
}

}  // namespace

KTobjKeyGatherer::KTobjKeyGatherer(KTO_dBHandler* table, std::vector<Job> jobs, int threads, int per_pass)
    : table_(table),
      jobs_(std::move(jobs)),
      record_count_(table->RecordCount()),
      record_length_(table->RecordLength()),
      first_offset_(table->RecordOffset(1)),
      threads_(std::max(0, std::min(threads, static_cast<int>(jobs_.size())))),
      per_pass_(static_cast<size_t>(std::max(1, per_pass))),
      states_(jobs_.size()) {
  for (int k = 0; k < threads_; ++k) workers_.emplace_back([this] { Run(); });
}

KTobjKeyGatherer::~KTobjKeyGatherer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : workers_) t.join();
}

void KTobjKeyGatherer::Gather(size_t first, size_t end, const std::function<void(int32_t)>& progress, Pass& pass) {
  pass.sorts.clear();
  pass.live_end = first;
  pass.error = nullptr;
  // A job that fails ends its own gathering and that of the jobs after it
  // (they are never taken); the jobs before it go on in the same pass.
  auto drop_from = [&](size_t j) {
    pass.error = std::current_exception();
    pass.live_end = j;
    pass.sorts.resize(j - first);
  };
  for (size_t j = first; j < end; ++j) {
    try {
      pass.sorts.push_back(jobs_[j].make_sort());
    } catch (...) {
      drop_from(j);
      return;
    }
  }
  pass.live_end = end;
  if (record_length_ <= 0) return;
  // Keys are evaluated on the record where it lies in the chunk, which
  // this thread alone sees as the table's current record; every tag of the
  // pass reads the same record.
  RecordView view(table_);
  KTobjIndexKeyData key(256);
  const int32_t per_chunk = std::max<int32_t>(1, 65536 / record_length_);
  std::vector<char> chunk(static_cast<size_t>(per_chunk) * static_cast<size_t>(record_length_));
  for (int32_t n = 1; n <= record_count_;) {
    const int32_t want = std::min(per_chunk, record_count_ - n + 1);
    const int64_t got = table_->ReadShared(first_offset_ + int64_t{n - 1} * record_length_, chunk.data(),
                                           int64_t{want} * record_length_);
    if (got < 0) throw ReadFailure{plat::LastError()};
    // A file cut short meanwhile: the records that are there.
    const int32_t count = static_cast<int32_t>(got / record_length_);
    for (int32_t k = 0; k < count && pass.live_end > first; ++k) {
      view.Show(chunk.data() + static_cast<size_t>(k) * static_cast<size_t>(record_length_), n + k);
      size_t j = first;
      try {
        for (; j < pass.live_end; ++j) {
          KTobjIndexTag& tag = *jobs_[j].tag;
          if (tag.HasFor() && !tag.EvalFor()) continue;
          if (!tag.EvalKey(key, nullptr)) continue;
          // Trimmed here once, fast; the tag's normalizing and the sort
          // then find no blanks left to drop.
          if (key.kind() == VariantKind::kCharacter) {
            const size_t size = static_cast<size_t>(key.size());
            const size_t kept = TrimmedLength(key.bytes().data(), size);
            if (kept != size) key.SetSize(static_cast<int32_t>(kept));
          }
          tag.NormalizeKey(key, true);
          pass.sorts[j - first]->AddKey(key, n + k);
        }
      } catch (...) {
        // Job j failed on this record; the jobs before it have it already.
        drop_from(j);
      }
    }
    if (pass.live_end == first) return;
    n += count;
    progress(n - 1);
    if (count < want) break;
  }
}

void KTobjKeyGatherer::Run() {
  const size_t jobs = jobs_.size();
  for (;;) {
    size_t first = 0, end = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      // A pass ending at job e begins once job e - threads * per_pass is
      // being packed: threads * per_pass + 1 sorts at most.
      changed_.wait(lock, [&] {
        return stop_ || failed_ || next_ >= jobs ||
               std::min(next_ + per_pass_, jobs) <= taken_ + static_cast<size_t>(threads_) * per_pass_;
      });
      if (stop_ || failed_ || next_ >= jobs) return;
      first = next_;
      end = std::min(next_ + per_pass_, jobs);
      next_ = end;
    }
    // The build's thread is woken for its reports about every 1/64 of the
    // pass, not at every chunk.
    const int32_t step = std::max<int32_t>(1, record_count_ / 64);
    int32_t told = 0;
    Pass pass;
    try {
      Gather(first, end, [&](int32_t n) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (stop_) throw Stopped{};
          for (size_t j = first; j < pass.live_end; ++j) states_[j].progress = n;
        }
        if (n - told >= step) {
          told = n;
          changed_.notify_all();
        }
      }, pass);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t j = first; j < pass.live_end; ++j) states_[j].ready = std::move(pass.sorts[j - first]);
        if (pass.error) {
          states_[pass.live_end].error = pass.error;
          failed_ = true;
        }
      }
      changed_.notify_all();
      if (pass.error) return;
    } catch (const Stopped&) {
      return;
    } catch (const ReadFailure& failure) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t j = first; j < end; ++j)
          states_[j].read_error = failure.code != 0 ? failure.code : int32_t{plat::kErrReadFault};
        failed_ = true;
      }
      changed_.notify_all();
      return;
    } catch (...) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        states_[first].error = std::current_exception();
        failed_ = true;
      }
      changed_.notify_all();
      return;
    }
  }
}

std::unique_ptr<TktSort> KTobjKeyGatherer::Take(size_t i) {
  table_->StatusUpdate(-1, 1, record_count_);
  int32_t reported = 0;
  auto report = [&](int32_t n) {
    for (; reported < n; ++reported) table_->StatusUpdate(1, reported + 1, 0);
  };
  auto read_failed = [&](int32_t code) {
    table_->ReportIoError(code, kSubRead);
    throw ETesseraError("Read error in " + table_->FileName());
  };
  std::unique_ptr<TktSort> sort;
  if (threads_ == 0) {
    Pass pass;
    try {
      Gather(i, i + 1, report, pass);
    } catch (const ReadFailure& failure) {
      read_failed(failure.code != 0 ? failure.code : int32_t{plat::kErrReadFault});
    }
    if (pass.error) std::rethrow_exception(pass.error);
    sort = std::move(pass.sorts[0]);
  } else {
    State& state = states_[i];
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] {
        return state.ready || state.error || state.read_error != 0 || state.progress > reported;
      });
      const int32_t upto = state.progress;
      if (state.ready) {
        sort = std::move(state.ready);
        taken_ = i + 1;
        lock.unlock();
        changed_.notify_all();
        report(upto);
        break;
      }
      if (state.error || state.read_error != 0) {
        const std::exception_ptr error = state.error;
        const int32_t code = state.read_error;
        lock.unlock();
        report(upto);
        if (error) std::rethrow_exception(error);
        read_failed(code);
      }
      lock.unlock();
      // The callback may throw (a user giving up): the destructor stops
      // the threads.
      report(upto);
      lock.lock();
    }
  }
  table_->StatusUpdate(0, 0, 0);
  table_->StatusUpdate(-1, 2, record_count_);
  return sort;
}

void KTobjKeyGatherer::BuildInOrder(
    KTO_dBHandler* table, const std::vector<KTobjIndexTag*>& tags, bool threads,
    const std::function<std::unique_ptr<TktSort>(KTobjIndexTag*, const TktSort::SpillSettings&)>& make_sort,
    const std::function<void(size_t, TktSort&)>& pack, const std::function<void(size_t)>& built) {
  // Two passes are gathered at once while a tag is packed: on two
  // processors the packing alone would leave one of them idle half the
  // time.
  constexpr int kGatheringThreads = 2;
  // Each pass reads the table for three tags: of the eleven tags of the
  // callbook, four passes instead of eleven. More tags a pass would keep
  // more sorts alive, each with a smaller share of the run memory.
  constexpr int kTagsPerPass = 3;
  const int gatherers = threads ? kGatheringThreads : 0;
  const int per_pass = threads ? kTagsPerPass : 1;
  TktSort::SpillSettings spill = TktSort::CurrentSpillSettings();
  spill.run_memory /= static_cast<size_t>(gatherers * per_pass + 1);
  std::vector<Job> jobs;
  for (KTobjIndexTag* tag : tags) jobs.push_back({tag, [&make_sort, tag, spill] { return make_sort(tag, spill); }});
  KTobjKeyGatherer gatherer(table, std::move(jobs), gatherers, per_pass);
  for (size_t k = 0; k < tags.size(); ++k) {
    std::unique_ptr<TktSort> keys = gatherer.Take(k);
    pack(k, *keys);
    keys.reset();
    if (built) built(k);
  }
}

}  // namespace tessera
