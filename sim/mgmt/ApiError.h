// An answer other than 200: the platform's error body (docs/management-api.md 1.1). Handlers
// and the inventory throw it; the dispatcher turns it into the answer.
#pragma once

#include <stdexcept>
#include <string>

namespace fcsim {

class CApiError : public std::runtime_error {
public:
    CApiError(int http, std::string code, const std::string& des)
        : std::runtime_error(des), m_nHttp(http), m_strCode(std::move(code)) {}
    int Http() const { return m_nHttp; }
    const std::string& Code() const { return m_strCode; }

private:
    int m_nHttp;
    std::string m_strCode;
};

[[noreturn]] inline void Fail(const std::string& code, const std::string& des, int http = 400) {
    throw CApiError(http, code, des);
}

}  // namespace fcsim
