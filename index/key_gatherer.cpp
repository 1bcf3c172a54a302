#include "index/key_gatherer.h"

#include <algorithm>
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

}  // namespace

KTobjKeyGatherer::KTobjKeyGatherer(KTO_dBHandler* table, std::vector<Job> jobs, int threads)
    : table_(table),
      jobs_(std::move(jobs)),
      record_count_(table->RecordCount()),
      record_length_(table->RecordLength()),
      first_offset_(table->RecordOffset(1)),
      threads_(std::max(0, std::min(threads, static_cast<int>(jobs_.size())))),
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

std::unique_ptr<TktSort> KTobjKeyGatherer::Gather(size_t i, const std::function<void(int32_t)>& progress) {
  const Job& job = jobs_[i];
  std::unique_ptr<TktSort> sort = job.make_sort();
  if (record_length_ <= 0) return sort;
  KTobjIndexTag& tag = *job.tag;
  // Keys are evaluated on the record where it lies in the chunk, which
  // this thread alone sees as the table's current record.
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
    for (int32_t k = 0; k < count; ++k) {
      view.Show(chunk.data() + static_cast<size_t>(k) * static_cast<size_t>(record_length_), n + k);
      if (tag.HasFor() && !tag.EvalFor()) continue;
      if (!tag.EvalKey(key, nullptr)) continue;
      tag.NormalizeKey(key, true);
      sort->AddKey(key, n + k);
    }
    n += count;
    progress(n - 1);
    if (count < want) break;
  }
  return sort;
}

void KTobjKeyGatherer::Run() {
  for (;;) {
    size_t i = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      // Tag j begins once tag j - threads is being packed: threads + 1
      // sorts at most.
      changed_.wait(lock, [&] {
        return stop_ || failed_ || next_ >= jobs_.size() || next_ < taken_ + static_cast<size_t>(threads_);
      });
      if (stop_ || failed_ || next_ >= jobs_.size()) return;
      i = next_++;
    }
    State& state = states_[i];
    // The build's thread is woken for its reports about every 1/64 of the
    // pass, not at every chunk.
    const int32_t step = std::max<int32_t>(1, record_count_ / 64);
    int32_t told = 0;
    try {
      std::unique_ptr<TktSort> sort = Gather(i, [&](int32_t n) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (stop_) throw Stopped{};
          state.progress = n;
        }
        if (n - told >= step) {
          told = n;
          changed_.notify_all();
        }
      });
      {
        std::lock_guard<std::mutex> lock(mutex_);
        state.ready = std::move(sort);
      }
      changed_.notify_all();
    } catch (const Stopped&) {
      return;
    } catch (const ReadFailure& failure) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        state.read_error = failure.code != 0 ? failure.code : int32_t{plat::kErrReadFault};
        failed_ = true;
      }
      changed_.notify_all();
      return;
    } catch (...) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        state.error = std::current_exception();
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
    try {
      sort = Gather(i, report);
    } catch (const ReadFailure& failure) {
      read_failed(failure.code != 0 ? failure.code : int32_t{plat::kErrReadFault});
    }
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
  // Two tags are gathered at once while a third is packed: on two
  // processors the packing alone would leave one of them idle half the
  // time.
  constexpr int kGatheringThreads = 2;
  const int gatherers = threads ? kGatheringThreads : 0;
  TktSort::SpillSettings spill = TktSort::CurrentSpillSettings();
  spill.run_memory /= static_cast<size_t>(gatherers + 1);
  std::vector<Job> jobs;
  for (KTobjIndexTag* tag : tags) jobs.push_back({tag, [&make_sort, tag, spill] { return make_sort(tag, spill); }});
  KTobjKeyGatherer gatherer(table, std::move(jobs), gatherers);
  for (size_t k = 0; k < tags.size(); ++k) {
    std::unique_ptr<TktSort> keys = gatherer.Take(k);
    pack(k, *keys);
    keys.reset();
    if (built) built(k);
  }
}

}  // namespace tessera
