// The SDK's own client of the CNA disk-file protocol (LAN transport). Each request leaves in
// one gathered write on a TCP_NODELAY socket; every wait on the peer has a time-out.
#pragma once

#include <cstdint>
#include <string>

namespace nxsdk {

class CSdkCnaClient {
public:
    static constexpr int kConnectTimeoutMs = 30000;
    static constexpr int kIoTimeoutMs = 300000;

    CSdkCnaClient() = default;
    ~CSdkCnaClient() { Disconnect(); }
    CSdkCnaClient(const CSdkCnaClient&) = delete;
    CSdkCnaClient& operator=(const CSdkCnaClient&) = delete;

    bool Connect(const std::string& host, uint16_t port);
    void Disconnect();
    bool IsConnected() const { return m_fd >= 0; }

    bool Open(const std::string& path, const std::string& token, bool writable, uint32_t& handle);
    bool Close(uint32_t handle);
    bool Read(uint32_t handle, uint64_t offset, uint32_t length, void* buffer);
    bool Write(uint32_t handle, uint64_t offset, uint32_t length, const void* buffer);

private:
    // Sends header, body and optional data in one gathered write and reads the response
    // header; false (logged) on any failure or a sequence that does not match.
    bool Exchange(uint16_t opcode, const uint8_t* body, uint32_t bodyLength, const void* data,
                  uint32_t dataLength);
    bool RecvAll(void* buffer, size_t length);
    bool Fail(const char* what);  // logs, drops the connection (its stream is lost), false

    int m_fd = -1;
    uint32_t m_nSequence = 0;
};

}  // namespace nxsdk
