#include <clocale>
#include <string>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "support/SimpleLogger.h"
#include "support/Win32Helper.h"

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

TEST_F(Logger, LinesOfAnyLengthArriveWholeInEveryLocale) {
    std::string line;
    for (int i = 0; i < 300; ++i) {
        line += "T\xFCr ";
    }
    const std::string previous = std::setlocale(LC_CTYPE, nullptr);
    for (const char* locale : {"C", "Japanese_Japan.932"}) {
        ASSERT_NE(nullptr, std::setlocale(LC_CTYPE, locale));
        capture.clear();
        logger.log(line.substr(0, 1000));
        logger.log(line);
        ASSERT_EQ(2u, capture.lines().size());
        EXPECT_EQ(Win32Helper::str2wstr(line.substr(0, 1000)), capture.lines()[0].text) << locale;
        EXPECT_EQ(Win32Helper::str2wstr(line), capture.lines()[1].text) << locale;
        if (std::string(locale) == "C") {
            EXPECT_EQ(std::wstring(L"T\u00FCr "), capture.lines()[1].text.substr(0, 4));
        }
    }
    std::setlocale(LC_CTYPE, previous.c_str());
}
