// Lets guest stores to plain data pages take the engine's inline fast path.
//
// The engine (unicorn 2.0.x) marks the TLB entry of every writable page "not dirty", which
// sends every guest store through its slow helper: a region lookup, a page-descriptor lookup
// and a tree allocation for code invalidation, about 100 ns per store. While a FastStores
// guard is alive on a thread, each TLB fill on that thread for a page of `memory` that is
// writable and not executable has the flag cleared at once, so stores to it are a few host
// instructions. Other pages keep the flag: the slow path is where the engine refuses writes
// to read-only pages and invalidates translated code on writes to executable ones.
#pragma once

#include "guest_memory.h"

namespace yulos {

class FastStores {
  public:
    explicit FastStores(const GuestMemory& memory);
    ~FastStores();
    FastStores(const FastStores&) = delete;
    FastStores& operator=(const FastStores&) = delete;

  private:
    const GuestMemory* previous_;
};

} // namespace yulos
