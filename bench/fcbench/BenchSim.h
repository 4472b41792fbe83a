// The simulator the bench runs against: the demo inventory with web-01's two disks grown to
// the bench size, the first filled with data, the second sparse (one MiB in twenty written).
#pragma once

#include <memory>
#include <string>

#include "AgentHost.h"
#include "Bench.h"
#include "Simulator.h"

namespace fcbench {

constexpr const char* kDataDisk = "urn:sites:5D1C0A7E:volumes:20";
constexpr const char* kSparseDisk = "urn:sites:5D1C0A7E:volumes:21";

class CBenchSim {
public:
    explicit CBenchSim(const SPathsOptions& options) : m_options(options) {}
    ~CBenchSim();  // stops the simulator and removes the work folder
    CBenchSim(const CBenchSim&) = delete;
    CBenchSim& operator=(const CBenchSim&) = delete;

    bool Start(int nVersion, std::string& strError);
    void SetVersion(int nVersion) { m_sim.SetVersion(nVersion); }
    // Makes the SAN datastore's LUNs look attached, for the SDK's SAN transport.
    bool ExposeLuns(std::string& strError);
    bool Connect(std::unique_ptr<fcagent::CPluginHost>& pOut, std::string& strError);

    std::string DiskFile(const std::string& strUrn);
    const std::string& Work() const { return m_strWork; }
    // The simulator's state folder: in Work(), or on a file system apart (bStateApart).
    std::string StateDir() const {
        return (m_strApart.empty() ? m_strWork : m_strApart) + "/state";
    }
    fcsim::CSimulator& Sim() { return m_sim; }

private:
    bool Prepare(std::string& strError);

    SPathsOptions m_options;
    std::string m_strWork;
    std::string m_strApart;
    fcsim::CSimulator m_sim;
};

// A new folder on a file system other than work's (a tmpfs) with room, on it and in memory,
// for the two bench disks in full and a GiB to spare; empty when there is none.
std::string FolderApart(const std::string& strWork, uint64_t ullDiskBytes, const char* szPrefix);

// The write path through the plug-in's CreateVmdk / WriteVmdk at each request size, beside its
// ceiling: write.socket.S, write.ceiling.S. The host is connected, no VM mounted.
bool MeasureWritePaths(CBenchSim& sim, fcagent::CPluginHost& host, const SPathsOptions& options,
                       CFigures& figures, std::string& strError);

}  // namespace fcbench
