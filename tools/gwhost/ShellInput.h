// The lines of gwhost's shell: read from standard input one at a time and split into words. Blank lines
// and comment lines ('#' as the first character that is not blank) are skipped. Whether a person types
// them (a console) or a script feeds them (a pipe or a file) decides the prompt and how errors name a
// line; the caller asks interactive().
//
// At a console the input ends as a console user expects: Ctrl+D or Ctrl+Z as soon as it is typed (what
// was typed before it on that line is dropped), and Ctrl+C while the shell waits for a line. A Ctrl+C
// while a line runs is left to the command (it ends a watch).
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// The most bytes a line of standard input may hold, its line end not counted. A longer line is refused
// and skipped unread, so hostile input never makes gwhost hold more than this of one line.
constexpr size_t kMaxInputLine = 64 * 1024;

enum class InputLine {
    Read,     // a line; `text` holds it without its line end
    End,      // the end of input, nothing read
    TooLong,  // longer than the limit: read up to its line end and discarded
    HasNul,   // holds a NUL byte, which would cut every text made of it short
};

// Reads one line of `stream`: the bytes up to "\n" or "\r\n" (both end a line) or the end of input.
// Holds at most limit + 1 bytes in `text`, however long the line is. `text` may keep bytes of a refused
// line; a caller reading a secret wipes it whatever the result.
InputLine readInputLine(std::FILE* stream, std::string& text, size_t limit = kMaxInputLine);

// Standard input from a pipe or a file is read as bytes from here on: a Ctrl-Z (0x1A) in it no longer
// ends the input as the C library's text mode makes it. A console is not read through the C library (see
// above). Called before anything reads standard input.
void readStandardInputAsBytes();

class ShellInput {
public:
    // `linesAlreadyRead`: lines of standard input consumed before the shell began (a password read from
    // a pipe), so that line numbers are those of the script as a whole. At a console, installs the
    // Ctrl+C handler that ends the wait for a line.
    explicit ShellInput(int linesAlreadyRead);

    // True when standard input is a console.
    bool interactive() const { return m_interactive; }

    // The next line that holds any words, or one that is refused: true with its words and an empty
    // `problem`, or with no words and why the line is refused (too long, a NUL byte). False at the end
    // of input (at a console also after Ctrl+D, Ctrl+Z or Ctrl+C).
    bool next(std::vector<std::string>& words, std::string& problem);

    // The number of the line next() returned last, counting from 1.
    int lineNumber() const { return m_line; }

private:
    bool m_interactive;
    int m_line;
};
