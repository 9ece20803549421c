// The file logger, checked through what reaches its files (the limits of
// the system around it: file_logger_limits_test.cpp).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "file_logger_fixture.h"

namespace fs = std::filesystem;
using updater_test::FileLoggerTest;
using updater_test::kDrainMs;
using updater_test::kTimeLength;
using updater_test::LogFiles;
using updater_test::SplitLines;

namespace {

TEST_F(FileLoggerTest, WritesOneLineInTheFieldOrder) {
    FileLogger logger;
    logger.Open(name_);
    const time_t before = std::time(nullptr);
    logger.Log(0, "../src/CurlDownload", 123, "CurlDownloader::Start", "hello %d", 42);
    logger.Log(0, "NoFolder", 7, "f", nullptr);
    logger.Log(0, "a/b", -1, "g", "ends\n");
    ASSERT_TRUE(logger.Drain(kDrainMs));

    const std::string text = AllText();
    EXPECT_EQ(text.find('\r'), std::string::npos);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::vector<std::string> lines = SplitLines(text);
    ASSERT_EQ(lines.size(), 4u);

    updater_test::Record record;
    ASSERT_TRUE(updater_test::ParseRecord(lines[0], record)) << lines[0];
    tm local{};
    ASSERT_TRUE(updater_test::ParseLogTime(record.time, local)) << lines[0];
    EXPECT_LE(std::abs(std::difftime(std::mktime(&local), before)), 5.0) << lines[0];
    EXPECT_EQ(record.level, "0");
    EXPECT_EQ(record.source, "CurlDownload");
    EXPECT_EQ(record.line, "123");
    EXPECT_EQ(record.function, "CurlDownloader::Start");
    EXPECT_EQ(record.message, "hello 42");

    const std::string time = lines[0].substr(0, kTimeLength);
    EXPECT_EQ(lines[1], time + "|0|NoFolder|7|f|");
    EXPECT_EQ(lines[2], time + "|0|b|-1|g|ends");
    EXPECT_EQ(lines[3], "");
}

TEST_F(FileLoggerTest, FiltersByExactOrMaximumLevel) {
    struct Case {
        int32_t exactLevel, maxLevel, level;
        bool kept;
    };
    const Case cases[] = {
        {-1, 0, 0, true},   {-1, 0, 2, false},  {-1, 4, 4, true},   {-1, 4, 5, false},
        {-1, 0, -5, true},  {3, 0, 3, true},    {3, 10, 2, false},  {3, -1, 3, true},
        {-1, -1, 0, false}, {-1, -1, -1, false}, {-1, -2, -3, false},
    };
    FileLogger logger;
    logger.Open(name_);
    for (size_t i = 0; i < std::size(cases); ++i) {
        logger.exactLevel = cases[i].exactLevel;
        logger.maxLevel = cases[i].maxLevel;
        logger.Log(cases[i].level, "s", 1, "f", "case %u", static_cast<unsigned>(i));
    }
    ASSERT_TRUE(logger.Drain(kDrainMs));
    const std::vector<std::string> written = updater_test::MessagesOf(SplitLines(AllText()), "f");
    for (size_t i = 0; i < std::size(cases); ++i) {
        bool found = std::find(written.begin(), written.end(), "case " + std::to_string(i)) != written.end();
        EXPECT_EQ(found, cases[i].kept) << "case " << i << ": exact " << cases[i].exactLevel << " max "
                                        << cases[i].maxLevel << " level " << cases[i].level;
    }
}

TEST_F(FileLoggerTest, CutsMessagesAt1023Bytes) {
    struct Case {
        size_t length, written;
    };
    const Case cases[] = {{0, 0}, {1022, 1022}, {1023, 1023}, {1024, 1023}, {5000, 1023}};
    FileLogger logger;
    logger.Open(name_);
    std::vector<std::string> messages;
    for (const Case& c : cases) {
        std::string message;
        for (size_t i = 0; i < c.length; ++i) message += static_cast<char>('a' + i % 26);
        logger.Log(0, "s", 1, "f", "%s", message.c_str());
        messages.push_back(message);
    }
    ASSERT_TRUE(logger.Drain(kDrainMs));
    const std::vector<std::string> written = updater_test::MessagesOf(SplitLines(AllText()), "f");
    ASSERT_EQ(written.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(written[i], messages[i].substr(0, cases[i].written)) << "length " << cases[i].length;
    }
}

TEST_F(FileLoggerTest, StartsANewFileOnlyWhenALineWouldCrossTheLimit) {
    FileLogger logger;
    logger.SetSizeLimit(200);
    logger.Open(name_);
    LogLineOfLength(logger, 100, 'a');
    LogLineOfLength(logger, 100, 'b');  // exactly 200: stays
    LogLineOfLength(logger, 50, 'c');   // 250: new file
    LogLineOfLength(logger, 150, 'd');  // exactly 200 again
    LogLineOfLength(logger, 30, 'e');   // 230: new file
    LogLineOfLength(logger, 300, 'f');  // longer than the limit: new file, alone
    LogLineOfLength(logger, 30, 'g');   // new file
    ASSERT_TRUE(logger.Drain(kDrainMs));

    const std::vector<std::string> files = Files();
    const std::vector<std::string> expected = {"ab", "cd", "e", "f", "g"};
    ASSERT_EQ(files.size(), expected.size());
    for (size_t i = 0; i < files.size(); ++i) {
        std::string fills;
        for (const std::string& message : updater_test::MessagesOf(SplitLines(tavlin_test::ReadFileText(files[i])), "f"))
            fills += message.at(0);
        EXPECT_EQ(fills, expected[i]) << files[i];
    }
    EXPECT_EQ(fs::file_size(files[0]), 200u);
    EXPECT_EQ(fs::file_size(files[1]), 200u);
    EXPECT_EQ(fs::file_size(files[3]), 300u);
}

TEST_F(FileLoggerTest, RotationsWithinOneTickKeepEveryFile) {
    FileLogger logger;
    logger.SetSizeLimit(60);
    logger.Open(name_);
    for (int i = 0; i < 40; ++i) logger.Log(0, "s", 1, "f", "line %02d of forty, each its own file", i);
    ASSERT_TRUE(logger.Drain(kDrainMs));
    const std::vector<std::string> files = Files();
    ASSERT_EQ(files.size(), 40u);
    for (int i = 0; i < 40; ++i) {
        const auto messages = updater_test::MessagesOf(SplitLines(tavlin_test::ReadFileText(files[i])), "f");
        ASSERT_EQ(messages.size(), 1u) << files[i];
        char expected[64];
        std::snprintf(expected, sizeof expected, "line %02d of forty, each its own file", i);
        EXPECT_EQ(messages[0], expected);
    }
}

TEST_F(FileLoggerTest, NoLimitKeepsOneFile) {
    FileLogger logger;
    logger.SetSizeLimit(0);
    logger.Open(name_);
    for (int i = 0; i < 500; ++i) LogLineOfLength(logger, 100);
    ASSERT_TRUE(logger.Drain(kDrainMs));
    ASSERT_EQ(Files().size(), 1u);
    EXPECT_EQ(fs::file_size(Files()[0]), 50000u);
}

TEST_F(FileLoggerTest, LinesFromRacingThreadsStayWhole) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 2500;
    FileLogger logger;
    logger.SetSizeLimit(0);
    logger.Open(name_);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int n = 0; n < kPerThread; ++n) {
                std::string padding(static_cast<size_t>((n * 7 + t * 13) % 300), static_cast<char>('a' + t));
                logger.Log(0, "race", t, "Racer::Run", "T%d N%d %s|end", t, n, padding.c_str());
            }
        });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    ASSERT_TRUE(logger.Drain(kDrainMs));

    const std::vector<std::string> lines = SplitLines(AllText());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kPerThread));
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : lines) {
        updater_test::Record record;
        ASSERT_TRUE(updater_test::ParseRecord(line, record)) << line;
        // "T<t> N<n> <padding>|end"
        int t = -1, n = -1, used = 0;
        ASSERT_EQ(std::sscanf(record.message.c_str(), "T%d N%d %n", &t, &n, &used), 2) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        const std::string rest = record.message.substr(static_cast<size_t>(used));
        const size_t padding = static_cast<size_t>((n * 7 + t * 13) % 300);
        ASSERT_EQ(rest, std::string(padding, static_cast<char>('a' + t)) + "|end") << line;
        ASSERT_EQ(record.line, std::to_string(t)) << line;
        ASSERT_EQ(n, next[t]) << "thread " << t << " out of order";
        ++next[t];
    }
}

TEST_F(FileLoggerTest, DestructionWritesOutWhatIsQueued) {
    {
        FileLogger logger;
        logger.Open(name_);
        for (int i = 0; i < 2000; ++i) logger.Log(0, "s", 1, "f", "record %d", i);
    }
    const std::vector<std::string> messages = updater_test::MessagesOf(SplitLines(AllText()), "f");
    ASSERT_EQ(messages.size(), 2000u);
    EXPECT_EQ(messages.back(), "record 1999");
}

}  // namespace
