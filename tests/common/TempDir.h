// A temporary folder removed with everything below it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class CTempDir {
public:
    CTempDir() {
        char tmpl[] = "/tmp/fc-test-XXXXXX";
        m_strPath = mkdtemp(tmpl);
    }
    ~CTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_strPath, ec);
    }
    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& name) const { return m_strPath + "/" + name; }
    void Touch(const std::string& name, const std::string& content = "x") const {
        std::ofstream(File(name)) << content;
    }

private:
    std::string m_strPath;
};

// Sets an environment variable for a scope, restoring the old value.
class CScopedEnv {
public:
    CScopedEnv(const char* name, const std::string& value) : m_strName(name) {
        const char* old = std::getenv(name);
        m_bHad = old != nullptr;
        if (old) m_strOld = old;
        setenv(name, value.c_str(), 1);
    }
    ~CScopedEnv() {
        if (m_bHad)
            setenv(m_strName.c_str(), m_strOld.c_str(), 1);
        else
            unsetenv(m_strName.c_str());
    }

private:
    std::string m_strName, m_strOld;
    bool m_bHad = false;
};
