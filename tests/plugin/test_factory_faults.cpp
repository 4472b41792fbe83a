// The factory is a C entry point: whatever goes wrong while the plug-in object is built must
// come back as "no object", never as an exception into the agent. Memory running out at each
// allocation of the construction in turn is the failure every step can meet. The library is
// loaded as the agent loads it, with dlopen.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "VMInfo.h"

namespace {

// Allocations of this thread left before the one that fails; 0 = none fails.
thread_local long t_nAllocationsBeforeFailure = 0;

void* Allocate(std::size_t size) {
    if (t_nAllocationsBeforeFailure > 0 && --t_nAllocationsBeforeFailure == 0)
        throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

}  // namespace

// The runtime's array and sized forms come down to these (so they fail too, and their memory is
// freed here); the sized delete must be ours as well, as the unsized one is.
void* operator new(std::size_t size) {
    return Allocate(size);
}
// Left to the runtime, the nothrow forms would pair its allocator with our free.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

typedef int (*FactoryFunc)(VirtualServerInstanceType, IVMInfo**);

TEST(FactoryFaults, RunningOutOfMemoryAnywhereGivesNoObjectAndNoException) {
    void* library = dlopen(FC_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, library) << dlerror();
    auto factory = reinterpret_cast<FactoryFunc>(dlsym(library, "CreateFusionComputeInfoObject"));
    ASSERT_NE(nullptr, factory);

    int failures = 0;
    bool completed = false;
    for (long n = 1; n < 5000 && !completed; ++n) {
        IVMInfo* info = reinterpret_cast<IVMInfo*>(&failures);  // must be overwritten
        int rc = -1;
        t_nAllocationsBeforeFailure = n;
        try {
            rc = factory(VSINSTANCE_FUSIONCOMPUTE, &info);
        } catch (...) {
            t_nAllocationsBeforeFailure = 0;
            ADD_FAILURE() << "an exception left the factory at allocation " << n;
            break;
        }
        // Still counting: the construction did not reach the n-th allocation.
        completed = t_nAllocationsBeforeFailure > 0;
        t_nAllocationsBeforeFailure = 0;
        if (rc == 1) {
            ASSERT_NE(nullptr, info) << "allocation " << n;
            delete info;
        } else {
            EXPECT_EQ(0, rc) << "allocation " << n;
            EXPECT_EQ(nullptr, info) << "allocation " << n;
            ++failures;
        }
    }
    EXPECT_TRUE(completed);
    EXPECT_GT(failures, 0);  // the construction allocates, so some of them failed

    // Built whole, it logs through the process's framework; without a place for it, none is
    // made. (The object at work through the interface, loaded so: the FcbackupCli tests, as
    // fcbackup loads the plug-in with dlopen.)
    EvLogCapture capture;
    IVMInfo* info = nullptr;
    ASSERT_EQ(1, factory(VSINSTANCE_FUSIONCOMPUTE, &info));
    EXPECT_TRUE(capture.Contains("Creating FusionComputeInfo object"));
    delete info;
    EXPECT_EQ(0, factory(VSINSTANCE_FUSIONCOMPUTE, nullptr));
    dlclose(library);
}

}  // namespace
