// A temporary folder removed with everything below it, environment scopes and file readers.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace fctestdetail {
// Death-test children end with std::exit, which skips the destructors of the folders they (and
// main) created; the folders still alive at exit are removed by an exit handler instead.
inline std::mutex& LiveDirsLock() {
    static std::mutex lock;
    return lock;
}
inline std::set<std::string>& LiveDirs() {
    static std::set<std::string>* dirs = new std::set<std::string>();
    return *dirs;
}
inline void RemoveLiveDirs() {
    std::lock_guard<std::mutex> guard(LiveDirsLock());
    for (const std::string& dir : LiveDirs()) {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    LiveDirs().clear();
}
}  // namespace fctestdetail

class CTempDir {
public:
    CTempDir() {
        static const int registered = std::atexit(fctestdetail::RemoveLiveDirs);
        (void)registered;
        std::string pattern = (std::filesystem::temp_directory_path() / "fc-test-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
        m_strPath = pattern;
        std::lock_guard<std::mutex> guard(fctestdetail::LiveDirsLock());
        fctestdetail::LiveDirs().insert(m_strPath);
    }
    ~CTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_strPath, ec);
        std::lock_guard<std::mutex> guard(fctestdetail::LiveDirsLock());
        fctestdetail::LiveDirs().erase(m_strPath);
    }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& name) const { return m_strPath + "/" + name; }
    // Writes a file below the folder, creating the folders on its way, and returns its path.
    std::string Write(const std::string& name, const std::string& content) const {
        std::filesystem::path path = File(name);
        std::error_code ec;
        std::filesystem::create_directories(path.parent_path(), ec);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out) throw std::runtime_error("cannot write " + path.string());
        return path.string();
    }
    void Touch(const std::string& name, const std::string& content = "x") const {
        Write(name, content);
    }

private:
    std::string m_strPath;
};

namespace fctest {
// The whole content of a file; empty when it cannot be read.
inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}
// Up to length bytes of a file or device from offset; empty when it cannot be read.
inline std::string ReadFileAt(const std::string& path, uint64_t offset, size_t length) {
    std::string out(length, '\0');
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string();
    const ssize_t n = ::pread(fd, &out[0], length, static_cast<off_t>(offset));
    ::close(fd);
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}
}  // namespace fctest

// Sets an environment variable for a scope, or unsets it for a null value, restoring the old one.
class CScopedEnv {
public:
    CScopedEnv(const char* name, const char* value) : m_strName(name) {
        const char* old = std::getenv(name);
        m_bHad = old != nullptr;
        if (old) m_strOld = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    CScopedEnv(const char* name, const std::string& value) : CScopedEnv(name, value.c_str()) {}
    ~CScopedEnv() {
        if (m_bHad)
            setenv(m_strName.c_str(), m_strOld.c_str(), 1);
        else
            unsetenv(m_strName.c_str());
    }
    CScopedEnv(const CScopedEnv&) = delete;
    CScopedEnv& operator=(const CScopedEnv&) = delete;

private:
    std::string m_strName, m_strOld;
    bool m_bHad = false;
};

// Environment variables set one after another, a name perhaps more than once, and restored in
// the reverse order so that each ends with the value it had before the first Set.
class CScopedEnvs {
public:
    CScopedEnvs() = default;
    CScopedEnvs(const CScopedEnvs&) = delete;
    CScopedEnvs& operator=(const CScopedEnvs&) = delete;
    ~CScopedEnvs() { Restore(); }
    void Set(const char* name, const std::string& value) {
        m_scopes.push_back(std::make_unique<CScopedEnv>(name, value));
    }
    void Restore() {
        while (!m_scopes.empty()) m_scopes.pop_back();
    }

private:
    std::vector<std::unique_ptr<CScopedEnv>> m_scopes;
};
