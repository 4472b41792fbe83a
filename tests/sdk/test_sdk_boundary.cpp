// The SDK's entry points are C functions: nothing the SDK meets inside them, not even a host
// log callback that throws, may leave them as an exception. Each fails as its contract says.
#include <gtest/gtest.h>

#include <stdexcept>

#include "SdkUnderTest.h"

namespace {

void ThrowingSink(const char*) {
    throw std::runtime_error("the log sink is broken");
}

class SdkBoundary : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, sdk.pLibrary) << dlerror();
        // An instance made while logging still works, to reach the later entry points.
        instance = sdk.NXFusionSphereSDK_CreateInstance(1);
        ASSERT_NE(nullptr, instance);
        sdk.NXFusionSphereSDK_SetupLogging(ThrowingSink, ThrowingSink, ThrowingSink, ThrowingSink,
                                           ThrowingSink, ThrowingSink);
    }
    void TearDown() override {
        EXPECT_NO_THROW(sdk.NXFusionSphereSDK_DestroyInstance(instance));
        sdk.NXFusionSphereSDK_SetupLogging(SSdkUnderTest::OnError, SSdkUnderTest::OnError,
                                           SSdkUnderTest::OnError, SSdkUnderTest::OnDebug,
                                           SSdkUnderTest::OnDebug, SSdkUnderTest::OnDebug);
    }

    SSdkUnderTest sdk;
    void* instance = nullptr;
};

TEST_F(SdkBoundary, AThrowingLogCallbackNeverLeavesAnEntryPoint) {
    EXPECT_NO_THROW(sdk.NXFusionSphereSDK_InitialSDK(1, 2, 3));

    bool attached = true;
    EXPECT_NO_THROW(attached = sdk.NXFusionSphereSDK_VerifyLUNAttached(nullptr));
    EXPECT_FALSE(attached);

    void* other = reinterpret_cast<void*>(&attached);
    EXPECT_NO_THROW(other = sdk.NXFusionSphereSDK_CreateInstance(0));
    EXPECT_EQ(nullptr, other);

    bool connected = true;
    EXPECT_NO_THROW(connected =
                        sdk.NXFusionSphereSDK_ConnectCNA(nullptr, nullptr, 0, nullptr, 0, ""));
    EXPECT_FALSE(connected);

    bool opened = true;
    uint32_t handle = 0;
    EXPECT_NO_THROW(opened =
                        sdk.NXFusionSphereSDK_OpenDisk(instance, nullptr, nullptr, 0, &handle, 1));
    EXPECT_FALSE(opened);

    // Counts the protocol cannot carry are refused with an error line.
    char buffer[16] = {};
    uint64_t count = 0;
    bool moved = true;
    EXPECT_NO_THROW(moved =
                        sdk.NXFusionSphereSDK_ReadDisk(instance, 1, 0, 1ull << 33, buffer, &count));
    EXPECT_FALSE(moved);
    moved = true;
    EXPECT_NO_THROW(
        moved = sdk.NXFusionSphereSDK_WriteDisk(instance, 1, 0, 1ull << 33, buffer, &count));
    EXPECT_FALSE(moved);

    EXPECT_NO_THROW(sdk.NXFusionSphereSDK_CloseDisk(instance, 1));
    EXPECT_NO_THROW(sdk.NXFusionSphereSDK_DisConnectCNA(instance));
}

}  // namespace
