// The kernel-call fuzzer's driver. Each run starts the guest side (fuzz/guest/kernel_calls.cpp)
// on a host built with the sanitizers, in a fresh scratch root, with a seed of its own. A run
// fails when
// - any host process of the run ends by a signal of a fault, or the first one ends with a
//   status other than the guest's 0 (the guest never faults or exits early by itself);
// - any host process writes a sanitizer report;
// - the run, children included, has not ended within the time limit (the guest never waits
//   for ever by itself);
// - anything outside the scratch root changed: the directories beside it, the files that the
//   root's symbolic links point at, the host's working directory.
// The first failure stops the driver with its seed and the command that runs it again.
//
//   fuzz_calls --host HOST --image IMAGE --echo ECHO [--work DIR] [--seed N] [--runs N]
//              [--seconds N] [--calls N]
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
    std::string host, image, echo;
    fs::path work = fs::temp_directory_path();
    std::optional<uint64_t> seed;
    uint64_t runs = UINT64_MAX;
    uint64_t seconds = 0;
    uint64_t calls = 1000;
};

// A generous bound: a run of 1000 calls takes well under a second under the sanitizers.
constexpr auto run_limit = std::chrono::seconds(60);

std::string read_text(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_text(const fs::path& path, std::string_view text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), std::streamsize(text.size()));
}

// The last lines of a text, to show with a failure.
std::string tail(const std::string& text, size_t lines = 20)
{
    size_t at = text.size();
    for (size_t n = 0; at > 0 && n <= lines;)
        if (text[--at] == '\n') ++n;
    return text.substr(at);
}

// Path -> what it is (type, permissions, and a file's bytes or a link's target).
using Snapshot = std::map<std::string, std::string>;

void record(const fs::path& path, Snapshot& into)
{
    auto status = fs::symlink_status(path);
    std::string what;
    if (fs::is_symlink(status))
        what = "link to " + fs::read_symlink(path).string();
    else if (fs::is_regular_file(status))
        what = "file " + std::to_string(std::hash<std::string>{}(read_text(path)));
    else
        what = "type " + std::to_string(int(status.type()));
    what += " mode " + std::to_string(int(status.permissions()));
    into[path.string()] = what;
}

// Everything under `top` but what `skip` excludes.
void snapshot(const fs::path& top, const std::function<bool(const fs::path&)>& skip, Snapshot& into)
{
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(top, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (!skip(it->path()))
            record(it->path(), into);
        else if (it->is_directory(error))
            it.disable_recursion_pending();
    }
}

// The scratch directory of one run:
//   root/     the guest root: the images, a few files, and links that point out of it
//   outside/  what those links point at; must not change
//   cwd/      the host's working directory; must stay empty
//   log/      the trace, the host's output and sanitizer reports
struct Scratch {
    fs::path top, root, outside, cwd, log;

    static Scratch make(const Options& options)
    {
        std::string pattern = (options.work / "run-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp: " + pattern);
        Scratch s{pattern, fs::path(pattern) / "root", fs::path(pattern) / "outside",
                  fs::path(pattern) / "cwd", fs::path(pattern) / "log"};
        for (const fs::path& dir :
             {s.root / "bin", s.root / "d/e", s.outside / "dir", s.cwd, s.log})
            fs::create_directories(dir);
        fs::copy_file(options.image, s.root / "bin/kernel_calls");
        fs::copy_file(options.echo, s.root / "bin/echo");
        write_text(s.root / "bin/notelf", "not an image\n");
        write_text(s.root / "bin/empty", "");
        write_text(s.root / "a", "alpha\n");
        write_text(s.root / "d/b", "bravo\n");
        write_text(s.outside / "secret", "outside the root\n");
        fs::create_symlink(s.outside, s.root / "esc_abs");
        fs::create_symlink("../outside", s.root / "esc_rel");
        fs::create_symlink("../../..", s.root / "esc_up");
        fs::create_symlink(s.outside / "secret", s.root / "esc_file");
        fs::create_symlink("/", s.root / "esc_root");
        fs::create_symlink(s.outside / "nothing", s.root / "dangling");
        fs::create_symlink("loop", s.root / "loop");
        fs::create_symlink("../..", s.root / "d/up");
        return s;
    }

