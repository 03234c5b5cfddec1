// The guest's file system: every path resolves inside one host directory, the guest root.
// Lexical ".." stops at the root, and the host kernel resolves symbolic links inside the root
// too (openat2 with RESOLVE_IN_ROOT), so no path, link or ".." reaches outside it.
#pragma once

#include "result.h"
#include "unique_fd.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace yulos {

// A file being written beside its target; it replaces the target only when committed. It is
// anonymous until then (where the file system allows it), so a writer that dies leaves nothing
// behind; at the commit it is linked under a temporary name and renamed over the target. After
// a failed append the bytes written are unknown, so the commit fails too and the target keeps
// its old bytes.
class PendingFile {
  public:
    // Starts a file in `directory` that is to replace `target` there.
    static Result<PendingFile> begin(UniqueFd directory, std::string target);
    PendingFile(PendingFile&&) noexcept = default;
    PendingFile& operator=(PendingFile&&) noexcept = default;
    ~PendingFile();

    // The number of bytes appended.
    Result<int32_t> append(std::span<const uint8_t> bytes);
    Result<void> commit();

  private:
    PendingFile(UniqueFd directory, std::string target, UniqueFd file, std::string temporary);
    Result<void> link_temporary();
    void discard();

    UniqueFd directory_;
    std::string target_;
    UniqueFd file_;
    std::string temporary_;        // the file's name while it has one
    std::optional<Error> failure_; // the error of a failed append
};

class GuestRoot {
  public:
    static Result<GuestRoot> open(const std::string& host_directory);

    // The guest path made absolute against the working directory, "." and ".." resolved.
    std::string absolute(std::string_view path) const;
    const std::string& cwd() const { return cwd_; }
    const std::string& host_directory() const { return host_directory_; }
    // Whether the working directory is still the directory at its path. It is held open, so a
    // working directory that is removed (or moved) is known as gone, and relative paths then
    // fail with ENOENT, as they do on Linux, instead of reaching whatever holds its old path.
    bool cwd_exists() const;
    // Sets the working directory of a new process; a path that names no directory leaves it
    // gone from the start.
    void set_cwd(std::string_view path);

    // Guest open flags (read-only 0, write-only 1, read-write 2, create 0x40, truncate 0x200,
    // append 0x400) are those of the host; anything else is ignored.
    Result<UniqueFd> open_file(std::string_view path, uint32_t flags) const;
    // Opens a regular file for reading, such as an image to run, without waiting: a FIFO or a
    // device is refused (-13) rather than opened, as opening a FIFO waits for a writer.
    Result<UniqueFd> open_regular(std::string_view path) const;
    Result<void> make_directory(std::string_view path) const;
    Result<void> make_fifo(std::string_view path) const;
    Result<void> remove_file(std::string_view path) const;
    Result<void> remove_directory(std::string_view path) const;
    Result<void> change_directory(std::string_view path);

    // Replaces the file at `path` with `bytes` in one step: readers see the old or the new.
    // Returns the number of bytes written.
    Result<int32_t> write_file(std::string_view path, std::span<const uint8_t> bytes) const;
    // Starts a file that holds, once committed, exactly the bytes appended to it.
    Result<PendingFile> begin_file(std::string_view path) const;

  private:
    // The directory that holds the last component of a path, and that component.
    struct Parent {
        UniqueFd directory;
        std::string name;
    };

    GuestRoot(UniqueFd root, std::string host_directory);
    Result<Parent> open_parent(std::string_view path) const;
    // The path made absolute; ENOENT for a relative path once the working directory is gone.
    Result<std::string> full_path(std::string_view path) const;
    Result<UniqueFd> resolve(const std::string& absolute_path, uint64_t flags, uint32_t mode) const;

    UniqueFd root_;
    std::string host_directory_;
    std::string cwd_ = "/";
    UniqueFd cwd_directory_;
};

} // namespace yulos
