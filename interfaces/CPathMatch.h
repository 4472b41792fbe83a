// Wildcard matching of names: '*' matches any run of characters (also none), '?' exactly one
// character; every other character matches itself. There is no escape character and no
// bracket class. Matching runs in time linear in practice (no exponential backtracking).
// Reads no environment variable.
#pragma once

#include <string>

#include "NxExport.h"

class NX_EXPORT CPathMatch {
public:
    CPathMatch() = default;

    // Letter case is ignored (ASCII letters only) until switched on here; the switch may be
    // made before or after initialize().
    void caseSensitive(bool sensitive) { m_bCaseSensitive = sensitive; }

    // Sets the pattern. wholeName = true: the pattern must cover the whole name; false: it may
    // match any part of it (as if surrounded by '*'). slashIsSeparator = true: '*' and '?' do
    // not match '/', so a pattern matches within one path component; false: they match any
    // character. Returns 1 (every pattern is accepted).
    int initialize(const std::string& pattern, bool wholeName, bool slashIsSeparator);

    // 1 when the name matches, 0 when it does not, -1 before initialize().
    int match(const std::string& name) const;

private:
    std::string m_strPattern;
    bool m_bInitialized = false;
    bool m_bCaseSensitive = false;
    bool m_bWholeName = true;
    bool m_bSlashIsSeparator = false;
};
