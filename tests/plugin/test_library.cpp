// The built library as the agent sees it: loaded with dlopen, two entry points, an object made
// by the factory and deleted through the interface.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "VMInfo.h"

namespace {

typedef int (*FactoryFunc)(VirtualServerInstanceType, IVMInfo**);
typedef bool (*DatastoreTestFunc)(const VMInfoStructs::SDatastoreInfo&);

class LibraryTest : public ::testing::Test {
protected:
    void* library = nullptr;
    void SetUp() override {
        library = dlopen(FC_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, library) << dlerror();
    }
    void TearDown() override {
        if (library) dlclose(library);
    }
};

TEST_F(LibraryTest, FactoryCreatesAWorkingObject) {
    auto factory = reinterpret_cast<FactoryFunc>(dlsym(library, "CreateFusionComputeInfoObject"));
    ASSERT_NE(nullptr, factory);
    EvLogCapture capture;
    IVMInfo* info = nullptr;
    ASSERT_EQ(1, factory(VSINSTANCE_FUSIONCOMPUTE, &info));
    ASSERT_NE(nullptr, info);
    EXPECT_TRUE(capture.Contains("Creating FusionComputeInfo object"));
    auto* base = dynamic_cast<CVMInfo*>(info);
    ASSERT_NE(nullptr, base);
    EXPECT_EQ(VSINSTANCE_FUSIONCOMPUTE, base->GetInstanceType());
    EXPECT_EQ(1, info->Init(0));
    EXPECT_EQ(1, info->DeInit(false));
    EXPECT_EQ(0, info->Disconnect());
    // Without a connection a mount fails with the connection error, before touching anything.
    MountCtx ctx;
    EXPECT_EQ(0, info->MountVM(ctx));
    EXPECT_EQ(VMInfoStructs::VMINFO_ERR_CONNECT, base->GetLastVMError());
    delete info;

    EXPECT_EQ(0, factory(VSINSTANCE_FUSIONCOMPUTE, nullptr));
}

TEST_F(LibraryTest, FusionStorageDatastoreIsExactlyDSWARE) {
    auto isFusionStorage = reinterpret_cast<DatastoreTestFunc>(
        dlsym(library, "_Z24IsFusionStorageDatastoreRKN13VMInfoStructs14SDatastoreInfoE"));
    ASSERT_NE(nullptr, isFusionStorage);
    VMInfoStructs::SDatastoreInfo ds;
    for (const char* type : {"dsware", "DSWARE ", "", "NAS", "DSWAREX"}) {
        ds.strType = type;
        EXPECT_FALSE(isFusionStorage(ds)) << type;
    }
    ds.strType = "DSWARE";
    EXPECT_TRUE(isFusionStorage(ds));
}

}  // namespace
