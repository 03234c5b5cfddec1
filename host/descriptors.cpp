#include "descriptors.h"

#include <cerrno>
#include <fcntl.h>

namespace yulos {
namespace {

// Host copies live above the standard numbers, close-on-exec, so a child sees only what is
// handed to it on purpose.
UniqueFd duplicate(int host) { return UniqueFd(fcntl(host, F_DUPFD_CLOEXEC, 3)); }

} // namespace

void Descriptors::set(int number, std::optional<Descriptor> entry)
{
    if (number >= int(table_.size())) table_.resize(number + 1);
    std::optional<Descriptor>& slot = table_[number];
    if (slot && slot->pty_pair) {
        auto held = pty_references_.find(*slot->pty_pair);
        if (--held->second == 0) pty_references_.erase(held);
    }
    slot = std::move(entry);
    if (slot && slot->pty_pair) ++pty_references_[*slot->pty_pair];
}

Result<int32_t> Descriptors::insert(UniqueFd host, std::optional<uint32_t> pty_pair)
{
    for (int n = 0; n < max_descriptors; ++n) {
        if (n >= int(table_.size()) || !table_[n]) {
            set(n, Descriptor{std::move(host), false, pty_pair});
            return n;
        }
    }
    return Error::code(EMFILE);
}

void Descriptors::place(int number, UniqueFd host, std::optional<uint32_t> pty_pair)
{
    set(number, Descriptor{std::move(host), false, pty_pair});
}

Descriptor* Descriptors::find(int32_t number)
{
    if (number < 0 || number >= int(table_.size()) || !table_[number]) return nullptr;
    return &*table_[number];
}

Result<void> Descriptors::close(int32_t number)
{
    if (!find(number)) return Error::code(EBADF);
    set(number, std::nullopt);
    return {};
}

Result<int32_t> Descriptors::dup(int32_t number)
{
    Descriptor* d = find(number);
    if (!d) return Error::code(EBADF);
    UniqueFd copy = duplicate(d->host.get());
    if (!copy.valid()) return Error::last();
    return insert(std::move(copy), d->pty_pair);
}

Result<int32_t> Descriptors::dup2(int32_t from, int32_t to)
{
    Descriptor* d = find(from);
    if (!d || to < 0 || to >= max_descriptors) return Error::code(EBADF);
    if (from == to) return to;
    UniqueFd copy = duplicate(d->host.get());
    if (!copy.valid()) return Error::last();
    place(to, std::move(copy), d->pty_pair);
    return to;
}

std::optional<HandedDescriptor> Descriptors::hand(int32_t number)
{
    Descriptor* d = find(number);
    if (!d) return std::nullopt;
    return HandedDescriptor{number, d->host.get(), d->pty_pair};
}

std::vector<HandedDescriptor> Descriptors::above_standard() const
{
    std::vector<HandedDescriptor> open;
    for (int n = 3; n < int(table_.size()); ++n)
        if (table_[n])
            open.push_back(HandedDescriptor{n, table_[n]->host.get(), table_[n]->pty_pair});
    return open;
}

} // namespace yulos
