#include "support/CredentialVault.h"

#include <dpapi.h>

#include <cstdint>
#include <cstring>

#include "support/SimpleLogger.h"

void CredentialVault::store(const wchar_t* user, const wchar_t* password) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pages.reset();
    m_encrypted = false;
    const size_t userLength = std::wcslen(user);
    const size_t passwordLength = std::wcslen(password);
    const size_t used = 2 * sizeof(uint32_t) + (userLength + passwordLength) * sizeof(wchar_t);
    const size_t size = (used + CRYPTPROTECTMEMORY_BLOCK_SIZE - 1) / CRYPTPROTECTMEMORY_BLOCK_SIZE *
                        CRYPTPROTECTMEMORY_BLOCK_SIZE;
    auto* block = static_cast<BYTE*>(::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (block == nullptr) {
        SimpleLogger::GetInstance()->errLog("No memory to keep the credentials: no automatic re-login.");
        return;
    }
    m_pages.reset(CredentialBlock{block, size});
    const uint32_t lengths[2] = {static_cast<uint32_t>(userLength), static_cast<uint32_t>(passwordLength)};
    std::memcpy(block, lengths, sizeof lengths);
    std::memcpy(block + sizeof lengths, user, userLength * sizeof(wchar_t));
    std::memcpy(block + sizeof lengths + userLength * sizeof(wchar_t), password, passwordLength * sizeof(wchar_t));
    m_encrypted = ::CryptProtectMemory(block, static_cast<DWORD>(size), CRYPTPROTECTMEMORY_SAME_PROCESS);
}

bool CredentialVault::read(std::wstring& user, std::wstring& password) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const CredentialBlock& pages = m_pages.get();
    if (pages.block == nullptr) {
        return false;
    }
    const auto size = static_cast<DWORD>(pages.size);
    if (m_encrypted && !::CryptUnprotectMemory(pages.block, size, CRYPTPROTECTMEMORY_SAME_PROCESS)) {
        return false;
    }
    uint32_t lengths[2];
    std::memcpy(lengths, pages.block, sizeof lengths);
    const auto* text = reinterpret_cast<const wchar_t*>(pages.block + sizeof lengths);
    // Sized once, so that no intermediate block ever holds the text.
    user.assign(text, lengths[0]);
    password.assign(text + lengths[0], lengths[1]);
    if (m_encrypted) {
        m_encrypted = ::CryptProtectMemory(pages.block, size, CRYPTPROTECTMEMORY_SAME_PROCESS);
    }
    return true;
}

void CredentialVault::wipe() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pages.reset();
    m_encrypted = false;
}

bool CredentialVault::held() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<bool>(m_pages);
}

CredentialVault& credentialVault() {
    static auto* const instance = new CredentialVault;
    return *instance;
}
