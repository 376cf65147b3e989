// Owners that overwrite secret text (the login password) before its memory is given back, so that the
// freed block no longer holds it.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <utility>

#include "com/HResultError.h"

namespace wiping {

// Overwrites every character of the string in place (the inline buffer of a short string too); the
// length stays, so the caller's object stays valid until it is destroyed.
inline void wipe(std::wstring& text) {
    if (!text.empty()) {
        ::SecureZeroMemory(&text[0], text.size() * sizeof(wchar_t));
    }
}

// Wipes a string that someone else owns when the scope ends (on every path, early returns included).
class WipeOnExit {
public:
    explicit WipeOnExit(std::wstring& text) : m_text(text) {}
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;
    ~WipeOnExit() { wipe(m_text); }

private:
    std::wstring& m_text;
};

// Owner of one BSTR holding secret text: the characters are overwritten before SysFreeString.
class WipedBSTR {
public:
    // A copy of the characters up to the first NUL; "" gives an empty, non-null BSTR. Throws
    // HResultError(E_OUTOFMEMORY) when the BSTR cannot be allocated.
    explicit WipedBSTR(const std::wstring& text) : m_str(::SysAllocString(text.c_str())) {
        if (m_str == nullptr) {
            throw HResultError(E_OUTOFMEMORY);
        }
    }
    WipedBSTR(const WipedBSTR&) = delete;
    WipedBSTR& operator=(const WipedBSTR&) = delete;
    ~WipedBSTR() {
        ::SecureZeroMemory(m_str, ::SysStringByteLen(m_str));
        ::SysFreeString(m_str);
    }

    BSTR get() const { return m_str; }

private:
    BSTR m_str;
};

}  // namespace wiping
