// Fault rules of the management service: a rule matches an operation name or a URI glob, the
// shared window (FaultWindow.h) says which matching calls it fires on, and it replaces the
// normal answer with an error, a failed task, a delay or a body that is not JSON. Thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "FaultWindow.h"

namespace fcsim {

enum class EFaultAction { Error, TaskFail, Delay, BadJson, Drop };

struct SFaultRule {
    int nID = 0;
    std::string strOp;      // operation name (docs/management-api.md, section 9), or empty
    std::string strPath;    // glob on the URI path: '*' within a segment, '**' across
    std::string strMethod;  // with strPath: GET, POST, ... or empty for any
    SFaultWindow window;    // which matching calls it fires on, and its counts so far
    EFaultAction eAction = EFaultAction::Error;
    int nHttpStatus = 400;
    std::string strErrorCode = "10000010";
    std::string strErrorDes = "Injected failure.";
    uint32_t nDelayMs = 0;
};

class CFaultTable {
public:
    int Add(SFaultRule rule);  // returns the rule's id
    bool Remove(int id);
    void Clear();
    std::vector<SFaultRule> List() const;
    // Counts the call against every matching rule; true with the rule that fires.
    bool Match(const std::string& op, const std::string& method, const std::string& path,
               SFaultRule& out);

    static bool GlobMatch(const std::string& pattern, const std::string& text);
    static bool ParseAction(const std::string& text, EFaultAction& out);
    static const char* ActionName(EFaultAction action);

    // Ready-made rules for the usual cases.
    static SFaultRule SnapshotRetryable(uint32_t times = 1);
    static SFaultRule SnapshotFatal(uint32_t times = 1);
    static SFaultRule LeaseRefused(uint32_t times = 1);

private:
    mutable std::mutex m_lock;
    std::vector<SFaultRule> m_vecRules;
    int m_nNextID = 1;
};

}  // namespace fcsim
