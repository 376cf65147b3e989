// The BSTR owner.
#include <cstring>

#include <gtest/gtest.h>

#include "com/CComBSTR.h"
#include "ComTest.h"

namespace {

// The suite of Win32HelperTests.cpp, whose fixture class is ComTest itself: COM task memory balanced.
using Bstr = ComTest;

CComBSTR makeBstr(const wchar_t* characters, unsigned int length) {
    return CComBSTR::attach(::SysAllocStringLen(characters, length));
}

}  // namespace

TEST_F(Bstr, OwnerCopiesTheWholeStringAndReleasesOnReuse) {
    CComBSTR withNul = makeBstr(L"a\0b", 3);
    CComBSTR copy(withNul);
    ASSERT_NE(withNul.get(), copy.get());
    EXPECT_EQ(3u, copy.Length());
    EXPECT_EQ(0, std::memcmp(withNul.get(), copy.get(), 3 * sizeof(wchar_t)));

    BSTR* slot = copy.ReleaseAndGetAddressOf();
    EXPECT_EQ(nullptr, *slot);
    *slot = ::SysAllocString(L"new");
    EXPECT_EQ(3u, copy.Length());
}
