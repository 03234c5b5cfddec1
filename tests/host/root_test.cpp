// Root confinement: no path, "..", symbolic link or magic link reaches outside the guest root,
// and the root itself stays.
#include "guest_fs.h"
#include "host_test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <yulos_kernel.h>

using namespace yulos;
using namespace yulos_test;

namespace {

// What a guest would be told: the value (0 for none), or the negative error number.
template <class T> int32_t answer(const Result<T>& result)
{
    if (!result) return result.error().kernel_result();
    if constexpr (std::is_same_v<T, int32_t>) return *result;
    return 0;
}
int32_t answer(const Result<void>& result) { return kernel_result(result); }

// A guest root with its own /etc/passwd, and a directory outside it holding a secret.
struct Confined {
    TempDir root, outside;
    GuestRoot guest = open_root();

    Confined()
    {
        write_file(root / "etc" / "passwd", "inside");
        write_file(outside / "secret", "secret");
    }
    GuestRoot open_root()
    {
        auto opened = GuestRoot::open(root.str());
        EXPECT_TRUE(opened);
        return std::move(*opened);
    }
    // The bytes of a guest file, or its negative error as text.
    std::string contents(std::string_view path)
    {
        Result<UniqueFd> file = guest.open_file(path, 0);
        if (!file) return "error " + std::to_string(answer(file));
        std::string all;
        char chunk[256];
        for (ssize_t n; (n = ::read(file->get(), chunk, sizeof chunk)) > 0;)
            all.append(chunk, size_t(n));
        return all;
    }
    void link(const std::string& name, const std::string& target)
    {
        fs::create_directories((root / name).parent_path());
        fs::create_symlink(target, root / name);
    }
    bool outside_untouched() const
    {
        return entries(outside.path()) == std::vector<std::string>{"secret"} &&
               read_file(outside / "secret") == "secret";
    }
};

} // namespace

TEST(Root, DotDotStopsAtTheRoot)
{
    Confined c;
    for (std::string_view path : {"../../etc/passwd", "/../etc/passwd", "/etc/../../../etc/passwd",
                                  "etc/../../etc/./passwd", "//..//..//etc//passwd"})
        EXPECT_EQ(c.contents(path), "inside") << path;
    EXPECT_EQ(c.guest.absolute(".."), "/");
    EXPECT_EQ(answer(c.guest.change_directory("../../..")), 0);
    EXPECT_EQ(c.guest.cwd(), "/");
    EXPECT_EQ(answer(c.guest.change_directory("etc")), 0);
    EXPECT_EQ(c.contents("../../../etc/passwd"), "inside");
}

TEST(Root, SymbolicLinksResolveInsideTheRoot)
{
    Confined c;
    c.link("abs", "/etc"); // the host's /etc, were it followed naively
    c.link("abs_file", "/etc/passwd");
    c.link("up", "../../../../../../../../etc"); // climbs far past the root
    c.link("sub/rel", "../../../..");
    EXPECT_EQ(c.contents("/abs/passwd"), "inside");
    EXPECT_EQ(c.contents("/abs_file"), "inside");
    EXPECT_EQ(c.contents("/up/passwd"), "inside");
    EXPECT_EQ(c.contents("/sub/rel/etc/passwd"), "inside");
    EXPECT_EQ(answer(c.guest.change_directory("/abs")), 0);
    EXPECT_EQ(c.contents("passwd"), "inside");

    // Without the root's own file there is nothing to find: no falling through to the host's.
    fs::remove(c.root / "etc" / "passwd");
    EXPECT_EQ(c.contents("/abs/passwd"), "error -2");
    EXPECT_EQ(c.contents("/up/passwd"), "error -2");
    EXPECT_EQ(c.contents("/abs_file"), "error -2");
}

TEST(Root, NoServiceReachesThroughALinkToOutside)
{
    Confined c;
    c.link("out", c.outside.str());                                            // absolute
    c.link("rel_out", fs::relative(c.outside.path(), c.root.path()).string()); // ../yulos-...
    c.link("secret_link", (c.outside / "secret").string());
    const uint8_t x[] = {'x'};
    for (std::string dir : {"/out", "/rel_out"}) {
        SCOPED_TRACE(dir);
        EXPECT_EQ(c.contents(dir + "/secret"), "error -2");
        EXPECT_LT(answer(c.guest.open_file(dir + "/secret",
                                           YULOS_O_WRONLY | YULOS_O_CREAT | YULOS_O_TRUNC)),
                  0);
        EXPECT_LT(answer(c.guest.open_file(dir + "/created", YULOS_O_WRONLY | YULOS_O_CREAT)), 0);
        EXPECT_LT(answer(c.guest.make_directory(dir + "/new")), 0);
        EXPECT_LT(answer(c.guest.make_fifo(dir + "/fifo")), 0);
        EXPECT_LT(answer(c.guest.remove_file(dir + "/secret")), 0);
        EXPECT_LT(answer(c.guest.write_file(dir + "/secret", x)), 0);
        EXPECT_LT(answer(c.guest.begin_file(dir + "/secret")), 0);
        EXPECT_LT(answer(c.guest.change_directory(dir)), 0);
        EXPECT_TRUE(c.outside_untouched());
    }
    // A link as the last component: opening for writing must not truncate or create the target;
    // replacing or removing the link changes only the link.
    EXPECT_LT(
        answer(c.guest.open_file("/secret_link", YULOS_O_WRONLY | YULOS_O_CREAT | YULOS_O_TRUNC)),
        0);
    EXPECT_TRUE(c.outside_untouched());
    EXPECT_EQ(answer(c.guest.write_file("/secret_link", x)), 1);
    EXPECT_EQ(read_file(c.root / "secret_link"), "x");
    EXPECT_TRUE(c.outside_untouched());
    EXPECT_EQ(answer(c.guest.remove_file("/out")), 0);
    EXPECT_TRUE(c.outside_untouched());
    EXPECT_TRUE(fs::exists(c.outside.path()));
}

TEST(Root, MagicLinksAreRefused)
{
    Confined c;
    c.link("proc_link", "/proc/self/root");
    EXPECT_EQ(c.contents("/proc_link/etc/passwd"), "error -2"); // /proc is not in the root

    // A root that holds real magic links (a procfs directory): they are not followed.
    auto proc = GuestRoot::open("/proc/self");
    ASSERT_TRUE(proc);
    EXPECT_EQ(answer(proc->open_file("/status", 0)), 0); // ordinary procfs files open
    for (std::string_view path : {"/root/etc/passwd", "/root", "/cwd", "/exe", "/fd/0"})
        EXPECT_LT(answer(proc->open_file(path, 0)), 0) << path;
    EXPECT_LT(answer(proc->change_directory("/root")), 0);
}

TEST(Root, TheRootItselfCannotBeRemoved)
{
    Confined c;
    c.link("self", "/");
    fs::create_directory(c.root / "empty");
    for (std::string_view path : {"/", ".", "..", "/.", "/empty/..", "../.."})
        EXPECT_EQ(answer(c.guest.remove_directory(path)), -16) << path;
    EXPECT_EQ(answer(c.guest.remove_file("/")), -16);
    EXPECT_LT(answer(c.guest.remove_directory("/self")), 0); // a link, not the root
    EXPECT_TRUE(fs::is_directory(c.root.path()));
    EXPECT_TRUE(fs::is_symlink(c.root / "self"));
    EXPECT_LT(answer(c.guest.make_directory("/")), 0);
    EXPECT_LT(answer(c.guest.write_file("/", {})), 0);
    EXPECT_TRUE(fs::is_directory(c.root.path()));
}
