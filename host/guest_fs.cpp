#include "guest_fs.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <random>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>
#include <yulos_kernel.h>

namespace yulos {
namespace {

constexpr mode_t file_mode = 0644, directory_mode = 0755;

// The host's flags for the guest's open flags; other guest bits are ignored.
int host_open_flags(uint32_t guest)
{
    static constexpr struct {
        uint32_t guest;
        int host;
    } flags[] = {{YULOS_O_WRONLY, O_WRONLY},
                 {YULOS_O_RDWR, O_RDWR},
                 {YULOS_O_CREAT, O_CREAT},
                 {YULOS_O_TRUNC, O_TRUNC},
                 {YULOS_O_APPEND, O_APPEND}};
    int host = O_RDONLY;
    for (auto [bit, host_bit] : flags)
        if (guest & bit) host |= host_bit;
    return host;
}

Result<int32_t> write_all(int fd, std::span<const uint8_t> bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Error::last();
        done += size_t(n);
    }
    return int32_t(done);
}

// The result of a host call that returns 0 or -1 with errno.
Result<void> host_call(int result)
{
    if (result != 0) return Error::last();
    return {};
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

PendingFile::PendingFile(UniqueFd directory, std::string target, UniqueFd file,
                         std::string temporary)
    : directory_(std::move(directory)), target_(std::move(target)), file_(std::move(file)),
      temporary_(std::move(temporary))
{
}

Result<PendingFile> PendingFile::begin(UniqueFd directory, std::string target)
{
    UniqueFd file(openat(directory.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, file_mode));
    if (file.valid())
        return PendingFile(std::move(directory), std::move(target), std::move(file), {});
    // A file system without anonymous files: a named temporary from the start.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return Error::last();
    std::string temporary = temporary_name(target);
    file = UniqueFd(openat(directory.get(), temporary.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, file_mode));
    if (!file.valid()) return Error::last();
    return PendingFile(std::move(directory), std::move(target), std::move(file),
                       std::move(temporary));
}

PendingFile::~PendingFile() { discard(); }

void PendingFile::discard()
{
    if (file_.valid() && !temporary_.empty()) unlinkat(directory_.get(), temporary_.c_str(), 0);
    file_.reset();
}

// Gives the anonymous file a temporary name beside the target. Linking a descriptor directly
// needs a capability that ordinary users lack; the link through /proc does not.
Result<void> PendingFile::link_temporary()
{
    std::string name = temporary_name(target_);
    if (linkat(file_.get(), "", directory_.get(), name.c_str(), AT_EMPTY_PATH) != 0) {
        std::string self = "/proc/self/fd/" + std::to_string(file_.get());
        if (linkat(AT_FDCWD, self.c_str(), directory_.get(), name.c_str(), AT_SYMLINK_FOLLOW) != 0)
            return Error::last();
    }
    temporary_ = std::move(name);
    return {};
}

Result<int32_t> PendingFile::append(std::span<const uint8_t> bytes)
{
    if (!file_.valid()) return Error::code(EBADF);
    Result<int32_t> written = write_all(file_.get(), bytes);
    if (!written && !failure_) failure_ = written.error();
    return written;
}

Result<void> PendingFile::commit()
{
    if (!file_.valid()) return Error::code(EBADF);
    Result<void> committed = failure_ ? Result<void>(*failure_) : host_call(fsync(file_.get()));
    if (committed && temporary_.empty()) committed = link_temporary();
    if (committed)
        committed = host_call(
            renameat(directory_.get(), temporary_.c_str(), directory_.get(), target_.c_str()));
    if (committed) temporary_.clear(); // the name is the target's now
    discard();
    return committed;
}

GuestRoot::GuestRoot(UniqueFd root, std::string host_directory)
    : root_(std::move(root)), host_directory_(std::move(host_directory))
{
    set_cwd("/");
}

void GuestRoot::set_cwd(std::string_view path)
{
    cwd_ = absolute(path);
    Result<UniqueFd> directory = resolve(cwd_, O_PATH | O_DIRECTORY, 0);
    cwd_directory_ = directory ? std::move(*directory) : UniqueFd();
}

bool GuestRoot::cwd_exists() const
{
    struct stat held, named;
    if (!cwd_directory_.valid() || fstat(cwd_directory_.get(), &held) != 0 || held.st_nlink == 0)
        return false;
    Result<UniqueFd> now = resolve(cwd_, O_PATH | O_DIRECTORY, 0);
    return now && fstat(now->get(), &named) == 0 && named.st_dev == held.st_dev &&
           named.st_ino == held.st_ino;
}

Result<std::string> GuestRoot::full_path(std::string_view path) const
{
    if (!path.starts_with('/') && !cwd_exists()) return Error::code(ENOENT);
    return absolute(path);
}

Result<GuestRoot> GuestRoot::open(const std::string& host_directory)
{
    UniqueFd root(::open(host_directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root.valid()) return Error(host_directory + ": cannot open the guest root");
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

Result<UniqueFd> GuestRoot::resolve(const std::string& absolute_path, uint64_t flags,
                                    uint32_t mode) const
{
    open_how how{};
    how.flags = flags | O_CLOEXEC;
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    const char* relative = absolute_path == "/" ? "." : absolute_path.c_str() + 1;
    for (;;) {
        long fd = syscall(SYS_openat2, root_.get(), relative, &how, sizeof how);
        if (fd >= 0) return UniqueFd(int(fd));
        if (errno != EINTR && errno != EAGAIN) return Error::last();
    }
}

Result<UniqueFd> GuestRoot::open_file(std::string_view path, uint32_t flags) const
{
    Result<std::string> full = full_path(path);
    if (!full) return full.error();
    return resolve(*full, host_open_flags(flags), file_mode);
}

Result<UniqueFd> GuestRoot::open_regular(std::string_view path) const
{
    Result<std::string> full = full_path(path);
    if (!full) return full.error();
    Result<UniqueFd> file = resolve(*full, O_RDONLY | O_NONBLOCK, 0);
    if (!file) return file;
    struct stat info;
    if (fstat(file->get(), &info) != 0) return Error::last();
    if (S_ISDIR(info.st_mode)) return Error::code(EISDIR);
    if (!S_ISREG(info.st_mode)) return Error::code(EACCES);
    return file;
}

Result<GuestRoot::Parent> GuestRoot::open_parent(std::string_view path) const
{
    Result<std::string> full = full_path(path);
    if (!full) return full.error();
    if (*full == "/") return Error::code(EBUSY);
    size_t slash = full->rfind('/');
    Result<UniqueFd> directory =
        resolve(slash == 0 ? "/" : full->substr(0, slash), O_PATH | O_DIRECTORY, 0);
    if (!directory) return directory.error();
    return Parent{std::move(*directory), full->substr(slash + 1)};
}

Result<void> GuestRoot::make_directory(std::string_view path) const
{
    Result<Parent> parent = open_parent(path);
    if (!parent) return parent.error();
    return host_call(mkdirat(parent->directory.get(), parent->name.c_str(), directory_mode));
}

Result<void> GuestRoot::make_fifo(std::string_view path) const
{
    Result<Parent> parent = open_parent(path);
    if (!parent) return parent.error();
    return host_call(mkfifoat(parent->directory.get(), parent->name.c_str(), file_mode));
}

Result<void> GuestRoot::remove_file(std::string_view path) const
{
    Result<Parent> parent = open_parent(path);
    if (!parent) return parent.error();
    return host_call(unlinkat(parent->directory.get(), parent->name.c_str(), 0));
}

Result<void> GuestRoot::remove_directory(std::string_view path) const
{
    Result<Parent> parent = open_parent(path);
    if (!parent) return parent.error();
    return host_call(unlinkat(parent->directory.get(), parent->name.c_str(), AT_REMOVEDIR));
}

Result<void> GuestRoot::change_directory(std::string_view path)
{
    Result<std::string> full = full_path(path);
    if (!full) return full.error();
    Result<UniqueFd> directory = resolve(*full, O_PATH | O_DIRECTORY, 0);
    if (!directory) return directory.error();
    cwd_ = std::move(*full);
    cwd_directory_ = std::move(*directory);
    return {};
}

Result<PendingFile> GuestRoot::begin_file(std::string_view path) const
{
    Result<Parent> parent = open_parent(path);
    if (!parent) return parent.error();
    return PendingFile::begin(std::move(parent->directory), std::move(parent->name));
}

Result<int32_t> GuestRoot::write_file(std::string_view path, std::span<const uint8_t> bytes) const
{
    Result<PendingFile> pending = begin_file(path);
    if (!pending) return pending.error();
    Result<int32_t> written = pending->append(bytes);
    if (!written) return written;
    if (Result<void> committed = pending->commit(); !committed) return committed.error();
    return written;
}

} // namespace yulos
