// The simulator's management service: the platform's REST surface (docs/management-api.md)
// over one state folder. One service owns a state folder's inventory; the CNA server and the
// FusionStorage tool stand-ins meet it only through CSimState (leases, change journal, frozen
// snapshot files, FusionStorage snapshots).
//
// Any target linking fcsim_mgmt is compiled with CPPHTTPLIB_OPENSSL_SUPPORT, so that every
// translation unit that includes httplib.h in the same program sees the same class layouts.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Faults.h"
#include "SimState.h"

namespace fcsim {

struct SMgmtSettings {
    std::string strUser = "admin";
    std::string strPassword = "FcSim@2024";
    int nVersion = 63;                // management version number: 63 reads as "v6.3"
    int nTaskPolls = 1;               // polls that still report "running" before the end
    int64_t llSessionIdleSecs = 600;  // token idle time-out
    int64_t llLeaseSecs = 300;        // disk-access lifetime when the request names none
    std::string strCnaHost = "127.0.0.1";
    uint16_t nCnaPort = 0;  // handed out with disk access; 0 until a CNA is known
    std::string strSiteId = "5D1C0A7E";
};

// The CNA disk-file server's fault rules as the control calls reach them (/sim/cna/faults). The
// service owns no CNA server; whoever owns both installs this. Rules travel as rule text
// (CnaServer.h: ParseCnaFaultRule, FormatCnaFaultRule).
class ICnaFaultControl {
public:
    virtual ~ICnaFaultControl() = default;
    // Adds the rule; its text as read back (every key), or false with the reason it is refused.
    virtual bool Add(const std::string& text, std::string& canonical, std::string& error) = 0;
    // The rules in the order added: each one's text without its counts, and its window.
    virtual std::vector<std::pair<std::string, SFaultWindow>> List() const = 0;
    virtual void Clear() = 0;
};

class CMgmtService {
public:
    CMgmtService(CSimState& state, CFaultTable& faults, const SMgmtSettings& settings);
    ~CMgmtService();  // stops the server
    CMgmtService(const CMgmtService&) = delete;
    CMgmtService& operator=(const CMgmtService&) = delete;

    // Loads <state>/inventory.json (an absent file is an empty inventory).
    bool Open(std::string& err);
    // Replaces the inventory with the demo one (and its disk files).
    bool SeedDemo(std::string& err);

    // Binds bind:port (0 = ephemeral) and serves on a thread of its own. With https a
    // self-signed certificate is generated into <state>/tls/ first.
    bool Start(const std::string& bind, uint16_t port, bool https, std::string& err);
    void Stop();
    uint16_t Port() const;
    std::string Url() const;     // e.g. https://127.0.0.1:40001
    std::string CAFile() const;  // the certificate a client trusts; empty for plain HTTP

    SMgmtSettings Settings() const;
    void SetSettings(const SMgmtSettings& settings);

    // Writes into a volume's live disk as the guest would, and marks the blocks changed.
    // volume: URN or id. Returns the new change position, 0 on failure (err says why).
    uint64_t GuestWrite(const std::string& volume, uint64_t offset, const std::string& data,
                        std::string& err);

    // Installs the CNA's fault rules for the control calls; null (the default) makes them answer
    // that there is no CNA. Not owned: it must stay valid until it is replaced or the service
    // has stopped.
    void SetCnaFaultControl(ICnaFaultControl* control);

    class CImpl;

private:
    std::unique_ptr<CImpl> m_pImpl;
};

}  // namespace fcsim
