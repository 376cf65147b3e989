// The lines of gwhost's shell: read from standard input one at a time and split into words. Blank lines
// and comment lines ('#' as the first character that is not blank) are skipped. Whether a person types
// them (a console) or a script feeds them (a pipe or a file) decides the prompt and how errors name a
// line; the caller asks interactive().
#pragma once

#include <string>
#include <vector>

class ShellInput {
public:
    // `linesAlreadyRead`: lines of standard input consumed before the shell began (a password read from
    // a pipe), so that line numbers are those of the script as a whole.
    explicit ShellInput(int linesAlreadyRead);

    // True when standard input is a console.
    bool interactive() const { return interactive_; }

    // The words of the next line that holds any; false at the end of input.
    bool next(std::vector<std::string>& words);

    // The number of the line next() returned last, counting from 1.
    int lineNumber() const { return line_; }

private:
    bool interactive_;
    int line_;
};
