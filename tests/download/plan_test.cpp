// Pure rules of the engine: connection count and split, retry waits, tokens.
#include <gtest/gtest.h>

#include "download/CurlDownload.h"
#include "download/DownloadTokens.h"

namespace {

struct PlanCase {
    uint32_t size;
    int32_t requested;
    bool ranges;
    std::vector<SegmentPlan> expected;
};

TEST(PlanSegments, CountAndSplitFollowTheFileSize) {
    const uint32_t MiB = 1048576;
    const PlanCase cases[] = {
        {1, 5, true, {{0, 1}}},
        {600, 5, true, {{0, 600}}},
        {5242880, 5, true, {{0, 5242880}}},
        {5242881, 5, true, {{0, 2621440}, {2621440, 2621441}}},
        {3 * 4194304, 5, true, {{0, 4194304}, {4194304, 4194304}, {8388608, 4194304}}},
        // Five connections need more than 20 MiB.
        {20 * MiB, 5, true, {{0, 5 * MiB}, {5 * MiB, 5 * MiB}, {10 * MiB, 5 * MiB}, {15 * MiB, 5 * MiB}}},
        {20 * MiB + 1, 5, true,
         {{0, 4194304}, {4194304, 4194304}, {8388608, 4194304}, {12582912, 4194304}, {16777216, 4194305}}},
        {100 * MiB, 5, true,
         {{0, 20 * MiB}, {20 * MiB, 20 * MiB}, {40 * MiB, 20 * MiB}, {60 * MiB, 20 * MiB}, {80 * MiB, 20 * MiB}}},
        {100 * MiB, 2, true, {{0, 50 * MiB}, {50 * MiB, 50 * MiB}}},
        // Without range support: one connection, whatever the size.
        {100 * MiB, 5, false, {{0, 100 * MiB}}},
        {0xFFFFFFFFu - 64, 5, true,
         {{0, 858993446}, {858993446, 858993446}, {1717986892, 858993446}, {2576980338, 858993446},
          {3435973784, 858993447}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PlanSegments(c.size, c.requested, c.ranges), c.expected) << c.size << " bytes, " << c.requested;
    }
}

// Pieces: sixteen equal ones once each would hold 4 MiB, else one per connection.
TEST(PlanPieces, SixteenForALargeFileOnePerConnectionOtherwise) {
    const uint32_t MiB = 1048576;
    const struct {
        uint32_t size;
        int32_t requested;
        bool ranges;
        size_t pieces;
    } cases[] = {
        {12 * MiB, 5, true, 3},      {40 * MiB, 5, true, 5},  {64 * MiB - 1, 5, true, 5},
        {64 * MiB, 5, true, 16},     {100 * MiB, 5, true, 16}, {100 * MiB, 2, true, 16},
        {100 * MiB, 1, true, 1},     {100 * MiB, 5, false, 1}, {100 * MiB, 16, true, 16},
        {0xFFFFFFFFu - 64, 5, true, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::vector<SegmentPlan> connections = PlanSegments(c.size, c.requested, c.ranges);
        const std::vector<SegmentPlan> pieces = PlanPieces(c.size, connections);
        ASSERT_EQ(pieces.size(), c.pieces) << c.requested;
        if (c.pieces == connections.size()) {
            EXPECT_EQ(pieces, connections);
        }
        // In order, without gap or overlap, the remainder in the last.
        uint32_t next = 0;
        for (const SegmentPlan& piece : pieces) {
            EXPECT_EQ(piece.start, next);
            EXPECT_GT(piece.length, 0u);
            next = piece.start + piece.length;
        }
        EXPECT_EQ(next, c.size);
        for (size_t i = 1; i + 1 < pieces.size(); ++i) EXPECT_EQ(pieces[i].length, pieces[0].length);
    }
}

TEST(RetryDelay, DoublesFromOneSecondAndStopsAtTheCap) {
    const std::pair<int32_t, uint32_t> cases[] = {{0, 1000},  {1, 2000},  {2, 4000},   {5, 32000},
                                                  {6, 60000}, {23, 60000}, {31, 60000}, {500, 60000}};
    for (auto [doublings, ms] : cases) EXPECT_EQ(RetryDelayMs(doublings), ms) << doublings;
}

TEST(ThreadToken, ReadsBackWhatWasWrittenAndRefusesDamagedTexts) {
    char buffer[32];
    int engine = 0;
    FormatThreadToken(buffer, &engine, 4);
    uintptr_t address = 0;
    int index = -1;
    ASSERT_TRUE(ParseThreadToken(buffer, &address, &index));
    EXPECT_EQ(address, reinterpret_cast<uintptr_t>(&engine));
    EXPECT_EQ(index, 4);

    const char* refused[] = {"0x1234", "0+1", "(nil)+1", "0x10+-1", "0x10+abc", "0x10+", "+3", "zz+1"};
    for (const char* text : refused) EXPECT_FALSE(ParseThreadToken(text, &address, &index)) << text;
    EXPECT_FALSE(ParseThreadToken(nullptr, &address, &index));
    EXPECT_TRUE(ParseThreadToken("1234+0", &address, &index));
    EXPECT_EQ(address, 0x1234u);
}

TEST(RangeTestToken, CountsUpToItsLimitThenAborts) {
    RangeTestToken token(1024);
    EXPECT_TRUE(IsRangeTestToken(token.text));
    EXPECT_FALSE(IsRangeTestToken("0x1234+1"));
    EXPECT_FALSE(IsRangeTestToken(nullptr));
    EXPECT_EQ(CountRangeTestBytes(token.text, 1, 1000), 1000u);
    EXPECT_EQ(CountRangeTestBytes(token.text, 1, 24), 24u);  // exactly the limit passes
    EXPECT_EQ(CountRangeTestBytes(token.text, 1, 1), 0u);    // one more aborts
    EXPECT_EQ(token.counter, 1025);

    // The whole limit is in the text, however wide the address prints.
    RangeTestToken wide(2000000000);
    EXPECT_EQ(CountRangeTestBytes(wide.text, 1, 1999999999), 1999999999u);
    EXPECT_EQ(CountRangeTestBytes(wide.text, 1, 2), 1u);

    RangeTestToken none(0);  // the 1-byte file's probe
    EXPECT_EQ(CountRangeTestBytes(none.text, 1, 1), 0u);
}

}  // namespace
