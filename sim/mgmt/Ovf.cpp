#include "Ovf.h"

#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>

namespace fcsim {

namespace {

using json = nlohmann::json;

constexpr size_t kMaxOvfBytes = 4u << 20;
constexpr int kMaxDepth = 32;

std::string Esc(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string Str(const json& o, const char* key) {
    return o.contains(key) && o[key].is_string() ? o[key].get<std::string>() : "";
}

std::string Num(const json& o, const char* key) {
    return o.contains(key) && o[key].is_number() ? o[key].dump() : "0";
}

std::string Bool(const json& o, const char* key) {
    return o.contains(key) && o[key].is_boolean() && o[key].get<bool>() ? "true" : "false";
}

// ---- a small XML reader ------------------------------------------------------------------

struct SNode {
    std::string strName;                          // local name, prefix dropped
    std::map<std::string, std::string> mapAttrs;  // local names
    std::string strText;
    std::vector<std::unique_ptr<SNode>> vecKids;
    const SNode* Kid(const std::string& name) const {
        for (auto& k : vecKids) {
            if (k->strName == name) return k.get();
        }
        return nullptr;
    }
    std::string KidText(const std::string& name) const {
        const SNode* k = Kid(name);
        return k ? k->strText : "";
    }
    std::string Attr(const std::string& name) const {
        auto it = mapAttrs.find(name);
        return it == mapAttrs.end() ? "" : it->second;
    }
};

class CXmlReader {
public:
    explicit CXmlReader(const std::string& s) : m_s(s) {}

    bool Parse(std::unique_ptr<SNode>& root, std::string& err) {
        SkipProlog();
        if (!Element(root, 0)) {
            err = m_err.empty() ? "malformed XML" : m_err;
            return false;
        }
        return true;
    }

private:
    const std::string& m_s;
    size_t m_p = 0;
    std::string m_err;

    bool Fail(const std::string& e) {
        if (m_err.empty()) m_err = e + " at byte " + std::to_string(m_p);
        return false;
    }
    static std::string Local(const std::string& n) {
        size_t c = n.find(':');
        return c == std::string::npos ? n : n.substr(c + 1);
    }
    void SkipSpace() {
        while (m_p < m_s.size() && std::isspace(static_cast<unsigned char>(m_s[m_p]))) ++m_p;
    }
    bool Skip(const char* open, const char* close) {
        if (m_s.compare(m_p, std::strlen(open), open) != 0) return false;
        size_t e = m_s.find(close, m_p);
        m_p = e == std::string::npos ? m_s.size() : e + std::strlen(close);
        return true;
    }
    void SkipProlog() {
        for (;;) {
            SkipSpace();
            if (!Skip("<?", "?>") && !Skip("<!--", "-->") && !Skip("<!", ">")) return;
        }
    }
    std::string Name() {
        size_t b = m_p;
        while (m_p < m_s.size() &&
               (std::isalnum(static_cast<unsigned char>(m_s[m_p])) || m_s[m_p] == ':' ||
                m_s[m_p] == '_' || m_s[m_p] == '-' || m_s[m_p] == '.')) {
            ++m_p;
        }
        return m_s.substr(b, m_p - b);
    }
    bool Decode(const std::string& raw, std::string& out) {
        out.clear();
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '&') {
                out.push_back(raw[i]);
                continue;
            }
            size_t semi = raw.find(';', i);
            if (semi == std::string::npos || semi - i > 10) return Fail("bad entity");
            std::string ent = raw.substr(i + 1, semi - i - 1);
            if (ent == "lt")
                out.push_back('<');
            else if (ent == "gt")
                out.push_back('>');
            else if (ent == "amp")
                out.push_back('&');
            else if (ent == "quot")
                out.push_back('"');
            else if (ent == "apos")
                out.push_back('\'');
            else if (!ent.empty() && ent[0] == '#') {
                unsigned long v = 0;
                try {
                    v = ent.size() > 1 && ent[1] == 'x' ? std::stoul(ent.substr(2), nullptr, 16)
                                                        : std::stoul(ent.substr(1));
                } catch (const std::exception&) {
                    return Fail("bad character reference");
                }
                if (v == 0 || v > 0x7f) return Fail("unsupported character reference");
                out.push_back(static_cast<char>(v));
            } else {
                return Fail("unknown entity");
            }
            i = semi;
        }
        return true;
    }
    bool Element(std::unique_ptr<SNode>& node, int depth) {
        if (depth > kMaxDepth) return Fail("elements nested too deeply");
        if (m_p >= m_s.size() || m_s[m_p] != '<') return Fail("element expected");
        ++m_p;
        std::string qname = Name();
        if (qname.empty()) return Fail("element name expected");
        node = std::make_unique<SNode>();
        node->strName = Local(qname);
        for (;;) {
            SkipSpace();
            if (m_p >= m_s.size()) return Fail("unterminated tag");
            if (m_s.compare(m_p, 2, "/>") == 0) {
                m_p += 2;
                return true;
            }
            if (m_s[m_p] == '>') {
                ++m_p;
                break;
            }
            std::string an = Name();
            SkipSpace();
            if (an.empty() || m_p >= m_s.size() || m_s[m_p] != '=') return Fail("bad attribute");
            ++m_p;
            SkipSpace();
            if (m_p >= m_s.size() || (m_s[m_p] != '"' && m_s[m_p] != '\'')) {
                return Fail("attribute value expected");
            }
            char q = m_s[m_p++];
            size_t e = m_s.find(q, m_p);
            if (e == std::string::npos) return Fail("unterminated attribute");
            std::string v;
            if (!Decode(m_s.substr(m_p, e - m_p), v)) return false;
            node->mapAttrs[Local(an)] = v;
            m_p = e + 1;
        }
        std::string text;
        for (;;) {
            if (m_p >= m_s.size()) return Fail("unterminated element " + qname);
            if (Skip("<!--", "-->")) continue;
            if (m_s.compare(m_p, 9, "<![CDATA[") == 0) {
                size_t e = m_s.find("]]>", m_p);
                if (e == std::string::npos) return Fail("unterminated CDATA");
                text += m_s.substr(m_p + 9, e - m_p - 9);
                m_p = e + 3;
                continue;
            }
            if (m_s.compare(m_p, 2, "</") == 0) {
                m_p += 2;
                std::string close = Name();
                SkipSpace();
                if (close != qname || m_p >= m_s.size() || m_s[m_p] != '>') {
                    return Fail("mismatched end tag");
                }
                ++m_p;
                std::string decoded;
                if (!Decode(text, decoded)) return false;
                size_t b = decoded.find_first_not_of(" \t\r\n");
                size_t e = decoded.find_last_not_of(" \t\r\n");
                node->strText = b == std::string::npos ? "" : decoded.substr(b, e - b + 1);
                return true;
            }
            if (m_s[m_p] == '<') {
                std::unique_ptr<SNode> kid;
                if (!Element(kid, depth + 1)) return false;
                node->vecKids.push_back(std::move(kid));
                continue;
            }
            size_t lt = m_s.find('<', m_p);
            if (lt == std::string::npos) lt = m_s.size();
            text += m_s.substr(m_p, lt - m_p);
            m_p = lt;
        }
    }
};

bool ToInt(const std::string& s, int64_t& out) {
    if (s.empty() || s.size() > 19) return false;
    size_t i = s[0] == '-' ? 1 : 0;
    if (i == s.size() || s.find_first_not_of("0123456789", i) != std::string::npos) return false;
    out = std::stoll(s);
    return true;
}

}  // namespace

