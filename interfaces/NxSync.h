// Locks, events and threads of the agent's utility library.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <functional>

#include "NxExport.h"

// A recursive lock owning a heap-allocated platform lock. Throws the C string
// "Not enough memory to initialize NxCriticalSection" when the lock cannot be created.
class NX_EXPORT NxCriticalSection {
public:
    NxCriticalSection();
    ~NxCriticalSection();
    NxCriticalSection(const NxCriticalSection&) = delete;
    NxCriticalSection& operator=(const NxCriticalSection&) = delete;

    // wait = false tries once; returns true when the lock is held.
    bool enter(bool wait = true);
    void leave();

private:
    pthread_mutex_t* m_pMutex;
};

// Scoped guard; a null pointer makes it do nothing.
class NX_EXPORT NxCriticalSectionLock {
public:
    explicit NxCriticalSectionLock(NxCriticalSection* cs) : m_pCS(cs) {
        if (m_pCS) m_pCS->enter(true);
    }
    ~NxCriticalSectionLock() {
        if (m_pCS) m_pCS->leave();
    }
    NxCriticalSectionLock(const NxCriticalSectionLock&) = delete;
    NxCriticalSectionLock& operator=(const NxCriticalSectionLock&) = delete;

private:
    NxCriticalSection* m_pCS;
};

// An event. Throws "Not enough memory to initialize NxEvent" when it cannot be created.
// manualReset = true: stays set until reset().
class NX_EXPORT NxEvent {
public:
    explicit NxEvent(bool manualReset = true);
    ~NxEvent();
    NxEvent(const NxEvent&) = delete;
    NxEvent& operator=(const NxEvent&) = delete;

    void set();
    void reset();
    // True when the event was set within the time; a negative time waits for ever. Waiting
    // goes through the clock seam (NxClock.h): under a fake clock a wait that times out
    // advances the fake time and returns at once.
    bool wait(int64_t milliseconds);

private:
    struct SState;
    SState* m_pState;
    bool m_bManualReset;
};

// A joinable thread running one function.
class NX_EXPORT NxThread {
public:
    NxThread();
    ~NxThread();  // joins a thread still running
    NxThread(const NxThread&) = delete;
    NxThread& operator=(const NxThread&) = delete;

    bool start(std::function<void()> body);
    void join();
    bool running() const { return m_bStarted; }

private:
    pthread_t m_thread{};
    bool m_bStarted = false;
    std::function<void()> m_body;
};
