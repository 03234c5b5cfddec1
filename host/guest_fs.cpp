#include "guest_fs.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <random>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace yulos {
namespace {

constexpr uint32_t guest_open_flags = O_ACCMODE | O_CREAT | O_TRUNC | O_APPEND;
constexpr mode_t file_mode = 0644, directory_mode = 0755;

int32_t write_all(int fd, std::span<const uint8_t> bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        done += size_t(n);
    }
    return int32_t(done);
}

// Beside the target, hidden, and short enough for any target name the file system takes: only
// the start of the target's name goes into it.
std::string temporary_name(const std::string& target)
{
    static std::mt19937 random{std::random_device{}()};
    std::string name = ".";
    name.append(target, 0, 64).append(".yulos-").append(std::to_string(random()));
    return name;
}

} // namespace

PendingFile::PendingFile(UniqueFd directory, std::string temporary, std::string target,
                         UniqueFd file)
    : directory_(std::move(directory)), temporary_(std::move(temporary)),
      target_(std::move(target)), file_(std::move(file))
{
}

PendingFile::~PendingFile()
{
    if (file_.valid()) unlinkat(directory_.get(), temporary_.c_str(), 0);
}

int32_t PendingFile::append(std::span<const uint8_t> bytes)
{
    if (!file_.valid()) return -EBADF;
    int32_t written = write_all(file_.get(), bytes);
    if (written < 0 && failure_ == 0) failure_ = written;
    return written;
}

int32_t PendingFile::commit()
{
    if (!file_.valid()) return -EBADF;
    if (failure_ != 0) {
        unlinkat(directory_.get(), temporary_.c_str(), 0);
        file_.reset();
        return failure_;
    }
    if (fsync(file_.get()) != 0 ||
        renameat(directory_.get(), temporary_.c_str(), directory_.get(), target_.c_str()) != 0) {
        int32_t error = -errno;
        unlinkat(directory_.get(), temporary_.c_str(), 0);
        file_.reset();
        return error;
    }
    file_.reset();
    return 0;
}

GuestRoot::GuestRoot(UniqueFd root, std::string host_directory)
    : root_(std::move(root)), host_directory_(std::move(host_directory))
{
}

Expected<GuestRoot> GuestRoot::open(const std::string& host_directory)
{
    UniqueFd root(::open(host_directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root.valid()) return Error{host_directory + ": cannot open the guest root"};
    return GuestRoot(std::move(root), host_directory);
}

std::string GuestRoot::absolute(std::string_view path) const
{
    std::string joined = path.starts_with('/') ? std::string(path) : cwd_ + "/" + std::string(path);
    std::vector<std::string_view> parts;
    std::string_view rest = joined;
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string result;
    for (std::string_view part : parts) result.append("/").append(part);
    return result.empty() ? "/" : result;
}

Opened GuestRoot::resolve(const std::string& absolute_path, uint64_t flags, uint32_t mode) const
{
    open_how how{};
    how.flags = flags | O_CLOEXEC;
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    const char* relative = absolute_path == "/" ? "." : absolute_path.c_str() + 1;
    for (;;) {
        long fd = syscall(SYS_openat2, root_.get(), relative, &how, sizeof how);
        if (fd >= 0) return Opened{UniqueFd(int(fd)), 0};
        if (errno != EINTR && errno != EAGAIN) return Opened{UniqueFd(), -errno};
    }
}

Opened GuestRoot::open_file(std::string_view path, uint32_t flags) const
{
    return resolve(absolute(path), flags & guest_open_flags, file_mode);
}

Opened GuestRoot::open_regular(std::string_view path) const
{
    Opened file = resolve(absolute(path), O_RDONLY | O_NONBLOCK, 0);
    if (file.error) return file;
    struct stat info;
    if (fstat(file.fd.get(), &info) != 0) return Opened{UniqueFd(), -errno};
    if (S_ISDIR(info.st_mode)) return Opened{UniqueFd(), -EISDIR};
    if (!S_ISREG(info.st_mode)) return Opened{UniqueFd(), -EACCES};
    return file;
}

Opened GuestRoot::open_parent(std::string_view path, std::string& name) const
{
    std::string full = absolute(path);
    if (full == "/") return Opened{UniqueFd(), -EBUSY};
    size_t slash = full.rfind('/');
    name = full.substr(slash + 1);
    return resolve(slash == 0 ? "/" : full.substr(0, slash), O_PATH | O_DIRECTORY, 0);
}

int32_t GuestRoot::make_directory(std::string_view path) const
{
    std::string name;
    Opened parent = open_parent(path, name);
    if (parent.error) return parent.error;
    return mkdirat(parent.fd.get(), name.c_str(), directory_mode) == 0 ? 0 : -errno;
}

int32_t GuestRoot::make_fifo(std::string_view path) const
{
    std::string name;
    Opened parent = open_parent(path, name);
    if (parent.error) return parent.error;
    return mkfifoat(parent.fd.get(), name.c_str(), file_mode) == 0 ? 0 : -errno;
}

int32_t GuestRoot::remove_file(std::string_view path) const
{
    std::string name;
    Opened parent = open_parent(path, name);
    if (parent.error) return parent.error;
    return unlinkat(parent.fd.get(), name.c_str(), 0) == 0 ? 0 : -errno;
}

int32_t GuestRoot::remove_directory(std::string_view path) const
{
    std::string name;
    Opened parent = open_parent(path, name);
    if (parent.error) return parent.error;
    return unlinkat(parent.fd.get(), name.c_str(), AT_REMOVEDIR) == 0 ? 0 : -errno;
}

int32_t GuestRoot::change_directory(std::string_view path)
{
    std::string full = absolute(path);
    Opened directory = resolve(full, O_PATH | O_DIRECTORY, 0);
    if (directory.error) return directory.error;
    cwd_ = full;
    return 0;
}

int32_t GuestRoot::begin_file(std::string_view path, PendingFile& pending) const
{
    std::string name;
    Opened parent = open_parent(path, name);
    if (parent.error) return parent.error;
    std::string temporary = temporary_name(name);
    UniqueFd file(openat(parent.fd.get(), temporary.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, file_mode));
    if (!file.valid()) return -errno;
    pending =
        PendingFile(std::move(parent.fd), std::move(temporary), std::move(name), std::move(file));
    return 0;
}

int32_t GuestRoot::write_file(std::string_view path, std::span<const uint8_t> bytes) const
{
    PendingFile pending;
    if (int32_t error = begin_file(path, pending); error < 0) return error;
    int32_t written = pending.append(bytes);
    if (written < 0) return written;
    if (int32_t error = pending.commit(); error < 0) return error;
    return written;
}

} // namespace yulos
