// The tuning constants of every stage in one place (the model's look-ups, the matchers, the
// near-miss search, the table readers and writers, the threads), each with what it trades. It
// sits beside the stages rather than in one of them, since the model below the matchers reads
// it too. They change no result, only which path runs and how far ahead memory is fetched;
// they were tuned on a 2-core machine with a few MiB of last-level cache. Tests that need to
// cross a threshold read it through the module's test hook (_core._tuning) rather than
// hard-coding it.
#pragma once

#include <chrono>
#include <cstddef>

namespace vashlet::tuning {

// ---- Fetching ahead. Larger distances hide more memory latency, but fetch lines that the
// cache may evict again before their turn, and waste the fetches at a run's end.

// Events fetched ahead of a streaming pass over them (visit_events).
constexpr std::size_t kEventsAhead = 16;
// Bytes of an event's attributes fetched when its type is named: covers the usual handful of
// attributes in a few lines; more would fetch what most atoms never read.
constexpr std::size_t kAttributeBytes = 256;
// The step matcher's look-ahead over a long run: type ids found this many events early.
constexpr std::size_t kTypesAhead = 16;
// Buckets of the by-value indexes fetched this many events ahead, once their attributes (fetched
// kTypesAhead early) have arrived: half way, so both have time.
constexpr std::size_t kProbesAhead = kTypesAhead / 2;
// Matches gathered from all over a run's result when the run's matches are reordered.
constexpr std::size_t kReorderAhead = 16;
// Matches (or events) fetched ahead of their copying: the events twice as far, then their
// attributes (or bound values).
constexpr std::size_t kCopyAhead = 8;
// Bytes of an event's attributes fetched ahead of its copy into a Python object, which reads them
// all: twice the matchers' budget.
constexpr std::size_t kCopiedAttributeBytes = 512;
// Events whose correlating attribute is fetched ahead while a long run is grouped by key, and
// key-table slots fetched ahead while the keys are numbered.
constexpr std::size_t kKeyAttributesAhead = 8;
constexpr std::size_t kKeySlotsAhead = 16;
// Events of a run per slot of the key table that its grouping starts with: one key per eight
// events fits without growing the table (a key takes two slots). More events per slot: a smaller
// table to clear where keys are few, but a rehash or more where they are many.
constexpr std::size_t kEventsPerKeySlot = 4;

// ---- Strategies per run.

// Runs of up to this many events are matched from the cache: their events are read in a staged
// block and only those of named types visited (the "staged" path); longer runs are read as they
// are matched, with the look-ahead above (the "streamed" path). Larger: more runs take the cheaper
// passes, but a run that outgrows the cache between passes reads memory twice.
constexpr std::size_t kCachedRun = 1024;
// Events whose type ids are staged at once for the runs that fit the cache: a block keeps the
// memory busy across run boundaries; larger blocks stop fitting the cache.
constexpr std::size_t kStagedBlock = 1024;
// Runs from this many events on are split by their correlating key, where the pattern has one
// (the "keyed" path): grouping costs a pass and a sort, which pays only once a run's waiting
// partial matches no longer fit the cache.
constexpr std::size_t kSplitFrom = std::size_t{1} << 14;
// Exhaustive mode: runs from this many events on index the last event per key for the
// reachability test; shorter runs test reachability without, where the index costs more.
constexpr std::size_t kReachIndexFrom = 1024;
// A step files its waiting partial matches by value once more than this many wait: a few are
// quicker to scan than to file.
constexpr std::size_t kFileAbove = 24;
// Matches are put in order by counting once there is at least one per this many events of the
// span they start in; sparser ones are compared, which costs a growing factor per match.
constexpr std::size_t kCountingSortRatio = 16;
// Exhaustive matches are added to the call's shared budget in batches of this many: fewer
// atomic updates, at the cost of passing the limit by up to a batch before it is noticed.
constexpr std::size_t kMatchesPerAdd = 4096;
// Event types compared by key one after another, up to this many names; more are hashed.
constexpr std::size_t kTypesCompared = 8;

// ---- Writing result tables.

// Rows of a table (or events) that one of the reader's threads takes at least, in each pass of
// reading, sorting and building events: each slice costs a hand-off to a worker, which a few
// thousand rows' work repays. A batch (an Arrow chunk, a Parquet row group) is shared out on its
// own, so batches of tens of thousands of rows, as producers often give, need slices below that.
constexpr std::size_t kReaderRowsPerSlice = std::size_t{1} << 14;
// Rows of a result table that one thread writes at least, when its columns are written by slices
// of rows on several threads: each slice costs a hand-off to a worker and a pass's warm-up, which
// a few milliseconds of writing repay. Slices are cut at multiples of 64 rows whatever this is.
constexpr std::size_t kTableRowsPerSlice = std::size_t{1} << 14;
// Events whose starts one thread counts at least, when a funnel counts them on several threads:
// a test per event is cheap, so a slice needs more of them to repay its hand-off to a worker.
constexpr std::size_t kStartsCountedPerSlice = std::size_t{1} << 16;

// ---- Threads (workers.hpp, partitions.hpp).

// How long a kept worker thread waits for another parallel region before it leaves: long enough
// to span the gaps between a call's regions and between the calls of a loop, short enough that
// a process that stops calling soon has none.
constexpr auto kWorkerIdle = std::chrono::seconds(2);
// Chunks of runs per thread that map_run_chunks hands out: enough for the workers to even out
// their loads, few enough that each chunk is long.
constexpr std::size_t kChunksPerThread = 4;

// ---- Looking values up: open-addressing tables (SlotTable, model/slot_table.hpp) and named maps.

// Slots per entry at most: a table grows before it is more than half full. Emptier tables probe
// fewer slots per look-up but clear and fetch more of them.
constexpr std::size_t kSlotsPerEntry = 2;
// Storage cleared for another use (a table's slots, what its entries own) is kept unless it is
// more than this many times what the last use needed: keeping it spares the next use's
// allocations, but clearing passes over all of it, which a large table left by one use would
// otherwise charge to every later, smaller one.
constexpr std::size_t kSparseStorage = 8;
// Entries of a name-ordered map (NamedValues: attributes, bindings) up to which a look-up scans
// them in place rather than bisecting: a few short names compare faster one after another than
// through a binary search's calls.
constexpr std::size_t kScannedEntries = 8;

// ---- The near-miss search (explain).

// Candidate lists up to this long are scanned rather than indexed by value: a short scan is
// quicker than building and probing an index.
constexpr std::size_t kCandidateShortList = 8;
// Of a candidate's attributes, at most this many bytes are fetched ahead: enough for the usual
// handful of attributes; more would fetch what the predicates never read.
constexpr std::size_t kCandidateAttributeBytes = 256;
// A funnel's groups of near misses compared one after another, up to this many; more are
// hashed (a pattern's groups are mostly a handful: its steps times their reasons).
constexpr std::size_t kGroupsCompared = 8;

}  // namespace vashlet::tuning
