// The credentials kept for the automatic re-login: pages of their own (not the heap, whose freed blocks
// nobody overwrites), encrypted for this process with CryptProtectMemory while they are not being read,
// overwritten before they are given back.
#pragma once

#include <windows.h>

#include <cstddef>
#include <mutex>
#include <string>

#include "support/Owners.h"

struct CredentialBlock {
    BYTE* block = nullptr;
    size_t size = 0;  // a whole number of encryption blocks

    bool operator==(const CredentialBlock& other) const { return block == other.block; }
};

namespace owners {

// Pages from VirtualAlloc, zeroed before VirtualFree.
struct WipedPages {
    using Value = CredentialBlock;
    static CredentialBlock empty() { return {}; }
    static void release(const CredentialBlock& pages) {
        ::SecureZeroMemory(pages.block, pages.size);
        ::VirtualFree(pages.block, 0, MEM_RELEASE);
    }
};

}  // namespace owners

using CredentialPages = UniqueResource<owners::WipedPages>;

// One user name and password. Layout of the pages: user length, password length (in characters), then
// both texts. Every operation is atomic with respect to the others.
class CredentialVault {
public:
    // Replaces what is kept (the earlier pages are wiped first). Without memory for the pages: an error
    // line "No memory to keep the credentials: no automatic re-login." and nothing is kept.
    void store(const wchar_t* user, const wchar_t* password);
    // Copies the credentials out (the caller wipes its copies); false when none are kept or they cannot
    // be decrypted.
    bool read(std::wstring& user, std::wstring& password);
    // Overwrites and frees what is kept.
    void wipe();
    bool held();

private:
    std::mutex m_mutex;
    CredentialPages m_pages;  // guarded by m_mutex, like m_encrypted
    bool m_encrypted = false;
};

// The process's vault, never destroyed (the re-login thread may read it while the process exits).
CredentialVault& credentialVault();
