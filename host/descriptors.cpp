#include "descriptors.h"

#include <cerrno>
#include <fcntl.h>

namespace yulos {
namespace {

// Host copies live above the standard numbers, close-on-exec, so a child sees only what is
// handed to it on purpose.
UniqueFd duplicate(int host) { return UniqueFd(fcntl(host, F_DUPFD_CLOEXEC, 3)); }

} // namespace

Result<int32_t> Descriptors::insert(UniqueFd host)
{
    for (int n = 0; n < max_descriptors; ++n) {
        if (n >= int(table_.size())) table_.resize(n + 1);
        if (!table_[n]) {
            table_[n] = Descriptor{std::move(host), false};
            return n;
        }
    }
    return Error::code(EMFILE);
}

void Descriptors::place(int number, UniqueFd host)
{
    if (number >= int(table_.size())) table_.resize(number + 1);
    table_[number] = Descriptor{std::move(host), false};
}

Descriptor* Descriptors::find(int32_t number)
{
    if (number < 0 || number >= int(table_.size()) || !table_[number]) return nullptr;
    return &*table_[number];
}

Result<void> Descriptors::close(int32_t number)
{
    if (!find(number)) return Error::code(EBADF);
    table_[number].reset();
    return {};
}

Result<int32_t> Descriptors::dup(int32_t number)
{
    Descriptor* d = find(number);
    if (!d) return Error::code(EBADF);
    UniqueFd copy = duplicate(d->host.get());
    if (!copy.valid()) return Error::last();
    return insert(std::move(copy));
}

Result<int32_t> Descriptors::dup2(int32_t from, int32_t to)
{
    Descriptor* d = find(from);
    if (!d || to < 0 || to >= max_descriptors) return Error::code(EBADF);
    if (from == to) return to;
    UniqueFd copy = duplicate(d->host.get());
    if (!copy.valid()) return Error::last();
    place(to, std::move(copy));
    return to;
}

std::vector<std::pair<int, int>> Descriptors::above_standard() const
{
    std::vector<std::pair<int, int>> open;
    for (int n = 3; n < int(table_.size()); ++n)
        if (table_[n]) open.emplace_back(n, table_[n]->host.get());
    return open;
}

} // namespace yulos
