// The real server (CDMServer with its TLS credentials, dispatch and handler) started in the test
// process, for the tests that link the server library.
#pragma once

#include "TlsHttpClient.h"
#include "server/DMServer.h"

namespace nvtest {

// The real server (CDMServer with its TLS credentials, dispatch and handler) started in this process
// on a std::thread, on a locked test port. Only the tests that link the server library use it.
class InProcessServer {
public:
    InProcessServer() = default;
    ~InProcessServer() { Stop(); }
    InProcessServer(const InProcessServer&) = delete;
    InProcessServer& operator=(const InProcessServer&) = delete;

    ::testing::AssertionResult Start() {
        unsigned short after = 0;
        for (int attempt = 0; attempt < 40; ++attempt) {
            unsigned short port = m_lock.Acquire(after);
            if (port == 0) {
                after = 0;
                port = m_lock.AcquireWaiting();
                if (port == 0)
                    return ::testing::AssertionFailure() << "no test port became free";
            }
            m_done = false;
            m_thread = std::thread([this, port] {
                unsigned short list[1] = {port};
                unsigned short chosen = 0;
                m_result = CDMServer::StartDMServer(list, 1, chosen);
                m_done = true;
            });
            WaitFor([&] { return m_done.load() || TcpAccepts(port); }, 60s);
            if (!m_done.load() && TcpAccepts(port)) {
                m_port = port;
                return ::testing::AssertionSuccess();
            }
            // Taken by something outside the tests, or the start failed: try the next port.
            if (!m_done.load())
                CDMServer::StopDMServer();
            m_thread.join();
            m_lock.Release();
            after = port;
        }
        return ::testing::AssertionFailure() << "the in-process server did not start";
    }

    void Stop() {
        if (m_thread.joinable()) {
            // CivetWeb is stopped (its threads have ended) before the server object is deleted.
            CDMServer::StopDMServer();
            m_thread.join();
        }
        m_lock.Release();
        m_port = 0;
    }

    unsigned short Port() const { return m_port; }
    int Result() const { return m_result.load(); }

private:
    TestPortLock m_lock;
    std::thread m_thread;
    std::atomic<bool> m_done{false};
    std::atomic<int> m_result{0};
    unsigned short m_port = 0;
};

}  // namespace nvtest
