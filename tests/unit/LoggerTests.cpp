#include <gtest/gtest.h>

#include "LogCapture.h"
#include "SimpleLogger.h"

namespace {

class Logger : public ::testing::Test {
protected:
    void SetUp() override { logger.setLogger(&LogCapture::callback); }
    void TearDown() override { logger.setLogger(nullptr); }

    SimpleLogger& logger = *SimpleLogger::GetInstance();
    LogCapture capture;
};

int g_otherCalls = 0;
void SIPASSVORMEKGATEWAY_CALL otherCallback(LogLevel, const wchar_t*) {
    ++g_otherCalls;
}

}  // namespace

TEST_F(Logger, EachEntryForwardsItsLevelAndTheTextUnchanged) {
    logger.log("abc");
    logger.errLog("abc");
    logger.dbgLog("abc");
    logger.dbgLogW(L"abc");
    EXPECT_EQ((std::vector<LogLine>{{0, L"abc"}, {1, L"abc"}, {2, L"abc"}, {2, L"abc"}}), capture.lines());
}

TEST_F(Logger, ForwardsEmptyTextAndCutsAtAnEmbeddedNul) {
    logger.log("");
    logger.log(std::string("ab\0cd", 5));
    logger.dbgLogW(std::wstring(L"xy\0z", 4));
    EXPECT_EQ((std::vector<LogLine>{{0, L""}, {0, L"ab"}, {2, L"xy"}}), capture.lines());
}

TEST_F(Logger, WidensBytesAbove127ByTheDefaultLocale) {
    logger.log("caf\xE9");
    ASSERT_EQ(1u, capture.lines().size());
    EXPECT_EQ(std::wstring(L"caf\u00E9"), capture.lines()[0].text);
}

TEST_F(Logger, NullCallbackDropsMessagesAndTheInstanceStaysTheSame) {
    logger.setLogger(nullptr);
    logger.log("lost");
    logger.errLog("lost");
    logger.dbgLog("lost");
    logger.dbgLogW(L"lost");
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_EQ(&logger, SimpleLogger::GetInstance());
    EXPECT_FALSE(logger.enabled());
}

TEST_F(Logger, ASecondCallbackReplacesTheFirst) {
    g_otherCalls = 0;
    logger.setLogger(&otherCallback);
    logger.log("to the other one");
    EXPECT_EQ(1, g_otherCalls);
    EXPECT_TRUE(capture.lines().empty());
}
