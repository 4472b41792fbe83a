// A temporary folder for one test, removed with everything in it when the test ends.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "WzUtil.h"

class CTempDir {
public:
    CTempDir() {
        char pattern[] = "/tmp/fcfw-test-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        m_strPath = made ? made : "";
    }
    ~CTempDir() {
        if (!m_strPath.empty()) FXPath::RemoveAll(m_strPath);
    }
    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& name) const { return CWzPath::Append(m_strPath, name); }
    // Writes a file below the folder and returns its path.
    std::string Put(const std::string& name, const std::string& content) const {
        std::string path = File(name);
        FXPath::CreateDirectories(CWzPath::GetDirectory(path));
        EXPECT_TRUE(WriteWholeFile(path, content)) << path;
        return path;
    }

private:
    std::string m_strPath;
};

// Sets or unsets an environment variable for one scope.
class CScopedEnv {
public:
    CScopedEnv(const char* name, const char* value) : m_strName(name) {
        const char* old = ::getenv(name);
        m_bHad = old != nullptr;
        if (old) m_strOld = old;
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~CScopedEnv() {
        if (m_bHad) {
            ::setenv(m_strName.c_str(), m_strOld.c_str(), 1);
        } else {
            ::unsetenv(m_strName.c_str());
        }
    }

private:
    std::string m_strName;
    std::string m_strOld;
    bool m_bHad = false;
};
