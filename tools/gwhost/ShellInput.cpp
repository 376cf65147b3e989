#include "ShellInput.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

namespace {

bool standardInputIsConsole() {
    DWORD mode = 0;
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    return input != INVALID_HANDLE_VALUE && input != nullptr && ::GetConsoleMode(input, &mode);
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

InputLine readInputLine(std::FILE* stream, std::string& text, size_t limit) {
    text.clear();
    // One lock for the whole line instead of one per byte: a line of hundreds of megabytes is skipped
    // in seconds.
    _lock_file(stream);
    int c = _getc_nolock(stream);
    if (c == EOF) {
        _unlock_file(stream);
        return InputLine::End;  // a last line without its line end was returned before
    }
    // Up to limit + 1 bytes are kept: a line of exactly `limit` bytes may still be followed by the CR of
    // its CR LF. Past that the line is too long, and the rest of it is read and dropped.
    bool tooLong = false;
    for (; c != EOF && c != '\n'; c = _getc_nolock(stream)) {
        if (text.size() <= limit) {
            text.push_back(static_cast<char>(c));
        } else {
            tooLong = true;
        }
    }
    _unlock_file(stream);
    if (c == '\n' && !text.empty() && text.back() == '\r') {
        text.pop_back();
    }
    if (tooLong || text.size() > limit) {
        return InputLine::TooLong;
    }
    if (text.find('\0') != std::string::npos) {
        return InputLine::HasNul;
    }
    return InputLine::Read;
}

void readStandardInputAsBytes() {
    if (!standardInputIsConsole()) {
        _setmode(_fileno(stdin), _O_BINARY);
    }
}

ShellInput::ShellInput(int linesAlreadyRead)
    : m_interactive(standardInputIsConsole()), m_line(linesAlreadyRead) {}

bool ShellInput::next(std::vector<std::string>& words, std::string& problem) {
    // Read with the C library, as the password before it was: both share the stream's buffer.
    std::string text;
    for (;;) {
        words.clear();
        problem.clear();
        const InputLine read = readInputLine(stdin, text);
        if (read == InputLine::End) {
            return false;
        }
        ++m_line;
        if (read == InputLine::TooLong) {
            problem = "the line is longer than " + std::to_string(kMaxInputLine) + " bytes";
            return true;
        }
        if (read == InputLine::HasNul) {
            problem = "the line holds a NUL byte";
            return true;
        }
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
