#include "FsFaults.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

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

// The rule file: its lines as they are, and the rules among them.
struct SRuleFile {
    std::vector<std::string> vecLines;
    std::vector<int> vecRuleOfLine;  // index into vecRules, or -1 for a comment or a bad line
    std::vector<SFsFault> vecRules;

    explicit SRuleFile(const std::string& text) {
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string::npos) end = text.size();
            vecLines.push_back(text.substr(pos, end - pos));
            pos = end + 1;
            const std::string& line = vecLines.back();
            size_t first = line.find_first_not_of(" \t");
            SFsFault f;
            std::string error;
            bool bRule = first != std::string::npos && line[first] != '#' &&
                         CFsFaults::ParseRule(line, f, error);
            vecRuleOfLine.push_back(bRule ? static_cast<int>(vecRules.size()) : -1);
            if (bRule) vecRules.push_back(f);
        }
    }

    std::string Text() const {
        std::string out;
        for (size_t i = 0; i < vecLines.size(); ++i) {
            int rule = vecRuleOfLine[i];
            out += (rule < 0 ? vecLines[i] : CFsFaults::FormatRule(vecRules[rule])) + "\n";
        }
        return out;
    }
};

}  // namespace

CFsFaults::CFsFaults(std::string stateRoot) : m_strRoot(std::move(stateRoot)) {
    CSimState state(m_strRoot);  // makes sure faults/ exists
    m_strPath = state.Root() + "/faults/fstools";
}

bool CFsFaults::ParseRule(const std::string& line, SFsFault& out, std::string& error) {
    CKeyValues items;
    if (!CKeyValues::FromRule(line, items, error)) return false;
    SFsFault f;
    if (!items.Take("op", f.strOperation) || f.strOperation.empty()) {
        error = "a rule needs op=";
        return false;
    }
    if (!items.Take("action", f.strAction)) {
        error = "a rule needs action=";
        return false;
    }
    uint64_t value = 0;
    const char* valueKey = f.strAction == "exit" ? "status" : "queries";
    if (f.strAction == "exit" || f.strAction == "notready") {
        if (!items.Has(valueKey)) {
            error = "action=" + f.strAction + " needs " + valueKey + "=";
            return false;
        }
        if (!items.TakeNumber(valueKey, f.strAction == "exit" ? 255 : INT_MAX, value, error))
            return false;
        f.nValue = static_cast<int>(value);
    } else if (f.strAction == "fail") {
        items.Take("ret_code", f.strRetCode);
        items.Take("ret_desc", f.strRetDesc);
    } else if (f.strAction != "empty" && f.strAction != "garbage") {
        error = "unknown action [" + f.strAction + "]";
        return false;
    }
    if (!TakeFaultWindow(items, f.window, error) || !items.RefuseRest(error)) return false;
    out = f;
    return true;
}

std::string CFsFaults::FormatRule(const SFsFault& f) {
    CKeyValues items;
    items.Set("op", f.strOperation);
    items.Set("action", f.strAction);
    if (f.strAction == "exit") items.SetNumber("status", static_cast<uint64_t>(f.nValue));
    if (f.strAction == "notready") items.SetNumber("queries", static_cast<uint64_t>(f.nValue));
    if (f.strAction == "fail") {
        items.Set("ret_code", f.strRetCode);
        items.Set("ret_desc", f.strRetDesc);
    }
    PutFaultWindow(f.window, true, items);
    return items.ToRule();
}

bool CFsFaults::Take(const std::string& operation, SFsFault& fault) {
    CRuleLock lock(m_strPath);
    std::string text;
    if (!CSimState::ReadFile(m_strPath, text)) return false;
    SRuleFile file(text);
    bool counted = false;
    SFsFault* fired = FireFirst(file.vecRules, [&](const SFsFault& rule) {
        bool match = rule.strOperation == operation;
        counted = counted || match;
        return match;
    });
    if (counted) CSimState::WriteFileAtomic(m_strPath, file.Text());
    if (fired == nullptr) return false;
    fault = *fired;
    return true;
}

bool CFsFaults::Add(const std::string& ruleLine) {
    SFsFault f;
    std::string error;
    if (!ParseRule(ruleLine, f, error)) return false;
    CRuleLock lock(m_strPath);
    std::string text;
    CSimState::ReadFile(m_strPath, text);
    if (!text.empty() && text.back() != '\n') text += "\n";
    return CSimState::WriteFileAtomic(m_strPath, text + FormatRule(f) + "\n");
}

bool CFsFaults::Clear() {
    CRuleLock lock(m_strPath);
    return ::unlink(m_strPath.c_str()) == 0 || errno == ENOENT;
}

std::vector<SFsFault> CFsFaults::List() const {
    CRuleLock lock(m_strPath);
    std::string text;
    if (!CSimState::ReadFile(m_strPath, text)) return {};
    return SRuleFile(text).vecRules;
}

}  // namespace fcsim
