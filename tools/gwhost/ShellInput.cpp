#include "ShellInput.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <iterator>
#include <string_view>

namespace {

bool standardInputIsConsole() {
    DWORD mode = 0;
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    return input != INVALID_HANDLE_VALUE && input != nullptr && ::GetConsoleMode(input, &mode);
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

constexpr wchar_t kCtrlD = 0x04;
constexpr wchar_t kCtrlZ = 0x1A;

// One line typed at the console `input`, as UTF-8 without its line end. End when Ctrl+D or Ctrl+Z is
// typed (the console hands the line over at once, that key included) or the console cannot be read;
// TooLong and HasNul as readInputLine.
InputLine readConsoleLine(HANDLE input, std::string& text, size_t limit) {
    text.clear();
    std::wstring line;
    bool tooLong = false;
    for (;;) {
        wchar_t piece[1024];
        DWORD read = 0;
        CONSOLE_READCONSOLE_CONTROL control{sizeof control, 0, (1u << kCtrlD) | (1u << kCtrlZ), 0};
        if (!::ReadConsoleW(input, piece, static_cast<DWORD>(std::size(piece)), &read, &control) || read == 0) {
            return InputLine::End;  // Windows' consoles end a read this way after Ctrl+C
        }
        const std::wstring_view got(piece, read);
        if (got.find_first_of(L"\x04\x1A") != std::wstring_view::npos) {
            return InputLine::End;
        }
        // A UTF-8 byte for each character at least: past the limit the rest of the line is dropped.
        if (line.size() + got.size() <= limit + 2) {
            line.append(got);
        } else {
            tooLong = true;
        }
        if (got.back() == L'\n') {
            break;
        }
    }
    while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) {
        line.pop_back();
    }
    if (!line.empty()) {
        const int size = ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr,
                                               0, nullptr, nullptr);
        text.resize(size);
        ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), text.data(), size,
                              nullptr, nullptr);
    }
    if (tooLong || text.size() > limit) {
        return InputLine::TooLong;
    }
    if (text.find('\0') != std::string::npos) {
        return InputLine::HasNul;
    }
    return InputLine::Read;
}

// The console is read on a thread of its own, so that a Ctrl+C can end the shell's wait for a line:
// Wine's console clears the line typed so far on Ctrl+C and goes on reading. The thread may still be
// blocked in that read when the process ends, so what it uses is never freed.
struct ConsoleReader {
    HANDLE input;
    HANDLE wanted;       // auto reset: the shell waits for a line
    HANDLE ready;        // auto reset: `result` and `text` hold that line; the thread waits again
    HANDLE interrupted;  // manual reset: Ctrl+C while atPrompt
    std::atomic<bool> atPrompt{false};
    InputLine result = InputLine::End;  // written by the thread between `wanted` and `ready`
    std::string text;                   // likewise
};

ConsoleReader* g_reader = nullptr;  // set once, by the first interactive ShellInput

DWORD WINAPI readConsoleLines(void* context) {
    ConsoleReader& reader = *static_cast<ConsoleReader*>(context);
    for (;;) {
        ::WaitForSingleObject(reader.wanted, INFINITE);
        reader.result = readConsoleLine(reader.input, reader.text, kMaxInputLine);
        ::SetEvent(reader.ready);
    }
}

// Runs on a thread of its own. Registered after the event view's handler, so it is asked first: a
// Ctrl+C while a line runs goes on to that one.
BOOL WINAPI onShellControl(DWORD type) {
    if ((type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) || g_reader == nullptr || !g_reader->atPrompt) {
        return FALSE;
    }
    ::SetEvent(g_reader->interrupted);
    return TRUE;
}

ConsoleReader* startConsoleReader() {
    if (g_reader != nullptr) {
        return g_reader;
    }
    auto* reader = new ConsoleReader;
    reader->input = ::GetStdHandle(STD_INPUT_HANDLE);
    reader->wanted = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    reader->ready = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    reader->interrupted = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (reader->wanted == nullptr || reader->ready == nullptr || reader->interrupted == nullptr) {
        return nullptr;  // the shell then reads through the C library, without Ctrl+C at the prompt
    }
    const HANDLE thread = ::CreateThread(nullptr, 0, &readConsoleLines, reader, 0, nullptr);
    if (thread == nullptr) {
        return nullptr;
    }
    ::CloseHandle(thread);
    g_reader = reader;
    ::SetConsoleCtrlHandler(&onShellControl, TRUE);
    return reader;
}

// The next line typed, or End after Ctrl+D, Ctrl+Z or Ctrl+C. After End the shell asks for no more.
InputLine nextConsoleLine(ConsoleReader& reader, std::string& text) {
    ::ResetEvent(reader.interrupted);
    reader.atPrompt = true;
    ::SetEvent(reader.wanted);
    const HANDLE handles[] = {reader.ready, reader.interrupted};
    const DWORD woken = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    reader.atPrompt = false;
    if (woken != WAIT_OBJECT_0) {
        return InputLine::End;  // the thread may go on reading; the shell ends without that line
    }
    text.swap(reader.text);
    return reader.result;
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
    : m_interactive(standardInputIsConsole()), m_line(linesAlreadyRead) {
    if (m_interactive) {
        startConsoleReader();
    }
}

bool ShellInput::next(std::vector<std::string>& words, std::string& problem) {
    // From a pipe or a file: read with the C library, as the password before it was (both share the
    // stream's buffer). At a console: the characters typed, whatever the console's code page.
    std::string text;
    for (;;) {
        words.clear();
        problem.clear();
        const InputLine read = m_interactive && g_reader != nullptr ? nextConsoleLine(*g_reader, text)
                                                                     : readInputLine(stdin, text);
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
