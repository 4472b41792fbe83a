#include "Simulator.h"

#include <stdlib.h>

#include <filesystem>

#include "CnaServer.h"
#include "FsVolumeStore.h"

namespace fcsim {

namespace {
// The CNA server's rules in rule text, for the management service's control calls.
class CCnaFaultControl : public ICnaFaultControl {
public:
    explicit CCnaFaultControl(CCnaServer& cna) : m_cna(cna) {}
    bool Add(const std::string& text, std::string& canonical, std::string& error) override {
        SCnaFaultRule rule;
        if (!ParseCnaFaultRule(text, rule, error)) return false;
        m_cna.AddFault(rule);
        canonical = FormatCnaFaultRule(rule);
        return true;
    }
    std::vector<std::pair<std::string, SFaultWindow>> List() const override {
        std::vector<std::pair<std::string, SFaultWindow>> out;
        for (SCnaFaultRule rule : m_cna.ListFaults()) {
            const SFaultWindow window = rule.window;
            rule.window.nSeen = rule.window.nFired = 0;  // the counts travel apart
            out.emplace_back(FormatCnaFaultRule(rule), window);
        }
        return out;
    }
    void Clear() override { m_cna.ClearFaults(); }

private:
    CCnaServer& m_cna;
};
}  // namespace

CSimulator::CSimulator() = default;

CSimulator::~CSimulator() {
    Stop();
}

bool CSimulator::Start(const SSimOptions& options, std::string& err) {
    if (m_pMgmt) {
        err = "the simulator is running already";
        return false;
    }
    m_options = options;
    m_strStateDir = options.strStateDir;
    m_bOwnStateDir = m_strStateDir.empty();
    if (m_bOwnStateDir) {
        std::error_code ec;
        std::string tmpl = (std::filesystem::temp_directory_path(ec) / "fcsim.XXXXXX").string();
        if (ec || !::mkdtemp(&tmpl[0])) {
            err = "cannot create a temporary state folder";
            return false;
        }
        m_strStateDir = tmpl;
    } else {
        std::error_code ec;
        std::filesystem::create_directories(m_strStateDir, ec);
    }
    m_pState = std::make_unique<CSimState>(m_strStateDir);
    SMgmtSettings settings = options.settings;
    if (options.bStartCna) {
        m_pCna = std::make_unique<CCnaServer>(*m_pState);
        if (!m_pCna->Start(options.strBind, options.nCnaPort)) {
            err = "the CNA server cannot listen on " + options.strBind + ":" +
                  std::to_string(options.nCnaPort);
            Stop();
            return false;
        }
        settings.strCnaHost = options.strBind;
        settings.nCnaPort = m_pCna->Port();
    }
    m_pMgmt = std::make_unique<CMgmtService>(*m_pState, m_faults, settings);
    if (m_pCna) {
        m_pCnaFaults = std::make_unique<CCnaFaultControl>(*m_pCna);
        m_pMgmt->SetCnaFaultControl(m_pCnaFaults.get());
    }
    if (!m_pMgmt->Open(err) || (options.bSeed && !m_pMgmt->SeedDemo(err)) ||
        !m_pMgmt->Start(options.strBind, options.nPort, options.bHttps, err)) {
        Stop();
        return false;
    }
    m_options.settings = settings;
    MatchStorageToVersion(settings.nVersion);
    return true;
}

std::string CSimulator::StartupText() const {
    std::string text = "fcsim: management service " + Url() + "\n";
    text += "fcsim: user " + User() + " password " + Password() + "\n";
    if (!CAFile().empty()) text += "fcsim: CA file " + CAFile() + "\n";
    text += "fcsim: CNA port " + std::to_string(CnaPort()) + "\n";
    text += "fcsim: management version " +
            std::to_string(m_pMgmt ? m_pMgmt->Settings().nVersion : m_options.settings.nVersion) +
            ", state folder " + m_strStateDir + "\n";
    return text + "fcsim: running; stop with Ctrl-C\n";
}

// Platforms that serve disks through the backup SDK (version 62 and older) keep a FusionStorage
// disk's data 4 KiB into its volume; later ones at its start. The tools follow the version.
void CSimulator::MatchStorageToVersion(int version) {
    CFsVolumeStore volumes(m_strStateDir);
    SFsToolsConfig config = volumes.Config();
    config.ullDataOffset = version <= 62 ? 4096 : 0;
    volumes.SetConfig(config);
}

void CSimulator::Stop() {
    if (m_pMgmt) m_pMgmt->Stop();
    m_pMgmt.reset();
    m_pCnaFaults.reset();
    if (m_pCna) m_pCna->Stop();
    m_pCna.reset();
    m_pState.reset();
    if (m_bOwnStateDir && !m_strStateDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_strStateDir, ec);
        m_strStateDir.clear();
    }
    m_bOwnStateDir = false;
}

std::string CSimulator::Url() const {
    return m_pMgmt ? m_pMgmt->Url() : "";
}

uint16_t CSimulator::Port() const {
    return m_pMgmt ? m_pMgmt->Port() : 0;
}

uint16_t CSimulator::CnaPort() const {
    return m_pCna ? m_pCna->Port() : 0;
}

std::string CSimulator::CAFile() const {
    return m_pMgmt ? m_pMgmt->CAFile() : "";
}

void CSimulator::SetVersion(int version) {
    if (!m_pMgmt) return;
    SMgmtSettings s = m_pMgmt->Settings();
    s.nVersion = version;
    m_pMgmt->SetSettings(s);
    MatchStorageToVersion(version);
}

uint64_t CSimulator::GuestWrite(const std::string& volume, uint64_t offset, const std::string& data,
                                std::string& err) {
    if (!m_pMgmt) {
        err = "the simulator is not running";
        return 0;
    }
    return m_pMgmt->GuestWrite(volume, offset, data, err);
}

}  // namespace fcsim
