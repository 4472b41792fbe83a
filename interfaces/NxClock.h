// The one clock and sleep seam. Everything that waits or reads the time (snapshot retries,
// I/O retries, leases, the admin thread, bitmap polling) goes through here, so tests can run
// them without waiting.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "NxExport.h"

class NX_EXPORT INxClock {
public:
    virtual ~INxClock() = default;
    virtual int64_t NowSeconds() = 0;  // seconds since the epoch, like time()
    virtual uint64_t NowMillis() = 0;  // monotonic milliseconds
    virtual void SleepMillis(uint32_t ms) = 0;
};

namespace NxClock {
NX_EXPORT INxClock& Get();
// Installs a clock for the whole process; nullptr restores the real one.
NX_EXPORT void Set(INxClock* clock);
inline int64_t Now() {
    return Get().NowSeconds();
}
inline uint64_t NowMs() {
    return Get().NowMillis();
}
inline void Sleep(uint32_t ms) {
    Get().SleepMillis(ms);
}
}  // namespace NxClock

// The agent's sleep, in milliseconds.
inline void WZSLEEP(uint32_t ms) {
    NxClock::Sleep(ms);
}

// A test clock: sleeping returns at once, advances the time and is recorded. Installs itself
// for its lifetime and puts the previous clock back when destroyed (so fake clocks nest; destroy
// them in reverse order). Thread-safe. NowMillis() counts from the epoch too, so it never goes
// back unless SetNow() is given an earlier time. Waits of NxEvent advance it without being
// recorded as sleeps.
class NX_EXPORT CFakeClock : public INxClock {
public:
    explicit CFakeClock(int64_t startSeconds = 1700000000);
    ~CFakeClock() override;
    int64_t NowSeconds() override;
    uint64_t NowMillis() override;
    void SleepMillis(uint32_t ms) override;

    void Advance(uint64_t ms);
    void SetNow(int64_t seconds);
    std::vector<uint32_t> Sleeps() const;  // every sleep asked for, in order
    void ClearSleeps();

private:
    mutable std::mutex m_lock;
    uint64_t m_ullMillis;  // since the epoch
    std::vector<uint32_t> m_vecSleeps;
    INxClock* m_pPrevious;  // the clock installed before this one, restored by the destructor
};
