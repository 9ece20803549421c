#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpplog/RootLogger.h"

namespace {

using cpplog::LL_INFO;

// 2021-01-01 00:00:00 UTC.
constexpr std::time_t kNewYear2021 = 1609459200;

void Record(cpplog::BaseLogger& logger, std::time_t when, const std::string& text) {
    n_log::CustomLogMessage record("src/launcher/VozIradoz.cpp", 371, LL_INFO, logger, "wWinMain", when);
    record.getStream() << text;
}

TEST(CppLogRecord, PrefixIsUtcWithoutLeadingZeros) {
    struct Case {
        std::time_t when;
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {kNewYear2021, "class path: tavlin.exe", "[ORB][I][2021-1-1 0:0:0] class path: tavlin.exe\n"},
        {kNewYear2021, "par: ", "[ORB][I][2021-1-1 0:0:0] par: \n"},
        {1796857634, "x", "[ORB][I][2026-12-9 23:7:14] x\n"},
        // A text that already ends its line gets no second line end.
        {kNewYear2021, "done\n", "[ORB][I][2021-1-1 0:0:0] done\n"},
    };
    for (const Case& c : cases) {
        std::ostringstream out;
        cpplog::OstreamLogger logger(out);
        Record(logger, c.when, c.text);
        EXPECT_EQ(out.str(), c.expected) << c.text;
    }
}

TEST(CppLogRecord, LevelLettersAndPlainPrefix) {
    const std::pair<cpplog::loglevel_t, std::string> letters[] = {
        {0, "T"}, {1, "D"}, {2, "I"}, {3, "W"}, {4, "E"}, {5, "F"}, {6, "O"}, {99, "O"}};
    for (const auto& [level, letter] : letters) {
        std::ostringstream out;
        cpplog::OstreamLogger logger(out);
        { n_log::CustomLogMessage r("f.cpp", 1, level, logger, "F", kNewYear2021); }
        EXPECT_EQ(out.str(), "[ORB][" + letter + "][2021-1-1 0:0:0] \n");
    }

    std::ostringstream out;
    cpplog::OstreamLogger logger(out);
    {
        cpplog::LogMessage r("C:\\src\\launcher\\VozIradoz.cpp", 160, cpplog::LL_WARN, logger);
        r.getStream() << "text";
        EXPECT_STREQ(r.getData().fileName, "VozIradoz.cpp");
    }
    EXPECT_EQ(out.str(), "WARN  - VozIradoz.cpp(160): text\n");
}

TEST(CppLogRecord, KeepsCallSiteDetails) {
    std::ostringstream out;
    cpplog::OstreamLogger logger(out);
    n_log::CustomLogMessage r("/build/launcher/VozIradoz.cpp", 370, LL_INFO, logger, "wWinMain", kNewYear2021);
    EXPECT_EQ(r.getData().line, 370u);
    EXPECT_STREQ(r.getData().fileName, "VozIradoz.cpp");
    EXPECT_STREQ(r.functionName(), "wWinMain");
    EXPECT_EQ(r.getData().messageTime, kNewYear2021);
}

TEST(CppLogRecord, FullBufferEndsWithLineEndInsteadOfLastCharacter) {
    const std::string prefix = "[ORB][I][2021-1-1 0:0:0] ";
    // Exactly full, and far beyond full: both keep 20000 characters.
    for (std::size_t textSize : {cpplog::kLogBufferSize - prefix.size(), std::size_t{30000}}) {
        std::ostringstream out;
        cpplog::OstreamLogger logger(out);
        {
            n_log::CustomLogMessage r("f.cpp", 1, LL_INFO, logger, "F", kNewYear2021);
            r.getStream() << std::string(textSize, 'x') << "dropped";
        }
        const std::string s = out.str();
        ASSERT_EQ(s.size(), cpplog::kLogBufferSize) << textSize;
        EXPECT_EQ(s.substr(0, prefix.size()), prefix);
        EXPECT_EQ(s.back(), '\n');
        EXPECT_EQ(s[s.size() - 2], 'x');
    }
}

TEST(CppLogDebugOutput, LongRecordReachesDebuggerIn256CharacterPieces) {
    std::vector<std::string> pieces;
    cpplog::OutputDebugStringLogger debug([&](const char* text) { pieces.emplace_back(text); });
    {
        n_log::CustomLogMessage r("f.cpp", 1, LL_INFO, debug, "F", kNewYear2021);
        r.getStream() << std::string(300 - 25 - 1, 'y');
    }
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].size(), 256u);
    EXPECT_EQ(pieces[1].size(), 44u);
    EXPECT_EQ(pieces[0] + pieces[1], "[ORB][I][2021-1-1 0:0:0] " + std::string(274, 'y') + "\n");
}