    // What must not change: the names in the work directory beside the scratch directory, and
    // everything in the scratch directory but the root and the log.
    Snapshot outside_the_root(const fs::path& work) const
    {
        Snapshot all;
        for (const auto& entry : fs::directory_iterator(work))
            if (entry.path() != top) all[entry.path().string()] = "entry";
        snapshot(
            top, [&](const fs::path& p) { return p == root || p == log; }, all);
        return all;
    }
};

bool fault_signal(int signal)
{
    return signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE ||
           signal == SIGABRT || signal == SIGTRAP || signal == SIGSYS;
}

// The processes whose parent is this one: the host, and orphans handed to this process.
std::vector<pid_t> own_children()
{
    std::vector<pid_t> pids;
    DIR* proc = opendir("/proc");
    if (!proc) return pids;
    std::string me = std::to_string(getpid());
    while (dirent* entry = readdir(proc)) {
        if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
        std::string stat = read_text(fs::path("/proc") / entry->d_name / "stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        // After the name: state, then the parent's id.
        size_t parent = stat.find(' ', close + 2);
        if (parent != std::string::npos && stat.compare(parent + 1, me.size() + 1, me + " ") == 0)
            pids.push_back(pid_t(std::atol(entry->d_name)));
    }
    closedir(proc);
    return pids;
}

// Ends every process left of a run: killing a parent hands its children to this process,
// which kills them in turn.
void kill_everything()
{
    for (;;) {
        std::vector<pid_t> pids = own_children();
        if (pids.empty()) break;
        for (pid_t pid : pids) kill(pid, SIGKILL);
        for (pid_t pid : pids) waitpid(pid, nullptr, 0);
    }
}

[[noreturn]] void start_host(const Options& options, const Scratch& s, uint64_t seed)
{
    int in = open("/dev/null", O_RDONLY);
    int out = open((s.log / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open((s.log / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || chdir(s.cwd.c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::string reports = "log_path=" + (s.log / "sanitizer").string();
    setenv("ASAN_OPTIONS", (reports + ":handle_abort=1:detect_leaks=1").c_str(), 1);
    setenv("UBSAN_OPTIONS", (reports + ":print_stacktrace=1:halt_on_error=1").c_str(), 1);
    std::vector<std::string> args = {options.host,
                                     "run",
                                     "--root",
                                     s.root.string(),
                                     "--trace=" + (s.log / "trace").string(),
                                     "/bin/kernel_calls",
                                     std::to_string(seed),
                                     std::to_string(options.calls),
                                     "0"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

// One run; what went wrong, or nothing.
std::optional<std::string> run_once(const Options& options, const Scratch& s, uint64_t seed)
{
    Snapshot before = s.outside_the_root(options.work);
    pid_t host = fork();
    if (host < 0) return std::string("fork: ") + std::strerror(errno);
    if (host == 0) start_host(options, s, seed);

    std::string problems;
    std::optional<int> host_status;
    auto deadline = Clock::now() + run_limit;
    for (;;) {
        int status = 0;
        pid_t ended = waitpid(-1, &status, WNOHANG);
        if (ended < 0 && errno == ECHILD) break;
        if (ended > 0) {
            if (ended == host) host_status = status;
            if (WIFSIGNALED(status) && fault_signal(WTERMSIG(status)))
                problems += "host process " + std::to_string(ended) + " ended by signal " +
                            std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) +
                            ")\n";
            continue;
        }
        if (Clock::now() > deadline) {
            problems +=
                "hang: the run had not ended after " + std::to_string(run_limit.count()) + " s\n";
            kill_everything();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    if (host_status && WIFEXITED(*host_status) && WEXITSTATUS(*host_status) != 0)
        problems += "the run ended with status " + std::to_string(WEXITSTATUS(*host_status)) +
                    ", not the guest's 0; its error output ends:\n" +
                    tail(read_text(s.log / "err"));
    for (const auto& entry : fs::directory_iterator(s.log))
        if (entry.path().filename().string().starts_with("sanitizer"))
            problems += "sanitizer report " + entry.path().string() + ":\n" +
                        tail(read_text(entry.path()), 40);
    Snapshot after = s.outside_the_root(options.work);
    for (const auto& [path, what] : before) {
        auto now = after.find(path);
        if (now == after.end())
            problems += "outside the root, removed: " + path + "\n";
        else if (now->second != what)
            problems += "outside the root, changed: " + path + "\n";
    }
    for (const auto& [path, what] : after)
        if (!before.contains(path)) problems += "outside the root, created: " + path + "\n";
    if (problems.empty()) return std::nullopt;
    return problems;
}

bool parse_number(const char* text, uint64_t& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 10);
    return *text >= '0' && *text <= '9' && *end == 0 && errno == 0;
}

int usage()
{
    std::fputs("usage: fuzz_calls --host HOST --image IMAGE --echo ECHO [--work DIR] [--seed N]\n"
               "                  [--runs N] [--seconds N] [--calls N]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (i + 1 >= argc) return usage();
        const char* value = argv[++i];
        uint64_t number = 0;
        if (arg == "--host")
            options.host = value;
        else if (arg == "--image")
            options.image = value;
        else if (arg == "--echo")
            options.echo = value;
        else if (arg == "--work")
            options.work = value;
        else if (!parse_number(value, number))
            return usage();
        else if (arg == "--seed")
            options.seed = number;
        else if (arg == "--runs")
            options.runs = number;
        else if (arg == "--seconds")
            options.seconds = number;
        else if (arg == "--calls")
            options.calls = number;
        else
            return usage();
    }
    if (options.host.empty() || options.image.empty() || options.echo.empty()) return usage();
    // The host starts in the run's own working directory.
    options.host = fs::absolute(options.host).string();
    // Host processes whose parent ends are handed to this process, so that every one of a run
    // is waited for, and none outlives it.
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        std::perror("fuzz_calls: PR_SET_CHILD_SUBREAPER");
        return 1;
    }
    fs::create_directories(options.work);
    uint64_t first = options.seed ? *options.seed : std::random_device{}() % 1000000000;
    std::printf("kernel-call fuzzer: seeds from %llu, %llu calls a run\n",
                static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(options.calls));
    std::fflush(stdout);
    auto start = Clock::now();
    uint64_t runs = 0;
    for (uint64_t seed = first; runs < options.runs; ++seed) {
        if (runs > 0 && options.runs == UINT64_MAX &&
            Clock::now() - start >= std::chrono::seconds(options.seconds))
            break;
        Scratch scratch = Scratch::make(options);
        auto failure = run_once(options, scratch, seed);
        ++runs;
        if (failure) {
            std::printf("kernel-call fuzzer: FAILED with seed %llu:\n%s"
                        "run it again: ./yulos fuzz calls --seed %llu --runs 1\n"
                        "its scratch directory (root, trace, output) is kept: %s\n",
                        static_cast<unsigned long long>(seed), failure->c_str(),
                        static_cast<unsigned long long>(seed), scratch.top.c_str());
            return 1;
        }
        fs::remove_all(scratch.top);
        if (runs % 10 == 0) {
            std::printf("kernel-call fuzzer: %llu runs\n", static_cast<unsigned long long>(runs));
            std::fflush(stdout);
        }
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("kernel-call fuzzer: %llu runs of %llu calls (seeds %llu to %llu), no failure, "
                "%.0f s\n",
                static_cast<unsigned long long>(runs),
                static_cast<unsigned long long>(options.calls),
                static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(first + runs - 1), elapsed);
    return 0;
}
