#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>

#include "AgentHost.h"

namespace fcagent {

namespace {

typedef int (*FactoryFunc)(VirtualServerInstanceType, IVMInfo**);

const UINT64 kVmQueryFlags = 0x38;  // disks, networks and snapshots

std::string ExecutableDir() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/'));
}

}  // namespace

std::string CPluginHost::DefaultLibrary() {
    return ExecutableDir() + "/../lib/libFusionComputeInfo.so";
}

bool CPluginHost::Load(const std::string& strLibrary, const SConnection& conn,
                       std::unique_ptr<CPluginHost>& pOut, std::string& strError) {
    std::unique_ptr<CPluginHost> pHost(new CPluginHost());
    pHost->m_pLibrary = ::dlopen(strLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!pHost->m_pLibrary) {
        const char* why = ::dlerror();
        strError = "cannot load the plug-in " + strLibrary + ": " + (why ? why : "unknown error");
        return false;
    }
    auto factory =
        reinterpret_cast<FactoryFunc>(::dlsym(pHost->m_pLibrary, "CreateFusionComputeInfoObject"));
    if (!factory) {
        strError = strLibrary + " is not the plug-in: it has no CreateFusionComputeInfoObject";
        return false;
    }
    // The plug-in's service connection reads its trust settings when the object is made.
    if (!conn.strCAFile.empty()) ::setenv("FC_BRIDGE_CAFILE", conn.strCAFile.c_str(), 1);
    if (conn.bInsecure) ::setenv("FC_BRIDGE_INSECURE", "1", 1);
    if (factory(VSINSTANCE_FUSIONCOMPUTE, &pHost->m_pInfo) == 0 || !pHost->m_pInfo) {
        strError = "the plug-in's factory created no object";
        return false;
    }
    pHost->m_pBase = dynamic_cast<CVMInfo*>(pHost->m_pInfo);
    if (pHost->m_pInfo->Init(0) == 0) {
        strError = pHost->LastError("the plug-in did not initialise");
        return false;
    }
    pOut = std::move(pHost);
    return true;
}

std::unique_ptr<CPluginHost> CPluginHost::Adopt(IVMInfo* pInfo) {
    std::unique_ptr<CPluginHost> pHost(new CPluginHost());
    pHost->m_pInfo = pInfo;
    pHost->m_pBase = dynamic_cast<CVMInfo*>(pInfo);
    return pHost;
}

CPluginHost::~CPluginHost() {
    delete m_pInfo;
    if (m_pLibrary) ::dlclose(m_pLibrary);
}

bool CPluginHost::Connect(const SConnection& conn, std::string& strError) {
    if (m_pInfo->Connect(conn.strUrl, conn.strUser, conn.strPassword) != 0) return true;
    strError = LastError("cannot log on to " + conn.strUrl + " as " + conn.strUser);
    const std::string details = m_pBase ? m_pBase->GetLastVMErrorDetails() : "";
    if (details.find("certificate") != std::string::npos ||
        details.find("SSL") != std::string::npos)
        strError += "; to trust the service's certificate give --ca-file FILE (or --insecure)";
    return false;
}

std::string CPluginHost::LastError(const std::string& strWhat) const {
    if (!m_pBase) return strWhat;
    const int code = static_cast<int>(m_pBase->GetLastVMError());
    std::string details = m_pBase->GetLastVMErrorDetails();
    for (char& c : details)
        if (c == '\n' || c == '\r') c = ' ';
    std::string text = strWhat;
    if (!details.empty()) text += ": " + details;
    if (code != 0) text += " (error " + std::to_string(code) + ")";
    return text;
}

int CPluginHost::LastErrorCode() const {
    return m_pBase ? static_cast<int>(m_pBase->GetLastVMError()) : 0;
}

bool CPluginHost::FindVM(const std::string& strNameOrGuid, VMInfoStructs::SVMInfo& vm,
                         std::string& strError) {
    if (strNameOrGuid.empty()) {
        strError = "no VM named";
        return false;
    }
    if (m_pInfo->GetVMInfoForVM(strNameOrGuid, "", "", kVmQueryFlags, 0, vm) != 0) return true;
    if (m_pInfo->GetVMInfoForVM("", strNameOrGuid, "", kVmQueryFlags, 0, vm) != 0) return true;
    strError = "no VM named " + strNameOrGuid + " on the platform";
    return false;
}

}  // namespace fcagent
