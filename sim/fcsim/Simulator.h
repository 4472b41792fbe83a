// The whole simulator in one object, for tests, the demo and the fcsim executable: a state
// folder (a temporary one unless named), the management service and, when it is built, the
// CNA disk-file server whose port the management service hands out with disk access.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Faults.h"
#include "MgmtService.h"
#include "SimState.h"

namespace fcsim {

class CCnaServer;

struct SSimOptions {
    std::string strStateDir;  // empty: a fresh temporary folder, removed again by Stop
    std::string strBind = "127.0.0.1";
    uint16_t nPort = 0;     // management service; 0 = ephemeral
    uint16_t nCnaPort = 0;  // CNA server; 0 = ephemeral
    bool bHttps = true;
    bool bSeed = true;       // replace the inventory with the demo one
    bool bStartCna = true;   // start the built-in CNA server (when it is built)
    SMgmtSettings settings;  // user, password, version, time-outs; the CNA fields are filled in
};

class CSimulator {
public:
    CSimulator();
    ~CSimulator();  // Stop()
    CSimulator(const CSimulator&) = delete;
    CSimulator& operator=(const CSimulator&) = delete;

    bool Start(const SSimOptions& options, std::string& err);
    void Stop();
    bool Running() const { return m_pMgmt != nullptr; }

    std::string Url() const;  // https://127.0.0.1:<port> or http://...
    uint16_t Port() const;
    uint16_t CnaPort() const;    // 0 when no CNA server runs
    std::string CAFile() const;  // certificate to trust; empty with plain HTTP
    std::string StateDir() const { return m_strStateDir; }
    std::string User() const { return m_options.settings.strUser; }
    std::string Password() const { return m_options.settings.strPassword; }

    // The lines a started server prints: where the service is, how to log on, which version.
    std::string StartupText() const;

    CSimState& State() { return *m_pState; }
    CFaultTable& Faults() { return m_faults; }
    CMgmtService& Mgmt() { return *m_pMgmt; }
    CCnaServer* Cna() { return m_pCna.get(); }  // null when not built or not started

    // Sets the management version number (63 reads as "v6.3"; 62 or less: backup SDK path),
    // and the FusionStorage volumes' data offset that goes with it.
    void SetVersion(int version);
    // Writes into a volume's live disk as the guest would, marking the blocks changed.
    // volume: URN or id. Returns the change position, 0 on failure.
    uint64_t GuestWrite(const std::string& volume, uint64_t offset, const std::string& data,
                        std::string& err);

private:
    void MatchStorageToVersion(int version);

    SSimOptions m_options;
    std::string m_strStateDir;
    bool m_bOwnStateDir = false;
    CFaultTable m_faults;
    std::unique_ptr<CSimState> m_pState;
    std::unique_ptr<CCnaServer> m_pCna;
    std::unique_ptr<ICnaFaultControl> m_pCnaFaults;  // the CNA's rules for the control calls
    std::unique_ptr<CMgmtService> m_pMgmt;
};

}  // namespace fcsim
