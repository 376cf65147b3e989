#include "ShellInput.h"

#include <windows.h>

#include <cstdio>

ShellInput::ShellInput(int linesAlreadyRead) : line_(linesAlreadyRead) {
    DWORD mode = 0;
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    interactive_ = input != INVALID_HANDLE_VALUE && input != nullptr && ::GetConsoleMode(input, &mode);
}

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

bool ShellInput::next(std::vector<std::string>& words) {
    // Read with the C library, as the password before it was: both share the stream's buffer.
    for (;;) {
        std::string text;
        int c = std::fgetc(stdin);
        if (c == EOF) {
            return false;  // the end of input; a last line without its line end was returned before
        }
        for (; c != EOF && c != '\n'; c = std::fgetc(stdin)) {
            text.push_back(static_cast<char>(c));
        }
        ++line_;
        words.clear();
        for (size_t i = 0; i < text.size();) {
            while (i < text.size() && isBlank(text[i])) {
                ++i;
            }
            const size_t start = i;
            while (i < text.size() && !isBlank(text[i])) {
                ++i;
            }
            if (i > start) {
                words.push_back(text.substr(start, i - start));
            }
        }
        if (!words.empty() && words[0][0] != '#') {
            return true;
        }
    }
}
