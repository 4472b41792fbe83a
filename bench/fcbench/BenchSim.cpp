#include "BenchSim.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <vector>

#include "CnaServer.h"
#include "WzFile.h"

namespace fcbench {

namespace {

// Data that neither compresses nor repeats, and is never a zero block.
void Fill(std::vector<char>& buf, uint64_t& x) {
    uint64_t* p = reinterpret_cast<uint64_t*>(buf.data());
    for (size_t i = 0; i < buf.size() / 8; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        p[i] = x | 1;
    }
}

uint64_t MemAvailable() {
    std::ifstream in("/proc/meminfo");
    std::string key;
    uint64_t kib = 0;
    while (in >> key >> kib) {
        if (key == "MemAvailable:") return kib << 10;
        in.ignore(256, '\n');
    }
    return 0;
}

}  // namespace

std::string FolderApart(const std::string& work, uint64_t diskBytes, const char* szPrefix) {
    const char* dir = "/dev/shm";
    struct stat w {};
    struct stat a {};
    struct statvfs v {};
    if (::stat(work.c_str(), &w) != 0 || ::stat(dir, &a) != 0 || w.st_dev == a.st_dev ||
        ::statvfs(dir, &v) != 0) {
        return "";
    }
    const uint64_t need = 2 * diskBytes + (1ull << 30);  // both disks full, and a margin
    if (uint64_t(v.f_bavail) * v.f_frsize < need || MemAvailable() < need) return "";
    std::string tmpl = std::string(dir) + "/" + szPrefix + ".XXXXXX";
    return ::mkdtemp(&tmpl[0]) ? tmpl : "";
}

bool WriteDataFile(const std::string& path, uint64_t bytes, uint64_t every, std::string& err) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::ftruncate(fd, off_t(bytes)) != 0) {
        err = "cannot create " + path;
        return false;
    }
    std::vector<char> buf(1u << 20);
    uint64_t x = 0x9e3779b97f4a7c15ull ^ bytes;
    for (uint64_t off = 0; off < bytes; off += every) {
        Fill(buf, x);
        if (::pwrite(fd, buf.data(), buf.size(), off_t(off)) != ssize_t(buf.size())) {
            err = "cannot write " + path;
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    return true;
}

CBenchSim::~CBenchSim() {
    m_sim.Stop();
    if (!m_strWork.empty()) FXPath::RemoveAll(m_strWork);
    if (!m_strApart.empty()) FXPath::RemoveAll(m_strApart);
}

bool CBenchSim::Prepare(std::string& err) {
    std::filesystem::create_directories(m_options.strWork);
    std::string tmpl = m_options.strWork + "/run.XXXXXX";
    if (!::mkdtemp(&tmpl[0])) {
        err = "cannot create a folder in " + m_options.strWork;
        return false;
    }
    m_strWork = tmpl;
    if (m_options.bStateApart)
        m_strApart = FolderApart(m_strWork, m_options.ullDiskBytes, "fcbench-state");
    std::printf("simulator state in %s\n", StateDir().c_str());
    fcsim::SSimOptions seed;
    seed.strStateDir = StateDir();
    if (!m_sim.Start(seed, err)) return false;
    m_sim.Stop();
    const std::string inventory = seed.strStateDir + "/inventory.json";
    nlohmann::json j;
    try {
        std::ifstream(inventory) >> j;
        for (const char* id : {"20", "21"})
            j.at("volumes").at(id)["capacity"] = m_options.ullDiskBytes;
    } catch (const std::exception& e) {
        err = std::string("the seeded inventory is not as expected: ") + e.what();
        return false;
    }
    std::ofstream(inventory) << j.dump();
    return WriteDataFile(seed.strStateDir + "/disks/20.img", m_options.ullDiskBytes, 1u << 20,
                         err) &&
           WriteDataFile(seed.strStateDir + "/disks/21.img", m_options.ullDiskBytes, 20u << 20,
                         err);
}

bool CBenchSim::Start(int nVersion, std::string& err) {
    if (m_strWork.empty() && !Prepare(err)) return false;
    fcsim::SSimOptions options;
    options.strStateDir = StateDir();
    options.bSeed = false;
    options.settings.nVersion = nVersion;
    options.settings.llLeaseSecs = 3600;
    ::setenv("FC_BRIDGE_TASK_POLL_MS", "20", 0);
    return m_sim.Start(options, err);
}

bool CBenchSim::ExposeLuns(std::string& err) {
    // The run folder holds the simulator's state, so its disks lie on the storage presented.
    const std::string& dir = m_strWork;
    ::setenv("FC_SAN_DEVICE_DIR", dir.c_str(), 1);
    return fcsim::ExposeSanLuns(dir, {"6888603000000001", "6888603000000002"}, err);
}

bool CBenchSim::Connect(std::unique_ptr<fcagent::CPluginHost>& pOut, std::string& err) {
    const fcagent::SConnection conn{m_sim.Url(), m_sim.User(), m_sim.Password(), m_sim.CAFile(),
                                    false};
    return fcagent::CPluginHost::Load(fcagent::CPluginHost::DefaultLibrary(), conn, pOut, err) &&
           pOut->Connect(conn, err);
}

std::string CBenchSim::DiskFile(const std::string& strUrn) {
    return m_sim.State().DiskPath(strUrn.substr(strUrn.rfind(':') + 1));
}

bool ServeSimulator(const SPathsOptions& options, std::string& err) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before the simulator's threads start
    SPathsOptions apart = options;
    apart.bStateApart = true;
    CBenchSim sim(apart);
    if (!sim.Start(63, err)) return false;
    std::printf("url %s\nuser %s\npassword %s\nca-file %s\n", sim.Sim().Url().c_str(),
                sim.Sim().User().c_str(), sim.Sim().Password().c_str(), sim.Sim().CAFile().c_str());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    return true;
}

}  // namespace fcbench
