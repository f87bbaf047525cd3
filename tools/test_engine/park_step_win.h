#pragma once
#include <cstdint>
// The engine's "park" step: threads parked in known call chains, from
// test_engine_chains.dll beside the engine.

namespace test_engine {

// Loads the chains library (with `rebase`, its preferred base is taken first,
// so that it lands elsewhere) and parks the threads; false on failure.
bool ParkThreads(int chains, int depth, bool rebase);

// Parks `count` threads in chains of `min_depth` to `max_depth` extra levels
// (for benchmarks); false on failure.
bool ParkVariedThreads(int count, int min_depth, int max_depth);

// The address to put into the crash data block's managedContext so that the
// stand-in runtime finds its table; 0 when no threads were parked.
uintptr_t ParkedManagedContext();

}  // namespace test_engine
