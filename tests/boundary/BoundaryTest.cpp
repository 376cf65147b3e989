#include "BoundaryTest.h"

#include <sstream>

namespace {

std::string show(const std::wstring& text) {
    std::ostringstream out;
    PrintTo(LogLine{0, text}, &out);
    return out.str();
}

}  // namespace

::testing::AssertionResult linesMatch(const std::vector<std::wstring>& actual,
                                      const std::vector<std::wstring>& expected) {
    bool same = actual.size() == expected.size();
    for (size_t i = 0; same && i < actual.size(); ++i) {
        const std::wstring& want = expected[i];
        if (!want.empty() && want.back() == L'*') {
            same = actual[i].compare(0, want.size() - 1, want, 0, want.size() - 1) == 0;
        } else {
            same = actual[i] == want;
        }
    }
    if (same) {
        return ::testing::AssertionSuccess();
    }
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << "\nactual lines:";
    for (const auto& line : actual) {
        failure << "\n  " << show(line);
    }
    failure << "\nexpected lines:";
    for (const auto& line : expected) {
        failure << "\n  " << show(line);
    }
    return failure;
}
