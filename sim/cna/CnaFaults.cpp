// Fault rules as text, and the SAN device folder of the simulator.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "CnaServer.h"

namespace fcsim {

namespace {

struct SName {
    const char* psz;
    int n;
};
const SName kOps[] = {{"any", int(ECnaOp::Any)},     {"open", int(ECnaOp::Open)},
                      {"close", int(ECnaOp::Close)}, {"read", int(ECnaOp::Read)},
                      {"write", int(ECnaOp::Write)}, {"writezero", int(ECnaOp::WriteZero)}};
const SName kActions[] = {{"drop", int(ECnaFaultAction::DropConnection)},
                          {"stall", int(ECnaFaultAction::Stall)},
                          {"wrongseq", int(ECnaFaultAction::WrongSequence)},
                          {"short", int(ECnaFaultAction::ShortLength)},
                          {"error", int(ECnaFaultAction::ErrorStatus)}};

template <size_t N>
bool Lookup(const SName (&table)[N], const std::string& text, int& out) {
    for (const SName& n : table)
        if (text == n.psz) {
            out = n.n;
            return true;
        }
    return false;
}

template <size_t N>
const char* NameOf(const SName (&table)[N], int value) {
    for (const SName& n : table)
        if (n.n == value) return n.psz;
    return "?";
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& out) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        uint64_t d = uint64_t(c - '0');
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
    }
    if (v > max) return false;
    out = v;
    return true;
}

}  // namespace

bool ParseCnaFaultRule(const std::string& text, SCnaFaultRule& out, std::string& error) {
    SCnaFaultRule rule;
    std::istringstream in(text);
    std::string item;
    while (in >> item) {
        size_t eq = item.find('=');
        if (eq == std::string::npos) {
            error = "expected key=value, got [" + item + "]";
            return false;
        }
        std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        uint64_t n = 0;
        int named = 0;
        if (key == "op" && Lookup(kOps, value, named)) {
            rule.eOp = ECnaOp(named);
        } else if (key == "action" && Lookup(kActions, value, named)) {
            rule.eAction = ECnaFaultAction(named);
        } else if (key == "skip" && ParseNumber(value, UINT32_MAX, n)) {
            rule.nSkip = uint32_t(n);
        } else if (key == "times" && ParseNumber(value, UINT32_MAX, n)) {
            rule.nTimes = uint32_t(n);
        } else if (key == "from" && ParseNumber(value, UINT64_MAX, n)) {
            rule.ullFrom = n;
        } else if (key == "to" && ParseNumber(value, UINT64_MAX, n)) {
            rule.ullTo = n;
        } else if (key == "status" && ParseNumber(value, UINT16_MAX, n)) {
            rule.nStatus = uint16_t(n);
        } else if (key == "stall_ms" && ParseNumber(value, UINT32_MAX, n)) {
            rule.nStallMs = uint32_t(n);
        } else {
            error = "bad fault rule item [" + item + "]";
            return false;
        }
    }
    if (rule.ullTo != 0 && rule.ullTo <= rule.ullFrom) {
        error = "empty byte range";
        return false;
    }
    out = rule;
    return true;
}

std::string FormatCnaFaultRule(const SCnaFaultRule& r) {
    std::ostringstream o;
    o << "op=" << NameOf(kOps, int(r.eOp)) << " skip=" << r.nSkip << " times=" << r.nTimes
      << " from=" << r.ullFrom << " to=" << r.ullTo
      << " action=" << NameOf(kActions, int(r.eAction)) << " status=" << r.nStatus
      << " stall_ms=" << r.nStallMs;
    return o.str();
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
