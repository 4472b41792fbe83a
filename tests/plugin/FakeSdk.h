// The backup SDK as a script, installed into the disk access service's entry points: what it
// answers and what it was asked. One script is active at a time (the last installed).
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "FusionComputeDiskInfo.h"

struct SFakeSdk {
    bool bLunsAttached = false;
    std::vector<int32_t> vecInstanceFlags;
    std::vector<std::pair<int32_t, int32_t>> vecOpens;  // writable, transport
    std::vector<std::pair<uint64_t, uint64_t>> vecReads;
    std::deque<bool> readResults;  // front first; empty: success
    size_t nWrites = 0;
    bool bWriteOk = true;
    int nInstances = 0;
    std::string strUnopenable;  // disk files whose path holds it do not open

    inline static SFakeSdk* c_p = nullptr;
    static void* Create(int32_t lan) {
        c_p->vecInstanceFlags.push_back(lan);
        ++c_p->nInstances;
        return c_p;
    }
    static void Destroy(void*) { --c_p->nInstances; }
    static bool Verify(const char**) { return c_p->bLunsAttached; }
    static bool Connect(void*, const char*, uint32_t, const char*, int32_t, const char*) {
        return true;
    }
    static void Disconnect(void*) {}
    static bool Open(void*, const char**, const char* file, int32_t writable, uint32_t* handle,
                     int32_t lan) {
        c_p->vecOpens.push_back({writable, lan});
        *handle = 7;
        return c_p->strUnopenable.empty() ||
               std::string(file).find(c_p->strUnopenable) == std::string::npos;
    }
    static void Close(void*, uint32_t) {}
    static bool Read(void*, uint32_t, uint64_t offset, uint64_t count, void* buffer, uint64_t*) {
        c_p->vecReads.push_back({offset, count});
        bool ok = true;
        if (!c_p->readResults.empty()) {
            ok = c_p->readResults.front();
            c_p->readResults.pop_front();
        }
        if (ok) std::memset(buffer, int(c_p->vecReads.size()), count);
        return ok;
    }
    static bool Write(void*, uint32_t, uint64_t, uint64_t, const void*, uint64_t*) {
        ++c_p->nWrites;
        return c_p->bWriteOk;
    }
    void Install() {
        c_p = this;
        NXFusionSphereSDK_CreateInstance_Ptr = Create;
        NXFusionSphereSDK_DestroyInstance_Ptr = Destroy;
        NXFusionSphereSDK_VerifyLUNAttached_Ptr = Verify;
        NXFusionSphereSDK_ConnectCNA_Ptr = Connect;
        NXFusionSphereSDK_DisConnectCNA_Ptr = Disconnect;
        NXFusionSphereSDK_OpenDisk_Ptr = Open;
        NXFusionSphereSDK_CloseDisk_Ptr = Close;
        NXFusionSphereSDK_ReadDisk_Ptr = Read;
        NXFusionSphereSDK_WriteDisk_Ptr = Write;
    }
};
