// CNA fault rules as text, and the SAN device folder of the simulator.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "CnaServer.h"

namespace fcsim {

namespace {

const SNamedValue<ECnaOp> kOps[] = {{"any", ECnaOp::Any},     {"open", ECnaOp::Open},
                                    {"close", ECnaOp::Close}, {"read", ECnaOp::Read},
                                    {"write", ECnaOp::Write}, {"writezero", ECnaOp::WriteZero}};
const SNamedValue<ECnaFaultAction> kActions[] = {{"drop", ECnaFaultAction::DropConnection},
                                                 {"stall", ECnaFaultAction::Stall},
                                                 {"wrongseq", ECnaFaultAction::WrongSequence},
                                                 {"short", ECnaFaultAction::ShortLength},
                                                 {"error", ECnaFaultAction::ErrorStatus}};

}  // namespace

const char* CnaOpName(ECnaOp op) {
    return NameOfValue(kOps, op);
}

bool ParseCnaFaultRule(const std::string& text, SCnaFaultRule& out, std::string& error) {
    CKeyValues items;
    if (!CKeyValues::FromRule(text, items, error)) return false;
    SCnaFaultRule rule;
    uint64_t status = rule.nStatus, stall = rule.nStallMs;
    if (!TakeName(items, "op", kOps, rule.eOp, error) ||
        !TakeName(items, "action", kActions, rule.eAction, error) ||
        !TakeFaultWindow(items, rule.window, error) ||
        !items.TakeNumber("from", UINT64_MAX, rule.ullFrom, error) ||
        !items.TakeNumber("to", UINT64_MAX, rule.ullTo, error) ||
        !items.TakeNumber("status", UINT16_MAX, status, error) ||
        !items.TakeNumber("stall_ms", UINT32_MAX, stall, error) || !items.RefuseRest(error)) {
        return false;
    }
    rule.nStatus = static_cast<uint16_t>(status);
    rule.nStallMs = static_cast<uint32_t>(stall);
    if (rule.ullTo != 0 && rule.ullTo <= rule.ullFrom) {
        error = "empty byte range";
        return false;
    }
    out = rule;
    return true;
}

std::string FormatCnaFaultRule(const SCnaFaultRule& r) {
    CKeyValues items;
    items.Set("op", NameOfValue(kOps, r.eOp));
    PutFaultWindow(r.window, r.window.nSeen != 0, items);
    items.SetNumber("from", r.ullFrom);
    items.SetNumber("to", r.ullTo);
    items.Set("action", NameOfValue(kActions, r.eAction));
    items.SetNumber("status", r.nStatus);
    items.SetNumber("stall_ms", r.nStallMs);
    return items.ToRule();
}

bool ExposeSanLuns(const std::string& deviceDir, const std::vector<std::string>& luns,
                   std::string& error) {
    if (deviceDir.empty()) {
        error = "no device folder";
        return false;
    }
    if (mkdir(deviceDir.c_str(), 0755) != 0 && errno != EEXIST) {
        error = "cannot create [" + deviceDir + "]: " + std::strerror(errno);
        return false;
    }
    for (const std::string& lun : luns) {
        if (lun.empty() || lun == "." || lun == ".." || lun.find('/') != std::string::npos ||
            lun.find('\0') != std::string::npos) {
            error = "LUN identifier [" + lun + "] is not a plain name";
            return false;
        }
        std::ofstream entry(deviceDir + "/" + lun, std::ios::app);
        if (!entry) {
            error = "cannot create [" + deviceDir + "/" + lun + "]";
            return false;
        }
    }
    return true;
}

}  // namespace fcsim
