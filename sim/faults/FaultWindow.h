// Which matching calls a fault rule fires on: the one counting of every fault engine of the
// simulator (the management service, the CNA server, the FusionStorage tool stand-ins).
//
// A rule counts every call it matches. It fires on its nth matching call (counted from 1) and
// on the matching calls after that, times times in all; times 0 means on every matching call
// from the nth on. With every N (N > 1) only each Nth matching call from the nth on fires (the
// nth, the nth + N, ...), so a rule can fault a steady share of a long run. When several rules
// match one call, every one of them counts it and the first of them (in the order they were added)
// whose window is open fires, so "the nth call" means the same for each rule whichever fires. A
// rule that has fired its times stays listed, spent.
//
// In rule text (KeyValues.h): nth=N (default 1; 0 reads as 1), times=N (default 1) and every=N
// (default 1; 0 reads as 1, written only when more), plus the counts seen=N and fired=N that an
// engine keeping its rules in a file writes back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "KeyValues.h"

namespace fcsim {

struct SFaultWindow {
    uint32_t nNth = 1;    // the first matching call that fires, from 1
    uint32_t nTimes = 1;  // how many matching calls fire; 0 = all from the nth on
    uint32_t nEvery = 1;  // from the nth on, only every nEvery-th matching call fires
    uint32_t nSeen = 0;   // matching calls so far
    uint32_t nFired = 0;  // calls it fired on

    // Whether the call counted last falls inside the window.
    bool Open() const {
        return nSeen >= nNth && !Spent() && (nEvery <= 1 || (nSeen - nNth) % nEvery == 0);
    }
    bool Spent() const { return nTimes != 0 && nFired >= nTimes; }
    // A rule added anew counts from nothing.
    void Restart() {
        if (nNth == 0) nNth = 1;
        if (nEvery == 0) nEvery = 1;
        nSeen = nFired = 0;
    }
};

// Counts one call against every rule that matches it (TRule has a SFaultWindow named window)
// and returns the rule that fires, or null.
template <typename TRule, typename FMatches>
TRule* FireFirst(std::vector<TRule>& rules, FMatches&& matches) {
    TRule* pFired = nullptr;
    for (TRule& rule : rules) {
        if (!matches(rule)) continue;
        ++rule.window.nSeen;
        if (pFired == nullptr && rule.window.Open()) {
            ++rule.window.nFired;
            pFired = &rule;
        }
    }
    return pFired;
}

// Takes nth, times, every, seen and fired from rule text; false with a reason when one is
// malformed.
bool TakeFaultWindow(CKeyValues& items, SFaultWindow& window, std::string& error);
// Puts nth and times (and every when more than 1), and seen and fired when bCounts.
void PutFaultWindow(const SFaultWindow& window, bool bCounts, CKeyValues& items);

}  // namespace fcsim