std::string BuildOvf(const json& vm) {
    std::ostringstream o;
    const json& cfg = vm["vmConfig"];
    const json disks = cfg.contains("disks") ? cfg["disks"] : json::array();
    const json nics = cfg.contains("nics") ? cfg["nics"] : json::array();
    o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<Envelope xmlns=\"http://schemas.dmtf.org/ovf/envelope/1\""
      << " xmlns:ovf=\"http://schemas.dmtf.org/ovf/envelope/1\""
      << " xmlns:rasd=\"http://schemas.dmtf.org/wbem/wscim/1/cim-schema/2/"
         "CIM_ResourceAllocationSettingData\""
      << " xmlns:fc=\"urn:fcbackup:ovf\">\n  <References>\n";
    for (const json& d : disks) {
        std::string seq = Num(d, "sequenceNum");
        o << "    <File ovf:id=\"file" << seq << "\" ovf:href=\"" << Esc(Str(d, "volumeUuid"))
          << "\" ovf:size=\"" << Num(d, "capacityBytes") << "\"/>\n";
    }
    o << "  </References>\n  <DiskSection>\n    <Info>Virtual disks</Info>\n";
    for (const json& d : disks) {
        std::string seq = Num(d, "sequenceNum");
        o << "    <Disk ovf:diskId=\"vmdisk" << seq << "\" ovf:fileRef=\"file" << seq
          << "\" ovf:capacity=\"" << Num(d, "capacityBytes")
          << "\" ovf:capacityAllocationUnits=\"byte\" fc:sequenceNum=\"" << seq
          << "\" fc:pciType=\"" << Esc(Str(d, "pciType")) << "\" fc:isThin=\"" << Bool(d, "isThin")
          << "\" fc:volType=\"" << Num(d, "volType") << "\" fc:datastoreUrn=\""
          << Esc(Str(d, "datastoreUrn")) << "\" fc:diskName=\"" << Esc(Str(d, "diskName"))
          << "\"/>\n";
    }
    const json os = vm.value("osOptions", json::object());
    const std::string name = Esc(Str(vm, "name"));
    o << "  </DiskSection>\n  <VirtualSystem ovf:id=\"" << name << "\">\n"
      << "    <Info>A virtual machine</Info>\n    <Name>" << name << "</Name>\n"
      << "    <OperatingSystemSection ovf:id=\"0\" fc:osType=\"" << Esc(Str(os, "osType"))
      << "\" fc:osVersion=\"" << Num(os, "osVersion")
      << "\">\n      <Info>Guest operating system</Info>\n    </OperatingSystemSection>\n"
      << "    <VirtualHardwareSection>\n      <Info>Virtual hardware</Info>\n";
    int inst = 1;
    o << "      <Item>\n        <rasd:ElementName>virtual CPUs</rasd:ElementName>\n"
      << "        <rasd:InstanceID>" << inst++ << "</rasd:InstanceID>\n"
      << "        <rasd:ResourceType>3</rasd:ResourceType>\n        <rasd:VirtualQuantity>"
      << Num(cfg["cpu"], "quantity") << "</rasd:VirtualQuantity>\n      </Item>\n";
    o << "      <Item>\n        <rasd:AllocationUnits>byte * 2^20</rasd:AllocationUnits>\n"
      << "        <rasd:ElementName>memory</rasd:ElementName>\n"
      << "        <rasd:InstanceID>" << inst++ << "</rasd:InstanceID>\n"
      << "        <rasd:ResourceType>4</rasd:ResourceType>\n        <rasd:VirtualQuantity>"
      << Num(cfg["memory"], "quantityMB") << "</rasd:VirtualQuantity>\n      </Item>\n";
    for (const json& d : disks) {
        std::string seq = Num(d, "sequenceNum");
        o << "      <Item>\n        <rasd:AddressOnParent>" << seq << "</rasd:AddressOnParent>\n"
          << "        <rasd:ElementName>" << Esc(Str(d, "diskName")) << "</rasd:ElementName>\n"
          << "        <rasd:HostResource>ovf:/disk/vmdisk" << seq << "</rasd:HostResource>\n"
          << "        <rasd:InstanceID>" << inst++ << "</rasd:InstanceID>\n"
          << "        <rasd:ResourceType>17</rasd:ResourceType>\n      </Item>\n";
    }
    for (const json& n : nics) {
        o << "      <Item>\n        <rasd:Address>" << Esc(Str(n, "mac")) << "</rasd:Address>\n"
          << "        <rasd:AddressOnParent>" << Num(n, "sequenceNum")
          << "</rasd:AddressOnParent>\n        <rasd:Connection>" << Esc(Str(n, "portGroupUrn"))
          << "</rasd:Connection>\n        <rasd:ElementName>" << Esc(Str(n, "name"))
          << "</rasd:ElementName>\n        <rasd:InstanceID>" << inst++
          << "</rasd:InstanceID>\n        <rasd:ResourceType>10</rasd:ResourceType>\n"
          << "      </Item>\n";
    }
    o << "    </VirtualHardwareSection>\n  </VirtualSystem>\n</Envelope>\n";
    return o.str();
}

