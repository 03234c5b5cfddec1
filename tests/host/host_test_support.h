// What the host tests share: temporary directories, host files, a guest root holding copies of
// test images, and running the host binary as a separate process with a generous time bound.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace yulos_test {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
  public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "yulos-test-XXXXXX").string();
        if (!mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        path_ = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    fs::path operator/(const std::string& name) const { return path_ / name; }

  private:
    fs::path path_;
};

inline std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const fs::path& path, std::string_view bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

inline std::vector<uint8_t> read_bytes(const fs::path& path)
{
    std::string text = read_file(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

inline void write_bytes(const fs::path& path, const std::vector<uint8_t>& bytes)
{
    write_file(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// The lines of a text, without their line feeds.
inline std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Names in `directory`, for checking that nothing was left behind.
inline std::vector<std::string> entries(const fs::path& directory)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

inline std::string guest_image(const std::string& name)
{
    return std::string(YULOS_GUEST_DIR) + "/" + name;
}

inline std::string sysroot_binary(const std::string& name)
{
    return std::string(YULOS_SYSROOT) + "/binaries/" + name;
}

// Copies a host file into the root at the guest path `at` (without its leading '/').
inline void install(const TempDir& root, const std::string& from, const std::string& at)
{
    fs::create_directories((root / at).parent_path());
    fs::copy_file(from, root / at, fs::copy_options::overwrite_existing);
}

// Copies a test image into a root, e.g. install_image(root, "test_proc", "bin/proc").
inline void install_image(const TempDir& root, const std::string& image, const std::string& at)
{
    install(root, guest_image(image), at);
}

struct HostRun {
    int exit_code = -1; // the exit status, or -1 when the host did not exit normally
    int signal = 0;     // the signal that ended the host, if one did
    std::string out, err;
};

// Runs `argv` (the program's path first) with `environment` ("NAME=VALUE" entries; the test's
// own when empty), standard input from /dev/null, and waits at most `limit` for it (then kills
// it and fails the test).
inline HostRun run_program(std::vector<std::string> argv, std::vector<std::string> environment,
                           std::chrono::seconds limit)
{
    TempDir capture;
    std::string out_path = (capture / "out").string(), err_path = (capture / "err").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT, 0644);
    auto pointers = [](std::vector<std::string>& strings) {
        std::vector<char*> list;
        for (std::string& s : strings) list.push_back(s.data());
        list.push_back(nullptr);
        return list;
    };
    std::vector<char*> args = pointers(argv), env = pointers(environment);
    pid_t pid = -1;
    HostRun run;
    int error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(),
                            environment.empty() ? environ : env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(error);
        return run;
    }
    auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << argv[0] << " did not finish in time";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    run.out = read_file(out_path);
    run.err = read_file(err_path);
    return run;
}

// Runs the host binary with `args`, as run_program does.
inline HostRun run_host(const std::vector<std::string>& args,
                        std::chrono::seconds limit = std::chrono::seconds(30))
{
    std::vector<std::string> argv = {YULOS_HOST_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, {}, limit);
}

} // namespace yulos_test
