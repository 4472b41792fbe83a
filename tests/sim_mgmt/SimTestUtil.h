// A simulator on plain HTTP with the demo inventory, and a REST client that logs in and speaks
// JSON.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "Simulator.h"

namespace simtest {

using json = nlohmann::json;

// The last part of a URN or URI: the object's identifier.
inline std::string IdOf(const std::string& urnOrUri) {
    return urnOrUri.substr(urnOrUri.find_last_of(":/") + 1);
}

// Logs in with the demo's password (sent as it is); the session token, empty when refused.
inline std::string LoginToken(httplib::Client& cli) {
    auto res = cli.Post(
        "/service/session",
        {{"X-Auth-User", "admin"}, {"X-Auth-Key", "FcSim@2024"}, {"X-ENCRIPT-ALGORITHM", "1"}}, "",
        "application/json");
    return res && res->status == 200 ? res->get_header_value("X-Auth-Token") : std::string();
}

struct SResult {
    int nStatus = 0;
    json body;  // null when the answer had no body or was not JSON
    std::string strRaw;
};

class CSimFixture : public ::testing::Test {
protected:
    void SetUp() override {
        fcsim::SSimOptions opt;
        opt.bHttps = false;
        opt.bStartCna = m_bStartCna;
        std::string err;
        ASSERT_TRUE(m_sim.Start(opt, err)) << err;
        m_pCli = std::make_unique<httplib::Client>("127.0.0.1", m_sim.Port());
        m_pCli->set_read_timeout(20, 0);
        ASSERT_TRUE(Login());
        m_strSite = "/service/sites/" + fcsim::SMgmtSettings().strSiteId;
    }
    void TearDown() override {
        fcsim::CSimState::SetNowForTest(0);
        m_pCli.reset();
        m_sim.Stop();
    }

    bool Login() {
        m_strToken = LoginToken(*m_pCli);
        return !m_strToken.empty();
    }

    SResult Call(const std::string& method, const std::string& path, const json& body = nullptr,
                 httplib::Headers extra = {}) {
        // A header of the caller's replaces the default: the service reads the first of a name.
        httplib::Headers h = std::move(extra);
        if (!h.count("Accept")) h.emplace("Accept", "application/json;version=6.3;charset=UTF-8");
        if (!m_strToken.empty()) h.emplace("X-Auth-Token", m_strToken);
        std::string text = body.is_null() ? "" : body.dump();
        httplib::Result res =
            method == "GET"    ? m_pCli->Get(path.c_str(), h)
            : method == "POST" ? m_pCli->Post(path.c_str(), h, text, "application/json")
            : method == "PUT"  ? m_pCli->Put(path.c_str(), h, text, "application/json")
                               : m_pCli->Delete(path.c_str(), h, text, "application/json");
        SResult out;
        if (!res) return out;
        out.nStatus = res->status;
        out.strRaw = res->body;
        if (!res->body.empty()) {
            out.body = json::parse(res->body, nullptr, false);
            if (out.body.is_discarded()) out.body = nullptr;
        }
        return out;
    }

    // A call that must succeed; the body.
    json Ok(const std::string& method, const std::string& path, const json& body = nullptr) {
        SResult r = Call(method, path, body);
        EXPECT_EQ(r.nStatus, 200) << method << " " << path << ": " << r.strRaw;
        return r.body;
    }

    // A call that must fail with this code; the HTTP status.
    int Err(const std::string& method, const std::string& path, const json& body,
            const std::string& code) {
        SResult r = Call(method, path, body);
        EXPECT_NE(r.nStatus, 200) << method << " " << path;
        EXPECT_TRUE(r.body.is_object()) << r.strRaw;
        if (r.body.is_object()) {
            EXPECT_EQ(r.body.value("errorCode", ""), code)
                << method << " " << path << " " << r.strRaw;
        }
        return r.nStatus;
    }

    // Polls a task to its end; the final task object.
    json WaitTask(const json& started) {
        std::string uri = started.value("taskUri", "");
        EXPECT_FALSE(uri.empty()) << started.dump();
        for (int i = 0; i < 20; ++i) {
            json t = Ok("GET", uri);
            if (t.value("status", "") != "running") return t;
        }
        ADD_FAILURE() << "task never ended";
        return nullptr;
    }

    json VmByName(const std::string& name) {
        json list = Ok("GET", m_strSite + "/vms?detail=2&name=" + name);
        for (auto& v : list["vms"]) {
            if (v["name"] == name) return v;
        }
        ADD_FAILURE() << "no VM " << name;
        return nullptr;
    }

    bool m_bStartCna = false;  // set by a fixture that needs the CNA server
    fcsim::CSimulator m_sim;
    std::unique_ptr<httplib::Client> m_pCli;
    std::string m_strToken;
    std::string m_strSite;
};

}  // namespace simtest
