// The clock and sleep seam: the real clock, the process-wide slot and the fake test clock.
#include "NxClock.h"

#include <time.h>

#include <atomic>
#include <cerrno>

namespace {

class CRealClock : public INxClock {
public:
    int64_t NowSeconds() override { return static_cast<int64_t>(::time(nullptr)); }
    uint64_t NowMillis() override {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<uint64_t>(ts.tv_sec) * 1000u +
               static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    }
    void SleepMillis(uint32_t ms) override {
        timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        // A signal must not cut a retry delay short.
        while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }
};

CRealClock& RealClock() {
    static CRealClock* clock = new CRealClock();  // never destroyed: used by static destructors
    return *clock;
}

std::atomic<INxClock*> g_pClock{nullptr};

}  // namespace

namespace NxClock {

INxClock& Get() {
    INxClock* clock = g_pClock.load(std::memory_order_acquire);
    return clock ? *clock : RealClock();
}

void Set(INxClock* clock) {
    g_pClock.store(clock, std::memory_order_release);
}

}  // namespace NxClock

CFakeClock::CFakeClock(int64_t startSeconds)
    : m_ullMillis(static_cast<uint64_t>(startSeconds) * 1000u),
      m_pPrevious(g_pClock.load(std::memory_order_acquire)) {
    NxClock::Set(this);
}

CFakeClock::~CFakeClock() {
    // Only put the previous clock back when this one is still installed; a test that installed
    // another clock meanwhile keeps it.
    INxClock* expected = this;
    g_pClock.compare_exchange_strong(expected, m_pPrevious, std::memory_order_acq_rel);
}

int64_t CFakeClock::NowSeconds() {
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<int64_t>(m_ullMillis / 1000u);
}

uint64_t CFakeClock::NowMillis() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_ullMillis;
}

void CFakeClock::SleepMillis(uint32_t ms) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_vecSleeps.push_back(ms);
    m_ullMillis += ms;
}

void CFakeClock::Advance(uint64_t ms) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_ullMillis += ms;
}

void CFakeClock::SetNow(int64_t seconds) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_ullMillis = static_cast<uint64_t>(seconds) * 1000u;
}

std::vector<uint32_t> CFakeClock::Sleeps() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_vecSleeps;
}

void CFakeClock::ClearSleeps() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_vecSleeps.clear();
}
