// A process's descriptor table: guest descriptor numbers mapped to host descriptors of its own.
// The host's own descriptors never show through; each guest descriptor owns a host descriptor.
#pragma once

#include "result.h"
#include "unique_fd.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace yulos {

constexpr int max_descriptors = 1024;

struct Descriptor {
    UniqueFd host;
    bool nonblocking = false; // a read with nothing waiting fails at once
};

class Descriptors {
  public:
    // Installs `host` at the lowest free number; EMFILE when the table is full.
    Result<int32_t> insert(UniqueFd host);
    // Installs `host` at `number`, closing what was there.
    void place(int number, UniqueFd host);
    Descriptor* find(int32_t number);
    Result<void> close(int32_t number);
    Result<int32_t> dup(int32_t number);
    Result<int32_t> dup2(int32_t from, int32_t to);
    // Every open guest descriptor above 2, with its host descriptor.
    std::vector<std::pair<int, int>> above_standard() const;

  private:
    std::vector<std::optional<Descriptor>> table_;
};

} // namespace yulos
