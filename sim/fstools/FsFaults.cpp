#include "FsFaults.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "SimState.h"

namespace fcsim {

namespace {

// Rules are read and rewritten under their own flock, beside the file.
class CRuleLock {
public:
    explicit CRuleLock(const std::string& path) {
        m_nFd = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        while (m_nFd >= 0 && ::flock(m_nFd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~CRuleLock() {
        if (m_nFd >= 0) ::close(m_nFd);
    }
    CRuleLock(const CRuleLock&) = delete;
    CRuleLock& operator=(const CRuleLock&) = delete;

private:
    int m_nFd = -1;
};

bool ToInt(const std::string& s, int& out) {
    if (s.empty() || s.size() > 9) return false;
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

std::string RuleText(const SFsFault& f) {
    std::string line = f.strOperation + " ";
    if (f.strAction == "exit" || f.strAction == "notready")
        line += f.strAction + "=" + std::to_string(f.nValue);
    else
        line += f.strAction;
    if (f.nTimes >= 0) line += " times=" + std::to_string(f.nTimes);
    if (f.strAction == "fail") line += " ret_code=" + f.strRetCode + " ret_desc=" + f.strRetDesc;
    return line;
}

}  // namespace

CFsFaults::CFsFaults(std::string stateRoot) : m_strRoot(std::move(stateRoot)) {
    CSimState state(m_strRoot);  // makes sure faults/ exists
    m_strPath = state.Root() + "/faults/fstools";
}

bool CFsFaults::ParseRule(const std::string& line, SFsFault& out) {
    std::istringstream in(line);
    SFsFault f;
    std::string action;
    if (!(in >> f.strOperation >> action) || f.strOperation[0] == '#') return false;
    size_t eq = action.find('=');
    f.strAction = action.substr(0, eq);
    if (f.strAction == "exit" || f.strAction == "notready") {
        if (eq == std::string::npos || !ToInt(action.substr(eq + 1), f.nValue)) return false;
    } else if (f.strAction != "fail" && f.strAction != "empty" && f.strAction != "garbage") {
        return false;
    }
    std::string word;
    while (in >> word) {
        if (word.compare(0, 6, "times=") == 0) {
            if (!ToInt(word.substr(6), f.nTimes)) return false;
        } else if (word.compare(0, 9, "ret_code=") == 0) {
            f.strRetCode = word.substr(9);
        } else if (word.compare(0, 9, "ret_desc=") == 0) {
            std::string rest;
            std::getline(in, rest);
            f.strRetDesc = word.substr(9) + rest;
            break;
        } else {
            return false;
        }
    }
    out = f;
    return true;
}

bool CFsFaults::Take(const std::string& operation, SFsFault& fault) {
    CRuleLock lock(m_strPath);
    std::string text;
    if (!CSimState::ReadFile(m_strPath, text)) return false;
    std::istringstream in(text);
    std::string line;
    std::string rewritten;
    bool found = false;
    bool changed = false;
    while (std::getline(in, line)) {
        SFsFault f;
        if (!found && ParseRule(line, f) && f.strOperation == operation && f.nTimes != 0) {
            found = true;
            fault = f;
            if (f.nTimes > 0) {
                --f.nTimes;
                changed = true;
                if (f.nTimes > 0) rewritten += RuleText(f) + "\n";
                continue;
            }
        }
        rewritten += line + "\n";
    }
    if (changed) CSimState::WriteFileAtomic(m_strPath, rewritten);
    return found;
}

bool CFsFaults::Add(const std::string& ruleLine) {
    SFsFault f;
    if (!ParseRule(ruleLine, f)) return false;
    CRuleLock lock(m_strPath);
    std::string text;
    CSimState::ReadFile(m_strPath, text);
    if (!text.empty() && text.back() != '\n') text += "\n";
    return CSimState::WriteFileAtomic(m_strPath, text + ruleLine + "\n");
}

bool CFsFaults::Clear() {
    CRuleLock lock(m_strPath);
    return ::unlink(m_strPath.c_str()) == 0 || errno == ENOENT;
}

}  // namespace fcsim
