#include "FaultWindow.h"

namespace fcsim {

bool TakeFaultWindow(CKeyValues& items, SFaultWindow& window, std::string& error) {
    uint64_t nth = window.nNth, times = window.nTimes, seen = window.nSeen, fired = window.nFired;
    if (!items.TakeNumber("nth", UINT32_MAX, nth, error) ||
        !items.TakeNumber("times", UINT32_MAX, times, error) ||
        !items.TakeNumber("seen", UINT32_MAX, seen, error) ||
        !items.TakeNumber("fired", UINT32_MAX, fired, error)) {
        return false;
    }
    window.nNth = nth == 0 ? 1 : static_cast<uint32_t>(nth);
    window.nTimes = static_cast<uint32_t>(times);
    window.nSeen = static_cast<uint32_t>(seen);
    window.nFired = static_cast<uint32_t>(fired);
    return true;
}

void PutFaultWindow(const SFaultWindow& window, bool bCounts, CKeyValues& items) {
    items.SetNumber("nth", window.nNth);
    items.SetNumber("times", window.nTimes);
    if (!bCounts) return;
    items.SetNumber("seen", window.nSeen);
    items.SetNumber("fired", window.nFired);
}

}  // namespace fcsim
