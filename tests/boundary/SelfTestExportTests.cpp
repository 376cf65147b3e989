// The interop self-test exports: results, the callback, and the exact text on standard output.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "GatewayLibrary.h"

namespace {

// Redirects the C runtime's standard output (the one the DLL's std::cout writes through) into a file.
class StdoutCapture {
public:
    StdoutCapture() {
        wchar_t directory[MAX_PATH];
        ::GetTempPathW(MAX_PATH, directory);
        wchar_t file[MAX_PATH];
        ::GetTempFileNameW(directory, L"gwo", 0, file);
        m_path = file;
        std::fflush(stdout);
        m_saved = _dup(1);
        int fd = _wopen(m_path.c_str(), _O_WRONLY | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
        _dup2(fd, 1);
        _close(fd);
    }
    ~StdoutCapture() {
        restore();
        ::DeleteFileW(m_path.c_str());
    }
    std::string text() {
        restore();
        std::string content;
        if (FILE* in = _wfopen(m_path.c_str(), L"rb")) {
            char buffer[4096];
            size_t read;
            while ((read = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
                content.append(buffer, read);
            }
            std::fclose(in);
        }
        return content;
    }

private:
    void restore() {
        if (m_saved >= 0) {
            std::fflush(stdout);
            _dup2(m_saved, 1);
            _close(m_saved);
            m_saved = -1;
        }
    }
    std::wstring m_path;
    int m_saved = -1;
};

int g_fired = 0;
int g_firedValue = 0;
void SIPASSVORMEKGATEWAY_CALL recordFire(int value) {
    ++g_fired;
    g_firedValue = value;
}

}  // namespace

TEST(SelfTestExports, IntegerSumWrapsAndWritesItsText) {
    GatewayLibrary library;
    StdoutCapture out;
    EXPECT_EQ(5, library.CalculateSum(2, 3));
    EXPECT_EQ(-2147483647 - 1, library.CalculateSum(2147483647, 1));
    EXPECT_EQ("testCalculateSum calledtestCalculateSum called", out.text());
}

TEST(SelfTestExports, CallbackIsCalledWith22OnlyWhileRegistered) {
    GatewayLibrary library;
    g_fired = 0;
    StdoutCapture out;
    library.FireCallback();
    EXPECT_EQ(0, g_fired);
    library.RegisterCallback(&recordFire);
    library.FireCallback();
    EXPECT_EQ(1, g_fired);
    EXPECT_EQ(22, g_firedValue);
    library.RegisterCallback(nullptr);
    library.FireCallback();
    EXPECT_EQ(1, g_fired);
    EXPECT_EQ(
        "testFireCallback calledtestRegisterCallback calledtestFireCallback called"
        "testRegisterCallback calledtestFireCallback called",
        out.text());
}

TEST(SelfTestExports, IntArraySumReadsOnlyCountValues) {
    GatewayLibrary library;
    const int values[] = {1, 2, 3, 4};
    const int extremes[] = {2147483647, 1};
    StdoutCapture out;
    EXPECT_EQ(0, library.SetIntArray(values, 0));
    EXPECT_EQ(0, library.SetIntArray(nullptr, -3));
    EXPECT_EQ(0, library.SetIntArray(nullptr, 3));
    EXPECT_EQ(6, library.SetIntArray(values, 3));
    EXPECT_EQ(-2147483647 - 1, library.SetIntArray(extremes, 2));
    EXPECT_EQ(
        "testSetIntArray called\ntestSetIntArray called\ntestSetIntArray called\ntestSetIntArray called\n"
        "testSetIntArray called\n",
        out.text());
}

TEST(SelfTestExports, CountCharsReturnsTheByteLengthAndEchoesTheText) {
    GatewayLibrary library;
    StdoutCapture out;
    EXPECT_EQ(3, library.CountChars("abc"));
    EXPECT_EQ(0, library.CountChars(""));
    EXPECT_EQ(2, library.CountChars("\xC3\xA9"));
    EXPECT_EQ(0, library.CountChars(nullptr));
    EXPECT_EQ(
        "countChars called\nParameter: abc\ncountChars called\nParameter: \ncountChars called\n"
        "Parameter: \xC3\xA9\ncountChars called\nParameter: \n",
        out.text());
}