// Counts calls and answers as told.
class ProbeLogger : public cpplog::BaseLogger {
public:
    explicit ProbeLogger(bool answer, bool throws = false) : answer_(answer), throws_(throws) {}
    bool SendRecord(cpplog::LogData&) override {
        ++calls;
        if (throws_) throw std::runtime_error("output failed");
        return answer_;
    }
    int calls = 0;

private:
    bool answer_;
    bool throws_;
};

struct DispatchCase {
    const char* what;
    bool dbgAnswer;
    bool dbgThrows;
    bool dbgEnabled;
    bool expectAnswer;
    int expectDbgCalls;
    int expectStdCalls;
};

TEST(CppLogDispatch, RootOrderEnablingAndEarlyEnd) {
    const DispatchCase cases[] = {
        {"both answer true", true, false, true, true, 1, 1},
        {"debug disabled: standard error only", true, false, false, true, 0, 1},
        {"false answer stops the dispatch", false, false, true, false, 1, 0},
        {"exception stops the dispatch", true, true, true, true, 1, 0},
    };
    for (const DispatchCase& c : cases) {
        ProbeLogger dbgOut(c.dbgAnswer, c.dbgThrows);
        ProbeLogger stdOut(true);
        cpplog::QxDbgLogger dbg(cpplog::LL_TRACE, &dbgOut);
        cpplog::QxStdLogger std(cpplog::LL_TRACE, &stdOut);
        cpplog::QxLogger root;
        root.AddLogger(&dbg);
        root.AddEntry(42);  // not a logger: skipped
        root.AddLogger(&std);
        root.SetDbgEnabled(c.dbgEnabled);
        cpplog::LogData data;
        EXPECT_EQ(root.SendRecord(data), c.expectAnswer) << c.what;
        EXPECT_EQ(dbgOut.calls, c.expectDbgCalls) << c.what;
        EXPECT_EQ(stdOut.calls, c.expectStdCalls) << c.what;
    }
}

TEST(CppLogDispatch, FilterDropsLowLevelsAndAnswersFalseWithoutTarget) {
    ProbeLogger out(true);
    cpplog::FilteringLogger filter(cpplog::LL_WARN, &out);
    cpplog::LogData info(cpplog::LL_INFO);
    cpplog::LogData error(cpplog::LL_ERROR);
    EXPECT_TRUE(filter.SendRecord(info));
    EXPECT_EQ(out.calls, 0);
    EXPECT_TRUE(filter.SendRecord(error));
    EXPECT_EQ(out.calls, 1);

    cpplog::FilteringLogger nowhere(cpplog::LL_TRACE, nullptr);
    EXPECT_FALSE(nowhere.SendRecord(error));
}

TEST(CppLogRoot, RecordsReachStandardError) {
    testing::internal::CaptureStderr();
    {
        n_log::CustomLogMessage r(__FILE__, 370, LL_INFO, cpplog::rootLogger, "wWinMain", kNewYear2021);
        r.getStream() << "class path: " << "tavlin.exe";
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[ORB][I][2021-1-1 0:0:0] class path: tavlin.exe\n");
}

TEST(CppLogText, ToChsNarrow) {
    const std::pair<std::u16string, std::string> cases[] = {
        {u"/room?id=7\"", "/room?id=7\""},
        {u"检测到程序", "检测到程序"},
        {u"", ""},
        {std::u16string(u"ab\0cd", 5), "ab"},
        {std::u16string(u"ok") + char16_t(0xD800) + u"x", ""},  // unpaired surrogate
    };
    for (const auto& [wide, narrow] : cases) EXPECT_EQ(cpplog::ToChsNarrow(wide), narrow);
}

}  // namespace
