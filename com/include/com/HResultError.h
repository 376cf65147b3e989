// The exception that carries a failed HRESULT, raised where a COM-style helper cannot return one (a BSTR
// that cannot be allocated gives E_OUTOFMEMORY).
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>

class HResultError : public std::runtime_error {
public:
    explicit HResultError(HRESULT hr)
        : std::runtime_error("HRESULT " + std::to_string(static_cast<long>(hr))), m_hr(hr) {}
    HRESULT hr() const { return m_hr; }

private:
    HRESULT m_hr;
};
