#include "WritePipe.h"

namespace fcagent {

CWritePipe::CWritePipe(CDiskWriter& writer, size_t nBufferBytes, size_t nBuffers)
    : m_writer(writer), m_buffers(nBuffers, std::vector<unsigned char>(nBufferBytes)) {
    for (auto& b : m_buffers) m_free.push_back(b.data());
    m_thread = std::thread(&CWritePipe::Run, this);
}

CWritePipe::~CWritePipe() {
    std::string ignored;
    Finish(ignored);
}

unsigned char* CWritePipe::Acquire() {
    std::unique_lock<std::mutex> g(m_lock);
    m_changed.wait(g, [&] { return m_bFailed || !m_free.empty(); });
    if (m_bFailed) return nullptr;
    unsigned char* p = m_free.front();
    m_free.pop_front();
    return p;
}

void CWritePipe::Submit(unsigned char* pBuffer, uint64_t ullOffset, size_t nLength) {
    std::lock_guard<std::mutex> g(m_lock);
    m_queue.push_back({pBuffer, ullOffset, nLength});
    m_changed.notify_all();
}

void CWritePipe::Release(unsigned char* pBuffer) {
    std::lock_guard<std::mutex> g(m_lock);
    m_free.push_back(pBuffer);
    m_changed.notify_all();
}

bool CWritePipe::Finish(std::string& strError) {
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_bClosing = true;
        m_changed.notify_all();
    }
    if (m_thread.joinable()) m_thread.join();
    if (!m_bFailed) return true;
    strError = m_strError;
    return false;
}

void CWritePipe::Run() {
    for (;;) {
        SPiece piece;
        {
            std::unique_lock<std::mutex> g(m_lock);
            m_changed.wait(g, [&] { return m_bClosing || !m_queue.empty(); });
            if (m_queue.empty()) return;  // closing and drained
            piece = m_queue.front();
            m_queue.pop_front();
        }
        std::string err;
        const bool ok = m_writer.WriteAt(piece.ullOffset, piece.pBuffer, piece.nLength, err);
        std::lock_guard<std::mutex> g(m_lock);
        m_free.push_back(piece.pBuffer);
        if (!ok) {
            m_bFailed = true;
            m_strError = err;
            m_queue.clear();  // their buffers go back with no more writes
        }
        m_changed.notify_all();
        if (!ok) return;
    }
}

}  // namespace fcagent
