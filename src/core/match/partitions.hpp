// Splitting an event sequence into its partition runs, and running a per-run job over them on
// several native threads, with the results in exactly the order of a single-threaded pass.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

#include "system/cancel.hpp"
#include "system/cpu_count.hpp"
#include "model/model.hpp"
#include "tuning.hpp"

namespace vashlet {

// A maximal stretch [begin, end) of consecutive events with equal partitions. Indices are
// positions in the whole EventView, whichever worker handles the run.
struct Run {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// The end of the run that begins at `begin`: the first later index whose partition differs.
// The events it reads ahead of their turn, the run's job then finds in the cache.
// Where a table reader numbered the partitions, their numbers are compared instead, and the
// events are left for the run's job to fetch.
inline std::size_t run_end(const EventView& events, std::size_t begin) {
  if (const std::uint32_t* numbers = events.numbers().partitions) {
    const std::uint32_t number = numbers[begin];
    std::size_t end = begin + 1;
    while (end < events.size() && numbers[end] == number) ++end;
    return end;
  }
  const std::string& partition = events[begin].partition;
  return visit_events(events, begin + 1, events.size(), [&](std::size_t, const Event& event) {
    return same_bytes(event.partition, partition);
  });
}

// Calls visit(Run) for each run of events[begin, end), in order; `begin` must start a run and
// `end` end one.
template <class Visit>
void for_each_run(const EventView& events, std::size_t begin, std::size_t end, Visit&& visit) {
  while (begin < end) {
    const Run run{begin, run_end(events, begin)};
    visit(run);
    begin = run.end;
  }
}

// Boundaries of at most `parts` contiguous chunks of whole runs with about equal numbers of
// events: chunk c is [bounds[c], bounds[c + 1]). Never empty chunks; {0} for no events.
std::vector<std::size_t> chunk_bounds(const EventView& events, std::size_t parts);

// Runs work(c, first_failed) for every chunk c < chunks: chunk 0 on the calling thread, each
// other one on a kept worker thread (workers.hpp; on the calling thread too when no thread can
// be had).
// Returns once all have finished. `first_failed` is the lowest chunk that has thrown so far
// (`chunks` while none has): a chunk after it may stop early, since its results are dropped.
// Then rethrows the exception of the lowest failed chunk, which is the one a single-threaded
// pass would have met first; Cancelled instead once the call is cancelled (the calling thread
// asks while it waits).
using ChunkWork =
    std::function<void(std::size_t chunk, const std::atomic<std::size_t>& first_failed)>;
void run_chunks(std::size_t chunks, const ChunkWork& work);

// Lowers `first_failed` to `chunk`, unless a lower chunk has failed already.
inline void note_failure(std::atomic<std::size_t>& first_failed, std::size_t chunk) {
  std::size_t seen = first_failed.load();
  while (chunk < seen && !first_failed.compare_exchange_weak(seen, chunk)) {
  }
}

// Runs a job over every run of `events`, on up to `threads` threads. make_job() builds one job
// per worker (its private state); job(Run, Part& out) adds the run's results to the part of its
// chunk. Returns the parts, one per chunk of runs, in run order (one part for threads <= 1, or
// for a single run or none: the calling thread runs it all). The job must only read `events`
// and whatever else it shares. Each worker takes the next chunk that no other has taken, so that
// a worker slowed down (by a large partition, or by a core the system gives to someone else for
// a while) leaves more of the chunks to the others; a worker's chunks still come in ascending
// order. Exceptions as for run_chunks: the one of the lowest failed chunk, after all have
// finished.
// With `prepare`, prepare(begin, end, part) is called on the worker that fills a part before
// the runs of its chunk, events[begin, end), are added: a part can make room for what its chunk
// will add, in the worker's time.
template <class Part, class MakeJob, class Prepare>
std::vector<Part> map_run_chunks(const EventView& events, std::size_t threads,
                                 const MakeJob& make_job, const Prepare& prepare) {
  const std::vector<std::size_t> bounds =
      chunk_bounds(events, threads > 1 ? threads * tuning::kChunksPerThread : 1);
  const std::size_t chunks = bounds.size() - 1;
  std::vector<Part> parts(std::max<std::size_t>(chunks, 1));
  if (chunks <= 1) {
    auto job = make_job();
    prepare(std::size_t{0}, events.size(), parts[0]);
    Checkpoint checkpoint;
    for_each_run(events, 0, events.size(), [&](const Run& run) {
      checkpoint(run.end - run.begin);
      job(run, parts[0]);
    });
    return parts;
  }
  std::vector<std::exception_ptr> errors(chunks);
  std::atomic<std::size_t> next_chunk{0};
  std::atomic<std::size_t> first_failed{chunks};
  run_chunks(std::min(threads, chunks), [&](std::size_t, const std::atomic<std::size_t>&) {
    std::size_t c = next_chunk.fetch_add(1);
    if (c >= chunks) return;
    try {
      auto job = make_job();
      Checkpoint checkpoint;
      for (; c < chunks; c = next_chunk.fetch_add(1)) {
        if (first_failed.load(std::memory_order_relaxed) < c) return;  // dropped in any case
        prepare(bounds[c], bounds[c + 1], parts[c]);
        for_each_run(events, bounds[c], bounds[c + 1], [&](const Run& run) {
          if (first_failed.load(std::memory_order_relaxed) < c) return;
          checkpoint(run.end - run.begin);
          job(run, parts[c]);
        });
      }
    } catch (...) {  // the worker's state may be spoilt: it takes no further chunk
      errors[c] = std::current_exception();
      note_failure(first_failed, c);
    }
  });
  for (const std::exception_ptr& error : errors) {
    if (error) std::rethrow_exception(error);
  }
  return parts;
}

template <class Part, class MakeJob>
std::vector<Part> map_run_chunks(const EventView& events, std::size_t threads,
                                 const MakeJob& make_job) {
  return map_run_chunks<Part>(events, threads, make_job,
                              [](std::size_t, std::size_t, Part&) {});
}

// Maps every run of `events` to results, as map_run_chunks does with job(Run,
// std::vector<Result>& out) appending the run's results: the result is their concatenation in
// run order, the same for any `threads`.
template <class Result, class MakeJob>
std::vector<Result> map_runs(const EventView& events, std::size_t threads,
                             const MakeJob& make_job) {
  // Each chunk's vector in a cache line of its own: adjacent chunks grow theirs on different
  // threads at once, and each append writes the vector's end.
  struct alignas(64) Part {
    std::vector<Result> results;
  };
  std::vector<Part> parts = map_run_chunks<Part>(events, threads, [&] {
    return [job = make_job()](const Run& run, Part& part) mutable { job(run, part.results); };
  });
  if (parts.size() == 1) return std::move(parts[0].results);
  std::size_t total = 0;
  for (const Part& part : parts) total += part.results.size();
  std::vector<Result> out;
  out.reserve(total);
  for (Part& part : parts) {
    for (Result& result : part.results) out.push_back(std::move(result));
    std::vector<Result>().swap(part.results);  // free each part once moved
  }
  return out;
}

// The number of slices that `count` items are shared out in: at most one per `min_slice` items,
// at most `threads`, at least one.
inline std::size_t slice_count(std::size_t count, std::size_t threads, std::size_t min_slice) {
  return std::max<std::size_t>(1, std::min(threads, count / std::max<std::size_t>(min_slice, 1)));
}

// Runs work(s) for each slice s < slices, slice 0 on the calling thread (all of them there for
// one slice). Exceptions as for run_chunks.
template <class Work>
void run_slices(std::size_t slices, const Work& work) {
  if (slices == 1) {
    work(std::size_t{0});
    return;
  }
  run_chunks(slices, [&](std::size_t s, const std::atomic<std::size_t>&) { work(s); });
}

// Calls work(begin, end) on contiguous slices that cover [0, count), on up to `threads` threads
// (at most one slice per `min_slice` items; 1: one call on the calling thread). Exceptions as for
// run_chunks: the one of the lowest failed slice, after all have finished.
template <class Work>
void for_slices(std::size_t count, std::size_t threads, std::size_t min_slice, const Work& work) {
  if (count == 0) return;
  const std::size_t slices = slice_count(count, threads, min_slice);
  run_slices(slices, [&](std::size_t s) { work(count * s / slices, count * (s + 1) / slices); });
}

}  // namespace vashlet
