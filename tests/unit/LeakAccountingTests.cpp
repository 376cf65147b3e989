// The leak accounting that every test touching COM ends with.
#include <gtest/gtest.h>

#include "ComTest.h"

namespace {

// The suite of Win32HelperTests.cpp, whose fixture class is ComTest itself: COM task memory balanced.
using Bstr = ComTest;

}  // namespace

TEST_F(Bstr, TheLeakAccountingSeesAnUnfreedString) {
    long before = leaks::outstandingAllocations();
    BSTR leaked = ::SysAllocString(L"counted");
    EXPECT_EQ(before + 1, leaks::outstandingAllocations());
    ::SysFreeString(leaked);
    EXPECT_EQ(before, leaks::outstandingAllocations());
}
