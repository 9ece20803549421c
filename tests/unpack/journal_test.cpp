// The commit journal read back, and the recovery of runs killed at each
// point: before the commit record the staging is removed, after it the
// staged files go in.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "child_process.h"
#include "temp_dir.h"
#include "unpack/Journal.h"
#include "unpack/Printable.h"

namespace {

namespace fs = std::filesystem;
using tavlin::unpack::ParseJournal;
using tavlin::unpack::Printable;
using tavlin::unpack::RecoverInterrupted;
using tavlin_test::ReadFileText;
using tavlin_test::WriteFileText;

TEST(Journal, ParsesWhatARunWroteAndNothingElse) {
    const std::string head = "tavlin-journal 1\n";
    const std::string records = "D bin\nD bin/x%20y\nF bin/.a.tavlin-abc123 bin/a\nF .b%0A.tavlin-zzzzzz b%0A\n";
    struct Case {
        const char* what;
        std::string text;
        std::size_t folders, files;
        bool committed;
    };
    const Case cases[] = {
        {"staging", head + records, 2, 2, false},
        {"committed", head + records + "C 2\n", 2, 2, true},
        {"commit record cut by a kill", head + records + "C 2", 2, 2, false},
        {"commit count that does not match", head + records + "C 3\n", 2, 2, false},
        {"file record cut by a kill", head + "F bin/.a.tavlin-abc123 bin", 0, 0, false},
        {"another format", "tavlin-journal 2\n" + records + "C 2\n", 0, 0, false},
        {"empty", "", 0, 0, false},
        {"climbing out", head + "F ../.a.tavlin-abc123 ../a\nC 1\n", 0, 0, false},
        {"staged file not beside its target", head + "F x/.a.tavlin-abc123 y/a\nC 1\n", 0, 0, false},
        {"staged name without the marker", head + "F keep.txt a\nC 1\n", 0, 0, false},
        {"bad escape", head + "D bin%2\nC 0\n", 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto content = ParseJournal(c.text);
        EXPECT_EQ(content.folders.size(), c.folders);
        EXPECT_EQ(content.files.size(), c.files);
        EXPECT_EQ(content.committed, c.committed);
    }
    const auto content = ParseJournal(head + records);
    EXPECT_EQ(content.folders[1], "bin/x y");
    EXPECT_EQ(content.files[1].target, "b\n");
}

TEST(Journal, PathsSurviveTheRoundTrip) {
    for (const std::string& path : std::vector<std::string>{"plain/name.dll", "with space/and%percent", std::string("ctl\x01\x7f\n\t", 7),
                                   "中文/文件.txt"}) {
        std::string back;
        const std::string encoded = tavlin::unpack::EncodeJournalPath(path);
        EXPECT_EQ(encoded.find_first_of(" \n\t"), std::string::npos) << encoded;
        ASSERT_TRUE(tavlin::unpack::DecodeJournalPath(encoded, back));
        EXPECT_EQ(back, path);
    }
}

class Recovery : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root + "/bin");
        ASSERT_TRUE(WriteFileText(root + "/bin/a.dll", "old a"));
        ASSERT_TRUE(WriteFileText(root + "/b.txt", "old b"));
    }
    // What a run killed after staging left: two staged files, one in a
    // folder it created, and its journal with or without the commit record.
    void LeaveStaging(bool committed, bool firstMovedIn = false) {
        fs::create_directories(root + "/new/deep");
        ASSERT_TRUE(WriteFileText(root + "/bin/.a.dll.tavlin-AAAAAA", "new a"));
        ASSERT_TRUE(WriteFileText(root + "/new/deep/.c.tavlin-BBBBBB", "new c"));
        std::string journal =
            "tavlin-journal 1\nD new\nD new/deep\nF bin/.a.dll.tavlin-AAAAAA bin/a.dll\n"
            "F new/deep/.c.tavlin-BBBBBB new/deep/c\n";
        if (committed) journal += "C 2\n";
        ASSERT_TRUE(WriteFileText(root + "/.tavlin-journal", journal));
        if (firstMovedIn) fs::rename(root + "/bin/.a.dll.tavlin-AAAAAA", root + "/bin/a.dll");
    }
    std::map<std::string, std::string> Tree() {
        std::map<std::string, std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(root))
            out[e.path().lexically_relative(root).string()] =
                e.is_directory() ? "dir" : ReadFileText(e.path().string());
        return out;
    }

    tavlin_test::TempDir tmp{"tavlin-journal-"};
    const std::string root = tmp / "root";
};

TEST_F(Recovery, NothingToDoWithoutAJournal) {
    const auto r = RecoverInterrupted(root);
    EXPECT_FALSE(r.found);
    EXPECT_EQ(Tree().size(), 3u);
}

TEST_F(Recovery, StagingWithoutCommitIsRemoved) {
    LeaveStaging(false);
    const auto r = RecoverInterrupted(root);
    EXPECT_TRUE(r.found);
    EXPECT_FALSE(r.rolledForward);
    EXPECT_EQ(r.files, 2u);
    EXPECT_EQ(r.folders, 2u);
    EXPECT_EQ(Tree(), (std::map<std::string, std::string>{{"bin", "dir"}, {"bin/a.dll", "old a"}, {"b.txt", "old b"}}));
}

TEST_F(Recovery, ACommittedRunIsFinishedWhereverItStopped) {
    for (bool firstMovedIn : {false, true}) {
        SCOPED_TRACE(firstMovedIn ? "killed between the renames" : "killed right after the commit record");
        fs::remove_all(root);
        SetUp();
        LeaveStaging(true, firstMovedIn);
        const auto r = RecoverInterrupted(root);
        EXPECT_TRUE(r.rolledForward);
        EXPECT_TRUE(r.problems.empty());
        EXPECT_EQ(Tree(), (std::map<std::string, std::string>{{"bin", "dir"},
                                                               {"bin/a.dll", "new a"},
                                                               {"b.txt", "old b"},
                                                               {"new", "dir"},
                                                               {"new/deep", "dir"},
                                                               {"new/deep/c", "new c"}}));
        // Finishing twice changes nothing.
        EXPECT_FALSE(RecoverInterrupted(root).found);
    }
}

TEST_F(Recovery, AFolderThePackageDidNotMakeStays) {
    LeaveStaging(false);
    // Someone put a file of their own into a folder the staging made.
    ASSERT_TRUE(WriteFileText(root + "/new/mine.txt", "mine"));
    RecoverInterrupted(root);
    EXPECT_EQ(ReadFileText(root + "/new/mine.txt"), "mine");
    EXPECT_FALSE(fs::exists(root + "/new/deep"));
    EXPECT_FALSE(fs::exists(root + "/.tavlin-journal"));
}

TEST(Printable, ControlCharactersAreEscaped) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain/name.dll", "plain/name.dll"},
        {"a\nb\rc\td", "a\\x0ab\\x0dc\\x09d"},
        {"\x1b[31mred", "\\x1b[31mred"},
        {"del\x7f", "del\\x7f"},
        {"c1 \xc2\x85 next line", "c1 \\xc2\\x85 next line"},
        {"line\xe2\x80\xa8sep", "line\\xe2\\x80\\xa8sep"},
        {"中文 \xc2\xa0 nbsp", "中文 \xc2\xa0 nbsp"},
        {"overlong \xc0\x8a and CSI \x9b" "2J", "overlong \\xc0\\x8a and CSI \\x9b2J"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(Printable(in), out);
}

}  // namespace
