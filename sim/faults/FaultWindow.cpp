#include "FaultWindow.h"

namespace fcsim {

bool TakeFaultWindow(CKeyValues& items, SFaultWindow& window, std::string& error) {
    uint64_t nth = window.nNth, times = window.nTimes, every = window.nEvery, seen = window.nSeen,
             fired = window.nFired;
    if (!items.TakeNumber("nth", UINT32_MAX, nth, error) ||
        !items.TakeNumber("times", UINT32_MAX, times, error) ||
        !items.TakeNumber("every", UINT32_MAX, every, error) ||
        !items.TakeNumber("seen", UINT32_MAX, seen, error) ||
        !items.TakeNumber("fired", UINT32_MAX, fired, error)) {
        return false;
    }
    window.nNth = nth == 0 ? 1 : static_cast<uint32_t>(nth);
    window.nTimes = static_cast<uint32_t>(times);
    window.nEvery = every == 0 ? 1 : static_cast<uint32_t>(every);
    window.nSeen = static_cast<uint32_t>(seen);
    window.nFired = static_cast<uint32_t>(fired);
    return true;
}

void PutFaultWindow(const SFaultWindow& window, bool bCounts, CKeyValues& items) {
    items.SetNumber("nth", window.nNth);
    items.SetNumber("times", window.nTimes);
    if (window.nEvery > 1) items.SetNumber("every", window.nEvery);
    if (!bCounts) return;
    items.SetNumber("seen", window.nSeen);
    items.SetNumber("fired", window.nFired);
}

}  // namespace fcsim
