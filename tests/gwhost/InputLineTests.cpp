// readInputLine, the reader under gwhost's shell and its password line, over a file of chosen bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ShellInput.h"

namespace {

// A temporary file holding `bytes`, read from its start; closed (and so deleted) by the caller.
std::FILE* fileOf(const std::string& bytes) {
    std::FILE* file = std::tmpfile();
    if (file != nullptr) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::rewind(file);
    }
    return file;
}

struct Expected {
    InputLine result;
    std::string text;  // checked for lines that are read
};

void expectLines(const std::string& bytes, size_t limit, const std::vector<Expected>& expected) {
    std::FILE* file = fileOf(bytes);
    ASSERT_NE(file, nullptr);
    std::string text;
    for (size_t i = 0; i < expected.size(); ++i) {
        const InputLine result = readInputLine(file, text, limit);
        EXPECT_EQ(static_cast<int>(result), static_cast<int>(expected[i].result)) << "line " << i + 1;
        if (result == InputLine::Read && expected[i].result == InputLine::Read) {
            EXPECT_EQ(text, expected[i].text) << "line " << i + 1;
        }
    }
    std::fclose(file);
}

}  // namespace

// Around a limit of 8 bytes: CR LF and LF end a line, the CR of CR LF does not count, one byte more is
// refused and the rest of that line dropped (not returned as a line of its own); a NUL byte refuses its
// line and Ctrl-Z is an ordinary byte; the lines after each refused one come through whole.
TEST(GwhostInputLine, RefusesOverLongAndNulLinesAloneAndKeepsTheOthersByteForByte) {
    const std::string bytes = std::string("ab\r\n") + "12345678\r\n" + "123456789\n" + "after\n" +
                              std::string("x\0y\n", 4) + "\x1a z\n" + "a\r\r\n" + "\n" + "lone\rcr\n" +
                              "123456789012345678901234567890\r\n" + "last";
    expectLines(bytes, 8,
                {{InputLine::Read, "ab"},
                 {InputLine::Read, "12345678"},
                 {InputLine::TooLong, ""},
                 {InputLine::Read, "after"},
                 {InputLine::HasNul, ""},
                 {InputLine::Read, "\x1a z"},
                 {InputLine::Read, "a\r"},
                 {InputLine::Read, ""},
                 {InputLine::Read, "lone\rcr"},
                 {InputLine::TooLong, ""},
                 {InputLine::Read, "last"},
                 {InputLine::End, ""},
                 {InputLine::End, ""}});
}

// The end of input: nothing at all, and an over-long last line without its line end.
TEST(GwhostInputLine, EndsAtTheEndOfInputAfterAnOverLongLastLine) {
    expectLines("", 8, {{InputLine::End, ""}});
    expectLines(std::string(100000, 'x'), 8, {{InputLine::TooLong, ""}, {InputLine::End, ""}});
}
