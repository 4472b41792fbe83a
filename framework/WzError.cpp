// Status values and string helpers.
#include "WzError.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

CWzError CWzError::FromErrno(int err, const std::string& what) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in buffer.
    const char* text = ::strerror_r(err, buffer, sizeof(buffer));
    CWzError e(WZ_E_SYSTEM, what.empty() ? std::string(text) : what + ": " + text);
    e.m_nSysError = err;
    return e;
}

std::vector<std::string> CWzString::Tokenize(char separator) const {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= m_str.size()) {
        size_t end = m_str.find(separator, start);
        if (end == std::string::npos) end = m_str.size();
        if (end > start) pieces.push_back(m_str.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

std::vector<std::string> CWzString::Tokenize(const char* delimiters, char openQuote,
                                             char closeQuote, char escape, bool keepQuotes) const {
    std::vector<std::string> pieces;
    if (m_str.empty()) return pieces;
    const char* delims = delimiters ? delimiters : "";
    std::string piece;
    bool quoted = false;
    for (size_t i = 0; i < m_str.size(); ++i) {
        char c = m_str[i];
        if (escape && c == escape && i + 1 < m_str.size()) {
            piece.push_back(m_str[++i]);
        } else if (quoted) {
            if (c == closeQuote) {
                quoted = false;
                if (keepQuotes) piece.push_back(c);
            } else {
                piece.push_back(c);
            }
        } else if (openQuote && c == openQuote) {
            quoted = true;
            if (keepQuotes) piece.push_back(c);
        } else if (c != '\0' && std::strchr(delims, c)) {
            pieces.push_back(piece);
            piece.clear();
        } else {
            piece.push_back(c);
        }
    }
    pieces.push_back(piece);
    return pieces;
}

namespace FXString {

int CompareNoCase(const char* a, const char* b) {
    return ::strcasecmp(a ? a : "", b ? b : "");
}

int CompareNoCase(const std::string& a, const std::string& b) {
    // Not strcasecmp on c_str(): an embedded zero byte must not end the comparison early.
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int ca = ::tolower(static_cast<unsigned char>(a[i]));
        int cb = ::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca - cb;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::vector<std::string> Split(const std::string& text, const std::string& separator, int flags) {
    std::vector<std::string> pieces;
    bool skipEmpty = (flags & FXSTRING_SPLIT_SKIP_EMPTY) != 0;
    if (separator.empty()) {
        if (!(skipEmpty && text.empty())) pieces.push_back(text);
        return pieces;
    }
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        std::string piece =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!(skipEmpty && piece.empty())) pieces.push_back(piece);
        if (end == std::string::npos) break;
        start = end + separator.size();
    }
    return pieces;
}

std::string TrimRight(const std::string& text, const char* set) {
    size_t end = text.find_last_not_of(set ? set : "");
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

std::string TrimLeft(const std::string& text, const char* set) {
    size_t start = text.find_first_not_of(set ? set : "");
    return start == std::string::npos ? std::string() : text.substr(start);
}

std::string Trim(const std::string& text, const char* set) {
    return TrimLeft(TrimRight(text, set), set);
}

std::string ToLower(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string Format(const char* fmt, ...) {
    if (!fmt) return std::string();
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    int n = ::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        ::vsnprintf(&out[0], out.size(), fmt, args);
        out.resize(static_cast<size_t>(n));
    }
    va_end(args);
    return out;
}

}  // namespace FXString
