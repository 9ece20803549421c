// Call-site names of log records and the log folder's program part.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file_text.h"
#include "log/FileLogger.h"
#include "log/LogDirectory.h"
#include "log_files.h"
#include "log_root.h"
#include "temp_dir.h"

namespace {

using updater_log::FunctionNameOf;

TEST(LogSite, FunctionNameKeepsQualifiedNameOnly) {
    struct Case {
        const char* pretty;
        const char* name;
    };
    // Texts as g++ and clang write them.
    const Case cases[] = {
        {"void zeb::KillOrbProcess()", "zeb::KillOrbProcess"},
        {"bool CurlDownloader::Start(const std::string&)", "CurlDownloader::Start"},
        {"pid_t FindProcess_ByName(const string&)", "FindProcess_ByName"},
        {"CurlDownloader::CurlDownloader()", "CurlDownloader::CurlDownloader"},
        {"CurlDownloader::~CurlDownloader()", "CurlDownloader::~CurlDownloader"},
        {"std::map<int, int> {anonymous}::A::f(int) const", "{anonymous}::A::f"},
        {"std::map<int, int> (anonymous namespace)::A::f(int) const", "(anonymous namespace)::A::f"},
        {"static FileLogger* FileLogger::Instance()", "FileLogger::Instance"},
        {"static (anonymous namespace)::A *(anonymous namespace)::A::I()", "(anonymous namespace)::A::I"},
        {"T Box<T>::get(T) [with T = int]", "Box<T>::get"},
        {"T Box<T>::get(T) [T = int]", "Box<T>::get"},
        {"zeb::Job::Run()::<lambda()>", "zeb::Job::Run"},
        {"auto zeb::Job::Run()::(anonymous class)::operator()() const", "zeb::Job::Run"},
        {"auto zeb::Job::Run()::(lambda at a.cpp:1:2)::operator()() const", "zeb::Job::Run"},
        {"bool A::operator<(const A&) const", "A::operator<"},
        {"int A::operator()(int)", "A::operator()"},
        {"A::operator bool() const", "A::operator bool"},
        {"main", "main"},
    };
    for (const Case& c : cases) EXPECT_EQ(FunctionNameOf(c.pretty), c.name) << c.pretty;
}

TEST(LogSite, SourceUnitDropsTheExtensionOnly) {
    struct Case {
        const char* path;
        const char* unit;
    };
    const Case cases[] = {
        {"/src/updater/download/CurlDownload.cpp", "/src/updater/download/CurlDownload"},
        {"zebUtil.cpp", "zebUtil"},
        {"/src/dir.v2/process_op", "/src/dir.v2/process_op"},
        {"NoExtension", "NoExtension"},
    };
    for (const Case& c : cases) EXPECT_EQ(updater_log::SourceUnitOf(c.path), c.unit) << c.path;
}

TEST(LogSite, SubFolderIsTheProgramNameBeforeDotExe) {
    struct Case {
        const char* modulePath;
        const char* folder;
    };
    const Case cases[] = {
        {"/A/B/temp/Updater.exe", "Updater"},
        {"/opt/tavlin/tavlinUpdater", "tavlinUpdater"},
        {"/x/a.exe.exe", "a.exe"},
        {"/x/my.exe.bak", "my"},
        {"/x/Updater.EXE", "Updater.EXE"},
        {"noslash.exe", "temp"},
        {"", "temp"},
    };
    for (const Case& c : cases) EXPECT_EQ(updater_log::LogSubFolderFor(c.modulePath), c.folder) << c.modulePath;
}

}  // namespace

namespace sample {

struct Job {
    int Run() {
        const int line = __LINE__ + 1;
        UPDATER_LOG(0, "from %s", "a member");
        auto inner = [] { UPDATER_LOG(0, "from a lambda"); };
        inner();
        return line;
    }
};

}  // namespace sample

int FreeFunction() {
    const int line = __LINE__ + 1;
    UPDATER_LOG(0, "free");
    return line;
}

namespace {

TEST(LogSite, MacroPassesSourceUnitLineAndFunction) {
    tavlin_test::TempDir tmp("updater-site-");
    updater_test::UseLogRoot(tmp.path());
    // Named after the folder: where the log folder is shared, no earlier
    // run's file can be taken for this one's.
    const std::string name = "site-" + std::filesystem::path(tmp.path()).filename().string();
    FileLogger* log = FileLogger::Instance();
    log->Open(name);
    log->maxLevel = 0;
    const int memberLine = sample::Job().Run();
    const int freeLine = FreeFunction();
    ASSERT_TRUE(log->Drain(10000));

    const auto files = updater_test::LogFiles(updater_test::ProgramLogFolder(tmp.path()), name);
    ASSERT_EQ(files.size(), 1u);
    // The logger is the process's one: when the whole program runs, records
    // of code that earlier tests left working may land in this file too.
    std::vector<std::string> lines;
    for (const std::string& line : updater_test::SplitLines(tavlin_test::ReadFileText(files[0]))) {
        updater_test::Record parsed;
        if (updater_test::ParseRecord(line, parsed) && parsed.source == "log_site_test") lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 3u);
    updater_test::Record record;
    ASSERT_TRUE(updater_test::ParseRecord(lines[0], record));
    EXPECT_EQ(record.source, "log_site_test");
    EXPECT_EQ(record.line, std::to_string(memberLine));
    EXPECT_EQ(record.function, "sample::Job::Run");
    EXPECT_EQ(record.message, "from a member");
    ASSERT_TRUE(updater_test::ParseRecord(lines[1], record));
    EXPECT_EQ(record.function, "sample::Job::Run");
    EXPECT_EQ(record.message, "from a lambda");
    ASSERT_TRUE(updater_test::ParseRecord(lines[2], record));
    EXPECT_EQ(record.function, "FreeFunction");
    EXPECT_EQ(record.line, std::to_string(freeLine));
}

}  // namespace
