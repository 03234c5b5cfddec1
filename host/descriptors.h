// A process's descriptor table: guest descriptor numbers mapped to host descriptors of its own.
// The host's own descriptors never show through; each guest descriptor owns a host descriptor.
#pragma once

#include "result.h"
#include "unique_fd.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace yulos {

constexpr int max_descriptors = 1024;

struct Descriptor {
    UniqueFd host;
    bool nonblocking = false;         // a read with nothing waiting fails at once
    std::optional<uint32_t> pty_pair; // the pseudo-terminal pair it is a side of
};

// A descriptor handed to a child: its guest number there, the host descriptor, and the
// pseudo-terminal pair it belongs to, if any.
struct HandedDescriptor {
    int guest = 0;
    int host = -1;
    std::optional<uint32_t> pty_pair;
};

class Descriptors {
  public:
    // Installs `host` at the lowest free number; EMFILE when the table is full.
    Result<int32_t> insert(UniqueFd host, std::optional<uint32_t> pty_pair = {});
    // Installs `host` at `number`, closing what was there.
    void place(int number, UniqueFd host, std::optional<uint32_t> pty_pair = {});
    Descriptor* find(int32_t number);
    Result<void> close(int32_t number);
    Result<int32_t> dup(int32_t number);
    Result<int32_t> dup2(int32_t from, int32_t to);
    // Descriptor `number` as a child gets it.
    std::optional<HandedDescriptor> hand(int32_t number);
    // Every open guest descriptor above 2.
    std::vector<HandedDescriptor> above_standard() const;
    // The number of pseudo-terminal pairs that a descriptor of the table belongs to.
    uint32_t pty_pairs_held() const { return uint32_t(pty_references_.size()); }

  private:
    // Every change of an entry goes through here, so that the pairs held stay counted.
    void set(int number, std::optional<Descriptor> entry);

    std::vector<std::optional<Descriptor>> table_;
    std::map<uint32_t, uint32_t> pty_references_; // pair -> descriptors of it in the table
};

} // namespace yulos
