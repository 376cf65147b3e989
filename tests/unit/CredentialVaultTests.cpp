#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/CredentialVault.h"

namespace {

// The needle is kept masked, so that the scan never finds its own copy of it.
constexpr wchar_t kMask = 0x5A5A;

std::vector<wchar_t> masked(const std::wstring& text) {
    std::vector<wchar_t> out;
    for (wchar_t c : text) {
        out.push_back(static_cast<wchar_t>(c ^ kMask));
    }
    return out;
}

bool readable(const MEMORY_BASIC_INFORMATION& region) {
    const DWORD access = region.Protect & 0xFF;
    return region.State == MEM_COMMIT && region.Type == MEM_PRIVATE && (region.Protect & PAGE_GUARD) == 0 &&
           (access == PAGE_READWRITE || access == PAGE_READONLY || access == PAGE_EXECUTE_READWRITE ||
            access == PAGE_EXECUTE_READ || access == PAGE_WRITECOPY);
}

// Whether any private committed page of the process holds the unmasked text as UTF-16.
bool inProcessMemory(const std::vector<wchar_t>& needle) {
    MEMORY_BASIC_INFORMATION region{};
    for (auto* address = static_cast<const BYTE*>(nullptr);
         ::VirtualQuery(address, &region, sizeof region) == sizeof region;
         address = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize) {
        if (!readable(region)) {
            continue;
        }
        const auto* text = static_cast<const wchar_t*>(region.BaseAddress);
        const size_t length = region.RegionSize / sizeof(wchar_t);
        for (size_t i = 0; i + needle.size() <= length; ++i) {
            size_t matched = 0;
            while (matched < needle.size() && (text[i + matched] ^ kMask) == needle[matched]) {
                ++matched;
            }
            if (matched == needle.size()) {
                return true;
            }
        }
    }
    return false;
}

// Overwrites a string the test made, so that only the vault can hold its text.
void scrub(std::wstring& text) {
    ::SecureZeroMemory(&text[0], text.size() * sizeof(wchar_t));
}

}  // namespace

// What the re-login reads back is what was stored, a second store replaces the first and leaves none of
// its text behind, and a wipe leaves the password in no page of the process.
TEST(CredentialVault, GivesBackWhatItKeepsAndLeavesNothingBehindWhenReplacedOrWiped) {
    CredentialVault vault;
    std::wstring user, password;
    EXPECT_FALSE(vault.held());
    EXPECT_FALSE(vault.read(user, password));

    // Built a character at a time, so that no literal of the process holds them.
    std::wstring first(L"vault-first-");
    std::wstring second(L"vault-second-");
    for (wchar_t c = L'a'; c <= L'z'; ++c) {
        first += c;
        second += static_cast<wchar_t>(L'z' - (c - L'a'));
    }
    const std::vector<wchar_t> firstNeedle = masked(first);
    const std::vector<wchar_t> secondNeedle = masked(second);

    vault.store(L"operator", first.c_str());
    ASSERT_TRUE(vault.held());
    ASSERT_TRUE(vault.read(user, password));
    EXPECT_EQ(L"operator", user);
    EXPECT_TRUE(password == first);
    // Read twice: reading encrypts the pages again.
    ASSERT_TRUE(vault.read(user, password));
    EXPECT_TRUE(password == first);
    scrub(password);
    scrub(first);

    vault.store(L"", second.c_str());
    ASSERT_TRUE(vault.read(user, password));
    EXPECT_EQ(L"", user);
    EXPECT_TRUE(password == second);
    scrub(password);
    scrub(second);
    EXPECT_FALSE(inProcessMemory(firstNeedle)) << "the replaced password is still in memory";

    vault.store(L"x", L"");
    ASSERT_TRUE(vault.read(user, password));
    EXPECT_EQ(L"x", user);
    EXPECT_EQ(L"", password);
    EXPECT_FALSE(inProcessMemory(secondNeedle)) << "the replaced password is still in memory";

    std::wstring third(L"vault-third-");
    third += std::to_wstring(::GetTickCount());
    const std::vector<wchar_t> thirdNeedle = masked(third);
    vault.store(L"operator", third.c_str());
    scrub(third);
    vault.wipe();
    EXPECT_FALSE(vault.held());
    EXPECT_FALSE(vault.read(user, password));
    EXPECT_FALSE(inProcessMemory(thirdNeedle)) << "the wiped password is still in memory";
}
