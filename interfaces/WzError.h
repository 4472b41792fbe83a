// Status of a utility call, and the string helpers of the agent's utility library.
// Reads no environment variable.
#pragma once

#include <strings.h>

#include <cstdint>
#include <string>
#include <vector>

#include "NxExport.h"

// Status codes of CWzError. Negative means error.
enum EWzStatus : int32_t {
    WZ_OK = 0,
    WZ_E_FAIL = -1,          // generic failure
    WZ_E_SYSTEM = -2,        // a system call failed; SysError() has errno
    WZ_E_TIMEOUT = -3,       // the time-out ran out
    WZ_E_CLOSED = -4,        // the peer closed the connection / end of file before the count
    WZ_E_INVALID = -5,       // bad argument or bad state (e.g. not open)
    WZ_E_NOT_FOUND = -6,     // no such name, entry or address
    WZ_E_OUT_OF_RANGE = -7,  // offset or length outside the object
};

class NX_EXPORT CWzError {
public:
    CWzError() = default;  // success
    CWzError(int32_t status, std::string text) : m_nStatus(status), m_strText(std::move(text)) {}

    // An error of kind WZ_E_SYSTEM for errno value err: the text is "<what>: <strerror>".
    static CWzError FromErrno(int err, const std::string& what);

    bool Success() const { return m_nStatus >= 0; }
    bool IsError() const { return m_nStatus < 0; }
    int32_t Status() const { return m_nStatus; }
    int SysError() const { return m_nSysError; }
    // A readable text, never null: "Success" for a success without text, "Error" for an
    // error without text.
    const char* AsString() const {
        if (!m_strText.empty()) return m_strText.c_str();
        return Success() ? "Success" : "Error";
    }

private:
    int32_t m_nStatus = WZ_OK;
    int m_nSysError = 0;
    std::string m_strText;
};

// The utility library's string: a std::string whose c_str() is never null.
class NX_EXPORT CWzString {
public:
    CWzString() = default;
    CWzString(const char* text) : m_str(text ? text : "") {}  // null gives the empty string
    CWzString(std::string text) : m_str(std::move(text)) {}

    const char* c_str() const { return m_str.c_str(); }
    const std::string& str() const { return m_str; }
    size_t length() const { return m_str.size(); }
    bool empty() const { return m_str.empty(); }
    operator const std::string&() const { return m_str; }

    // Splits at every occurrence of separator. Empty pieces (from a leading, trailing or doubled
    // separator) are dropped, so "\\VMs\\\\site\\" gives {"VMs", "site"} and "\\" gives none.
    std::vector<std::string> Tokenize(char separator) const;

    // Splits at every character of `delimiters` that is not inside a quoted stretch (from
    // openQuote to the next closeQuote). escape (0 for none) makes the next character literal
    // and is dropped. keepQuotes = false removes the quote characters from the pieces; true
    // keeps them (use true for an outer split whose pieces are split again by quotes). Empty
    // pieces are kept ("a,,b" gives three pieces; "" gives none). An unclosed quote runs to the
    // end of the text.
    std::vector<std::string> Tokenize(const char* delimiters, char openQuote, char closeQuote,
                                      char escape, bool keepQuotes) const;

private:
    std::string m_str;
};

// Case-insensitive comparison with the semantics of strcasecmp; 0 means equal. Null pointers
// compare as empty strings.
inline int _stricmp(const char* a, const char* b) {
    return strcasecmp(a ? a : "", b ? b : "");
}

namespace FXString {

// strcasecmp semantics (ASCII letters), 0 means equal; null compares as empty.
NX_EXPORT int CompareNoCase(const char* a, const char* b);
NX_EXPORT int CompareNoCase(const std::string& a, const std::string& b);

enum : int {
    FXSTRING_SPLIT_KEEP_EMPTY = 0,  // every piece, also empty ones
    FXSTRING_SPLIT_SKIP_EMPTY = 1,  // empty pieces dropped
};
// Splits at every occurrence of separator (a whole string, not a set of characters). The
// separator is not part of any piece. "a\nb\n" with flags 0 gives {"a", "b", ""}; an empty text
// gives {""} with flags 0 and {} with FXSTRING_SPLIT_SKIP_EMPTY. An empty separator gives the
// whole text as one piece.
NX_EXPORT std::vector<std::string> Split(const std::string& text, const std::string& separator,
                                         int flags);

// Remove the characters of `set` from the right end / left end / both ends. They return the
// result and leave the argument untouched.
NX_EXPORT std::string TrimRight(const std::string& text, const char* set = " \t\r\n");
NX_EXPORT std::string TrimLeft(const std::string& text, const char* set = " \t\r\n");
NX_EXPORT std::string Trim(const std::string& text, const char* set = " \t\r\n");

NX_EXPORT std::string ToLower(const std::string& text);  // ASCII letters only
NX_EXPORT bool StartsWith(const std::string& text, const std::string& prefix);
NX_EXPORT bool EndsWith(const std::string& text, const std::string& suffix);

// printf-style formatting into a string of any length.
NX_EXPORT std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace FXString
