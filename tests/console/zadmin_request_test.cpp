// zadmin's command line as it grew for fleets: computers from files, how many at once, --yes.
#include <gtest/gtest.h>

#include <fstream>

#include "console/cli/request.h"
#include "tests/unit/temp_root.h"

using namespace zantor::console::cli;
using namespace zantor::test;
namespace fs = std::filesystem;

namespace {

using Names = std::vector<std::string>;

fs::path Write(const TempDir& dir, const std::string& name, const std::string& text) {
    const fs::path path = dir.path() / name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

TEST(ZadminComputersFile, OneNameALineCommentsAndBlanksAside) {
    TempDir dir;
    const fs::path file = Write(dir, "office.txt",
                                "# the office\r\n"
                                "PC1\r\n"
                                "\n"
                                "   pc2\t # upstairs\n"
                                " \t \n"
                                "#PC3 is gone\n"
                                "admin@10.1.0.1");  // no line end after the last
    Names names{"given before"};
    std::string problem;
    ASSERT_TRUE(ReadComputersFile(file.string(), names, problem)) << problem;
    EXPECT_EQ(names, (Names{"given before", "PC1", "pc2", "admin@10.1.0.1"}));
}

TEST(ZadminComputersFile, WhatIsNoListOfComputersIsToldWithItsFile) {
    TempDir dir;
    const std::string missing = (dir.path() / "missing.txt").string();
    const std::pair<std::string, std::string> cases[] = {
        {missing,
         "cannot read the computers file " + missing + ": Error [2] (The file was not found.)"},
        {dir.path().string(), "cannot read the computers file " + dir.path().string() +
                                  ": Error [5] (Access was denied.)"},
        {Write(dir, "huge.txt", std::string(kMaxComputersFileBytes + 1, 'a')).string(),
         "cannot read the computers file " + (dir.path() / "huge.txt").string() +
             ": Error [223] (The file is larger than this operation allows.)"},
        {Write(dir, "two.txt", "PC1\nPC2 PC3 # both\n").string(),
         "line 2 of the computers file " + (dir.path() / "two.txt").string() +
             " holds more than one name: 'PC2 PC3'"},
        {Write(dir, "none.txt", "# nobody yet\n\n").string(),
         "the computers file " + (dir.path() / "none.txt").string() + " names no computer"},
        {Write(dir, "empty.txt", "").string(),
         "the computers file " + (dir.path() / "empty.txt").string() + " names no computer"},
    };
    for (const auto& [file, expected] : cases) {
        Names names;
        std::string problem;
        EXPECT_FALSE(ReadComputersFile(file, names, problem)) << file;
        EXPECT_EQ(problem, expected);
        // The command line says the same and touches no computer.
        const Parsed parsed = ParseCommandLine({"--computers", file, "list"});
        EXPECT_FALSE(parsed.request);
        EXPECT_EQ(parsed.problem, expected);
    }
}

TEST(ZadminCommandLine, ComputersComeInTheOrderGivenEachOnce) {
    TempDir dir;
    const fs::path file = Write(dir, "list", "B\na\nC\n");
    Parsed parsed = ParseCommandLine({"--computer", "A", "--computers", file.string(), "--computer",
                                      "\\\\c", "--computer", "D", "list"});
    ASSERT_TRUE(parsed.request) << parsed.problem;
    EXPECT_EQ(parsed.request->computers, (Names{"A", "B", "C", "D"}));

    // A save from the computers of a file needs a file name per computer, as from --computer.
    parsed = ParseCommandLine({"--computers", file.string(), "save", "office.INI"});
    EXPECT_EQ(parsed.problem,
              "a save from several computers needs {computer} in FILE, so that each gets a file "
              "of its own");
    parsed = ParseCommandLine({"--computers", Write(dir, "one", "PC1\n").string(), "save", "x"});
    EXPECT_TRUE(parsed.request) << "one computer, one file";
}

TEST(ZadminCommandLine, ParallelIsANumberOfComputersAndYesIsOffUnlessGiven) {
    Parsed parsed = ParseCommandLine({"list"});
    ASSERT_TRUE(parsed.request);
    EXPECT_EQ(parsed.request->parallel, kDefaultParallel);
    EXPECT_FALSE(parsed.request->yes);
    EXPECT_FALSE(parsed.request->acceptNewHostKeys);
    for (const auto& [given, count] : {std::pair{"1", 1}, {"3", 3}, {"256", 256}}) {
        parsed = ParseCommandLine({"--parallel", given, "--yes", "list"});
        ASSERT_TRUE(parsed.request) << parsed.problem;
        EXPECT_EQ(parsed.request->parallel, count);
        EXPECT_TRUE(parsed.request->yes);
        EXPECT_FALSE(parsed.request->acceptNewHostKeys);
    }
    parsed = ParseCommandLine({"--accept-new-host-keys", "list"});
    ASSERT_TRUE(parsed.request) << parsed.problem;
    EXPECT_TRUE(parsed.request->acceptNewHostKeys);
    EXPECT_FALSE(parsed.request->yes);
    for (const std::string bad : {"0", "-1", "abc", "257", "99999999999", "", "4x", "1.5"}) {
        parsed = ParseCommandLine({"--parallel", bad, "list"});
        EXPECT_FALSE(parsed.request) << bad;
        EXPECT_EQ(parsed.problem,
                  "--parallel takes a number of computers from 1 to 256, not '" + bad + "'");
    }
    EXPECT_EQ(ParseCommandLine({"list", "--parallel"}).problem, "--parallel needs a value");
    EXPECT_EQ(ParseCommandLine({"list", "--computers"}).problem, "--computers needs a value");
}

TEST(ZadminCommandLine, StatsWatchAndExplainGoWhereTheyBelong) {
    Parsed parsed = ParseCommandLine({"stats"});
    ASSERT_TRUE(parsed.request) << parsed.problem;
    EXPECT_EQ(parsed.request->watchSeconds, 0);
    EXPECT_TRUE(parsed.request->args.empty());
    parsed = ParseCommandLine({"stats", "10.0.0.5", "--watch", "2", "--tsv"});
    ASSERT_TRUE(parsed.request) << parsed.problem;
    EXPECT_EQ(parsed.request->watchSeconds, 2);
    EXPECT_TRUE(parsed.request->tsv);
    EXPECT_EQ(parsed.request->args, (Names{"10.0.0.5"}));
    for (const std::string bad : {"0", "3601", "x", ""})
        EXPECT_EQ(ParseCommandLine({"stats", "--watch", bad}).problem,
                  "--watch takes a number of seconds from 1 to 3600, not '" + bad + "'");
    EXPECT_EQ(ParseCommandLine({"stats", "a", "b"}).problem,
              "stats has too many arguments (zadmin stats [ADDRESS] [--watch SECONDS] [--tsv])");
    // Redrawn in place, the block of one computer would overwrite another's.
    EXPECT_EQ(
        ParseCommandLine({"--computer", "A", "--computer", "B", "stats", "--watch", "1"}).problem,
        "stats --watch shows one computer: give one --computer (zadmin stats [ADDRESS] "
        "[--watch SECONDS] [--tsv])");
    EXPECT_TRUE(ParseCommandLine({"--computer", "A", "--computer", "B", "stats"}).request);
    EXPECT_EQ(ParseCommandLine({"list", "--watch", "1"}).problem, "--watch is no option of list");

    parsed = ParseCommandLine({"log", "deny", "--explain"});
    ASSERT_TRUE(parsed.request) << parsed.problem;
    EXPECT_TRUE(parsed.request->explain);
    EXPECT_EQ(ParseCommandLine({"log", "service", "--explain"}).problem,
              "--explain explains the entries of the deny log alone (zadmin log service|deny "
              "[--oem] [--explain])");
    EXPECT_EQ(ParseCommandLine({"clear-log", "deny", "--explain"}).problem,
              "--explain is no option of clear-log");
}

}  // namespace
