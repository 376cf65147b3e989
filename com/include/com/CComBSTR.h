// Owner of one BSTR. Copying duplicates the whole string (embedded NULs included); destroying frees it.
// A null BSTR stands for the empty string.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <utility>

#include "com/HResultError.h"

class CComBSTR {
public:
    CComBSTR() = default;
    // Takes a copy of the characters up to the first NUL.
    explicit CComBSTR(const wchar_t* text) : m_str(text ? ::SysAllocString(text) : nullptr) {
        if (text != nullptr && m_str == nullptr) {
            throw HResultError(E_OUTOFMEMORY);
        }
    }
    CComBSTR(const CComBSTR& other) : m_str(copy(other.m_str)) {}
    CComBSTR(CComBSTR&& other) noexcept : m_str(std::exchange(other.m_str, nullptr)) {}
    CComBSTR& operator=(CComBSTR other) noexcept {
        std::swap(m_str, other.m_str);
        return *this;
    }
    ~CComBSTR() { ::SysFreeString(m_str); }

    // Takes ownership of a BSTR allocated by someone else (a [retval] of the client, for example).
    static CComBSTR attach(BSTR str) {
        CComBSTR owner;
        owner.m_str = str;
        return owner;
    }
    BSTR Detach() { return std::exchange(m_str, nullptr); }

    // Out-parameter accessor: frees the current string first, so a reused owner never leaks.
    BSTR* ReleaseAndGetAddressOf() {
        ::SysFreeString(std::exchange(m_str, nullptr));
        return &m_str;
    }

    BSTR get() const { return m_str; }
    operator BSTR() const { return m_str; }
    unsigned int Length() const { return ::SysStringLen(m_str); }

    BSTR m_str = nullptr;

private:
    static BSTR copy(BSTR source) {
        if (source == nullptr) {
            return nullptr;
        }
        BSTR duplicate =
            ::SysAllocStringByteLen(reinterpret_cast<const char*>(source), ::SysStringByteLen(source));
        if (duplicate == nullptr) {
            throw HResultError(E_OUTOFMEMORY);
        }
        return duplicate;
    }
};
