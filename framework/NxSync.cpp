// Locks, events and threads.
#include "NxSync.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "EvDebug.h"
#include "NxClock.h"

NxCriticalSection::NxCriticalSection() : m_pMutex(new (std::nothrow) pthread_mutex_t) {
    if (!m_pMutex) throw "Not enough memory to initialize NxCriticalSection";
    pthread_mutexattr_t attr;
    bool ok = pthread_mutexattr_init(&attr) == 0;
    ok = ok && pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0;
    ok = ok && pthread_mutex_init(m_pMutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    if (!ok) {
        delete m_pMutex;
        throw "Not enough memory to initialize NxCriticalSection";
    }
}

NxCriticalSection::~NxCriticalSection() {
    pthread_mutex_destroy(m_pMutex);
    delete m_pMutex;
}

bool NxCriticalSection::enter(bool wait) {
    return (wait ? pthread_mutex_lock(m_pMutex) : pthread_mutex_trylock(m_pMutex)) == 0;
}

void NxCriticalSection::leave() {
    pthread_mutex_unlock(m_pMutex);
}

struct NxEvent::SState {
    std::mutex lock;
    std::condition_variable cv;
    bool bSignaled = false;
};

NxEvent::NxEvent(bool manualReset)
    : m_pState(new (std::nothrow) SState), m_bManualReset(manualReset) {
    if (!m_pState) throw "Not enough memory to initialize NxEvent";
}

NxEvent::~NxEvent() {
    delete m_pState;
}

void NxEvent::set() {
    {
        std::lock_guard<std::mutex> guard(m_pState->lock);
        m_pState->bSignaled = true;
    }
    m_pState->cv.notify_all();
}

void NxEvent::reset() {
    std::lock_guard<std::mutex> guard(m_pState->lock);
    m_pState->bSignaled = false;
}

bool NxEvent::wait(int64_t milliseconds) {
    std::unique_lock<std::mutex> guard(m_pState->lock);
    auto take = [this]() {
        if (!m_pState->bSignaled) return false;
        if (!m_bManualReset) m_pState->bSignaled = false;
        return true;
    };
    if (take()) return true;
    if (milliseconds == 0) return false;
    if (milliseconds < 0) {
        m_pState->cv.wait(guard, [this]() { return m_pState->bSignaled; });
        return take();
    }
    if (CFakeClock* fake = dynamic_cast<CFakeClock*>(&NxClock::Get())) {
        // Under a test clock nobody would ever advance the time for us: the wait runs out at
        // once. Letting other threads run first gives a set() that is about to happen a chance
        // to be seen, and keeps a waiting loop from starving the test thread.
        guard.unlock();
        std::this_thread::yield();
        fake->Advance(static_cast<uint64_t>(milliseconds));
        guard.lock();
        return take();
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    m_pState->cv.wait_until(guard, deadline, [this]() { return m_pState->bSignaled; });
    return take();
}

NxThread::NxThread() = default;

NxThread::~NxThread() {
    join();
}

namespace {
void* RunThreadBody(void* arg) {
    auto* body = static_cast<std::function<void()>*>(arg);
    try {
        (*body)();
    } catch (const std::exception& e) {
        EvDebug log;
        log.Error("void* RunThreadBody(void*)", "Thread ended by an exception: %s", e.what());
    } catch (...) {
        EvDebug log;
        log.Error("void* RunThreadBody(void*)", "Thread ended by an unknown exception");
    }
    return nullptr;
}
}  // namespace

bool NxThread::start(std::function<void()> body) {
    if (m_bStarted || !body) return false;
    m_body = std::move(body);
    if (pthread_create(&m_thread, nullptr, RunThreadBody, &m_body) != 0) {
        m_body = nullptr;
        return false;
    }
    m_bStarted = true;
    return true;
}

void NxThread::join() {
    if (!m_bStarted) return;
    pthread_join(m_thread, nullptr);
    m_bStarted = false;
    m_body = nullptr;
}
