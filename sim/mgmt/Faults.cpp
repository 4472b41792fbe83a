#include "Faults.h"

namespace fcsim {

int CFaultTable::Add(SFaultRule rule) {
    std::lock_guard<std::mutex> g(m_lock);
    rule.nID = m_nNextID++;
    rule.window.Restart();
    m_vecRules.push_back(rule);
    return rule.nID;
}

bool CFaultTable::Remove(int id) {
    std::lock_guard<std::mutex> g(m_lock);
    for (auto it = m_vecRules.begin(); it != m_vecRules.end(); ++it) {
        if (it->nID == id) {
            m_vecRules.erase(it);
            return true;
        }
    }
    return false;
}

void CFaultTable::Clear() {
    std::lock_guard<std::mutex> g(m_lock);
    m_vecRules.clear();
}

std::vector<SFaultRule> CFaultTable::List() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_vecRules;
}

bool CFaultTable::Match(const std::string& op, const std::string& method, const std::string& path,
                        SFaultRule& out) {
    std::lock_guard<std::mutex> g(m_lock);
    const SFaultRule* fired = FireFirst(m_vecRules, [&](const SFaultRule& r) {
        return !r.strOp.empty() ? r.strOp == op
                                : (!r.strPath.empty() && GlobMatch(r.strPath, path) &&
                                   (r.strMethod.empty() || r.strMethod == method));
    });
    if (fired == nullptr) return false;
    out = *fired;
    return true;
}

bool CFaultTable::GlobMatch(const std::string& pattern, const std::string& text) {
    // Iterative matcher with backtracking to the last star; '*' stops at '/', '**' does not.
    size_t p = 0, t = 0;
    size_t starP = std::string::npos, starT = 0;
    bool bStarCrosses = false;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            bStarCrosses = p + 1 < pattern.size() && pattern[p + 1] == '*';
            p += bStarCrosses ? 2 : 1;
            starP = p;
            starT = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (starP != std::string::npos && (bStarCrosses || text[starT] != '/')) {
            p = starP;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

namespace {
const SNamedValue<EFaultAction> kActions[] = {{"error", EFaultAction::Error},
                                              {"taskfail", EFaultAction::TaskFail},
                                              {"delay", EFaultAction::Delay},
                                              {"badjson", EFaultAction::BadJson},
                                              {"drop", EFaultAction::Drop}};
}  // namespace

bool CFaultTable::ParseAction(const std::string& text, EFaultAction& out) {
    return ValueOfName(kActions, text, out);
}

const char* CFaultTable::ActionName(EFaultAction action) {
    return NameOfValue(kActions, action);
}

SFaultRule CFaultTable::SnapshotRetryable(uint32_t times) {
    SFaultRule r;
    r.strOp = "CreateSnapshot";
    r.window.nTimes = times;
    r.strErrorCode = "10300112";
    r.strErrorDes = "A snapshot task is already running on the VM.";
    return r;
}

SFaultRule CFaultTable::SnapshotFatal(uint32_t times) {
    SFaultRule r;
    r.strOp = "CreateSnapshot";
    r.window.nTimes = times;
    r.strErrorCode = "10000010";
    r.strErrorDes = "The snapshot could not be created.";
    return r;
}

SFaultRule CFaultTable::LeaseRefused(uint32_t times) {
    SFaultRule r;
    r.strOp = "ExtendBackupResource";
    r.window.nTimes = times;
    r.strErrorCode = "10300290";
    r.strErrorDes = "The backup resource lifetime cannot be extended.";
    return r;
}

}  // namespace fcsim
