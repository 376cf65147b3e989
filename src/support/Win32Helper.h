// Conversions between narrow strings (bytes of the C runtime's current locale), wide strings (UTF-16)
// and BSTRs. Every narrow/wide conversion gives what the C runtime's multibyte functions give; what they
// do to single characters of a single-byte locale is kept per locale (LocaleConversionCache.h). The library never
// sets a locale. All functions may run on any thread at the same time.
#pragma once

#include <string>

#include "com/CComBSTR.h"

namespace Win32Helper {

// mbstowcs; the result ends at the first NUL. A byte sequence the locale cannot convert becomes '?'.
std::wstring str2wstr(const std::string& text);

// wcstombs; a character the locale cannot represent becomes '?' (a surrogate pair counts as one
// character). Never throws: a failure logs "Exception in wstr2str" and gives the text built so far.
std::string wstr2str(const std::wstring& text);

// The BSTR's text up to its first NUL, through wstr2str. Null gives "". Never throws: a failure logs
// "Exception converting bstr2str".
std::string bstr2str(const CComBSTR& comStr);

// Appends what wstr2str gives for text[0, length) (up to its first NUL), or bstr2str for a BSTR, without
// building either string on its own.
void appendNarrow(std::string& out, const wchar_t* text, size_t length);
void appendNarrow(std::string& out, const CComBSTR& comStr);

// bstr2str followed by str2wstr: the text passes through its narrow form.
std::wstring bstr2wstr(const CComBSTR& comStr);

// How an event text reaches the host: through the narrow form (the default), or as the client gave it.
enum class TextForm { Narrowed, Unchanged };

// A BSTR field as the host receives it, for as long as this object and the BSTR live: the characters
// bstr2wstr gives, or with TextForm::Unchanged the BSTR's own characters up to its first NUL (surrogates
// paired or not). When the trip through the narrow form changes nothing, they are the BSTR's own too (no
// copy is made); null gives "".
class CallbackText {
public:
    explicit CallbackText(const CComBSTR& text, TextForm form = TextForm::Narrowed);
    CallbackText(const CallbackText&) = delete;
    CallbackText& operator=(const CallbackText&) = delete;

    const wchar_t* c_str() const { return m_text; }

private:
    std::wstring m_converted;
    const wchar_t* m_text = L"";
};

// A new BSTR over the characters up to the first NUL; "" gives an empty, non-null BSTR. Throws
// HResultError(E_OUTOFMEMORY) when the BSTR cannot be allocated.
CComBSTR wstr2bstr(const std::wstring& text);

}  // namespace Win32Helper
