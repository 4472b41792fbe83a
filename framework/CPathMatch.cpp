// Wildcard matching with '*' and '?'.
#include "CPathMatch.h"

namespace {

inline char Fold(char c, bool caseSensitive) {
    return (!caseSensitive && c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Matches pattern against name starting at name[from]. With prefixOnly the pattern need only
// cover a prefix of that rest. One remembered star is enough for the classic greedy matcher;
// with slashIsSeparator a star may not swallow '/', and since nothing else can either, the
// k-th '/' of the pattern always meets the k-th '/' of the name, so giving up when the last
// star would have to swallow one is still exact.
bool MatchFrom(const std::string& pattern, const std::string& name, size_t from, bool prefixOnly,
               bool caseSensitive, bool slashIsSeparator) {
    size_t p = 0, n = from;
    size_t starP = std::string::npos, starN = 0;
    for (;;) {
        if (prefixOnly && p == pattern.size()) return true;
        if (n == name.size()) break;
        char pc = p < pattern.size() ? pattern[p] : '\0';
        char nc = name[n];
        if (p < pattern.size() && pc == '*') {
            starP = p++;
            starN = n;
            continue;
        }
        if (p < pattern.size() &&
            ((pc == '?' && !(slashIsSeparator && nc == '/')) ||
             (pc != '?' && Fold(pc, caseSensitive) == Fold(nc, caseSensitive)))) {
            ++p;
            ++n;
            continue;
        }
        if (starP == std::string::npos) return false;
        if (slashIsSeparator && name[starN] == '/') return false;
        p = starP + 1;
        n = ++starN;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace

int CPathMatch::initialize(const std::string& pattern, bool wholeName, bool slashIsSeparator) {
    m_strPattern = pattern;
    m_bWholeName = wholeName;
    m_bSlashIsSeparator = slashIsSeparator;
    m_bInitialized = true;
    return 1;
}

int CPathMatch::match(const std::string& name) const {
    if (!m_bInitialized) return -1;
    if (m_bWholeName) {
        return MatchFrom(m_strPattern, name, 0, false, m_bCaseSensitive, m_bSlashIsSeparator) ? 1
                                                                                              : 0;
    }
    for (size_t start = 0; start <= name.size(); ++start) {
        if (MatchFrom(m_strPattern, name, start, true, m_bCaseSensitive, m_bSlashIsSeparator))
            return 1;
    }
    return 0;
}