bool ParseOvf(const std::string& text, SOvfVm& out, std::string& err) {
    if (text.size() > kMaxOvfBytes) {
        err = "the descriptor is too large";
        return false;
    }
    std::unique_ptr<SNode> root;
    CXmlReader reader(text);
    if (!reader.Parse(root, err)) return false;
    if (root->strName != "Envelope") {
        err = "not an OVF envelope";
        return false;
    }
    SOvfVm vm;
    std::map<std::string, std::string> files;  // file id -> href
    if (const SNode* refs = root->Kid("References")) {
        for (auto& f : refs->vecKids) {
            if (f->strName == "File") files[f->Attr("id")] = f->Attr("href");
        }
    }
    std::map<std::string, size_t> diskIndex;
    if (const SNode* ds = root->Kid("DiskSection")) {
        for (auto& k : ds->vecKids) {
            if (k->strName != "Disk") continue;
            SOvfDisk d;
            d.strDiskID = k->Attr("diskId");
            auto f = files.find(k->Attr("fileRef"));
            if (d.strDiskID.empty() || f == files.end()) {
                err = "a disk without an id or a file";
                return false;
            }
            d.strHref = f->second;
            int64_t n = 0;
            if (ToInt(k->Attr("capacity"), n) && n > 0) d.ullCapacity = static_cast<uint64_t>(n);
            if (ToInt(k->Attr("sequenceNum"), n)) d.nSequenceNum = static_cast<int>(n);
            if (!k->Attr("pciType").empty()) d.strPciType = k->Attr("pciType");
            diskIndex[d.strDiskID] = vm.vecDisks.size();
            vm.vecDisks.push_back(d);
        }
    }
    const SNode* sys = root->Kid("VirtualSystem");
    if (!sys) {
        err = "no VirtualSystem";
        return false;
    }
    vm.strName = sys->KidText("Name");
    if (vm.strName.empty()) vm.strName = sys->Attr("id");
    if (const SNode* os = sys->Kid("OperatingSystemSection")) {
        if (!os->Attr("osType").empty()) vm.strOsType = os->Attr("osType");
        ToInt(os->Attr("osVersion"), vm.llOsVersion);
    }
    if (const SNode* hw = sys->Kid("VirtualHardwareSection")) {
        for (auto& item : hw->vecKids) {
            if (item->strName != "Item") continue;
            std::string type = item->KidText("ResourceType");
            int64_t n = 0;
            if (type == "3" && ToInt(item->KidText("VirtualQuantity"), n) && n > 0) vm.llCpu = n;
            if (type == "4" && ToInt(item->KidText("VirtualQuantity"), n) && n > 0) {
                vm.llMemMB = n;
            }
            if (type == "17") {
                std::string res = item->KidText("HostResource");
                const std::string prefix = "ovf:/disk/";
                std::string id =
                    res.compare(0, prefix.size(), prefix) == 0 ? res.substr(prefix.size()) : res;
                auto it = diskIndex.find(id);
                if (it != diskIndex.end() && ToInt(item->KidText("AddressOnParent"), n)) {
                    vm.vecDisks[it->second].nSequenceNum = static_cast<int>(n);
                }
            }
            if (type == "10") {
                SOvfNic nic;
                nic.strName = item->KidText("ElementName");
                nic.strMac = item->KidText("Address");
                nic.strConnection = item->KidText("Connection");
                if (ToInt(item->KidText("AddressOnParent"), n)) {
                    nic.nSequenceNum = static_cast<int>(n);
                }
                vm.vecNics.push_back(nic);
            }
        }
    }
    out = vm;
    return true;
}

}  // namespace fcsim
