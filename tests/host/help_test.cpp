// help: the installed commands listed from /binaries/.commands with their command records,
// in the default root and, through ttyrelay, as the command record's own example; then a root
// whose list names missing, broken and record-less programs, and a root without the list.
#include "elf_image.h"
#include "host_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace yulos_test;

const std::string ttyrelay_entry = "ttyrelay: Spawn a child process on a PTY slave and relay its "
                                   "output.\n"
                                   "  example: ttyrelay /binaries/help\n";

HostRun run_in(const std::string& root, std::vector<std::string> program)
{
    std::vector<std::string> args = {"run", "--root", root};
    args.insert(args.end(), program.begin(), program.end());
    return run_host(args);
}

TEST(Help, ListsEveryInstalledCommandOfTheDefaultRoot)
{
    std::vector<std::string> names;
    for (const std::string& name : lines_of(read_file(sysroot_binary(".commands"))))
        if (!name.empty()) names.push_back(name);
    HostRun run = run_in(YULOS_SYSROOT, {"/binaries/help"});
    EXPECT_EQ(run.exit_code, 0);

    // One entry per listed name, in the list's order; an entry is a "NAME: " line and, with a
    // record, an example line.
    std::vector<std::string> heads;
    for (const std::string& line : lines_of(run.out))
        if (!line.starts_with("  example: ")) heads.push_back(line);
    ASSERT_EQ(heads.size(), names.size()) << run.out;
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_TRUE(heads[i].starts_with(names[i] + ": ")) << heads[i];
    EXPECT_NE(run.out.find(ttyrelay_entry), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("echo: (no command record)\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("help: (no command record)\n"), std::string::npos) << run.out;

    // The record's own example, `ttyrelay /binaries/help`.
    HostRun relayed = run_in(YULOS_SYSROOT, {"/binaries/ttyrelay", "/binaries/help"});
    EXPECT_EQ(relayed.exit_code, 0);
    EXPECT_EQ(relayed.out, run.out);
}

TEST(Help, ReportsWhatItCannotReadAndFailsThen)
{
    TempDir root;
    install(root, sysroot_binary("help"), "binaries/help");
    install(root, sysroot_binary("ttyrelay"), "binaries/ttyrelay");
    install(root, sysroot_binary("echo"), "binaries/echo");
    write_file(root / "binaries/notes", "not an executable\n");

    // A copy of ttyrelay whose record has the wrong magic, and one whose example runs off the
    // end of the record.
    std::vector<uint8_t> bytes = read_bytes(sysroot_binary("ttyrelay"));
    auto image = yulos::parse_elf_image(bytes, "ttyrelay");
    ASSERT_TRUE(image);
    auto record = std::find_if(image->sections.begin(), image->sections.end(),
                               [](const yulos::Section& s) { return s.name == ".yulos.cmdmeta"; });
    ASSERT_NE(record, image->sections.end());
    std::vector<uint8_t> bad_magic = bytes, unterminated = bytes;
    bad_magic[record->offset] = 'X';
    std::memset(unterminated.data() + record->offset + 67, 'x', 25);
    write_bytes(root / "binaries/badmagic", bad_magic);
    write_bytes(root / "binaries/unterminated", unterminated);

    // Blank lines, comments, trailing blanks and a carriage return are not names.
    write_file(root / "binaries/.commands", "ttyrelay\n\n# comment\necho  \r\nmissing\nnotes\n"
                                            "badmagic\nunterminated\nhelp");
    HostRun run = run_in(root.str(), {"/binaries/help"});
    EXPECT_EQ(run.out, ttyrelay_entry + "echo: (no command record)\n"
                                        "missing: (cannot open /binaries/missing)\n"
                                        "notes: (not a readable executable)\n"
                                        "badmagic: (malformed command record)\n"
                                        "unterminated: (malformed command record)\n"
                                        "help: (no command record)\n");
    EXPECT_EQ(run.exit_code, 1);

    fs::remove(root / "binaries/.commands");
    HostRun without = run_in(root.str(), {"/binaries/help"});
    EXPECT_EQ(without.out,
              "help: cannot open /binaries/.commands, the list of installed commands\n");
    EXPECT_EQ(without.exit_code, 1);
}

} // namespace
