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

namespace {

namespace fs = std::filesystem;
using tavlin::unpack::RecoverInterrupted;
using tavlin_test::ReadFileText;
using tavlin_test::WriteFileText;

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

}  // namespace
