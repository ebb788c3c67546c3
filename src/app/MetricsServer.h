// kestruned's metrics: the counters of every service and of the process in
// the Prometheus text exposition format (version 0.0.4), served at
// GET /metrics on the address of the `Metrics` option.
//
// The server lives in the main loop with non-blocking sockets, so the text
// is built on the main thread, which owns the services, and a client that is
// slow or sends too much is cut off after 5 s or 8 KB without ever holding
// the loop up. The access rules do not apply to it: it belongs on loopback
// or a management address.
#pragma once

#include "core/Main.h"
#include "core/SettingsCheck.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <poll.h>
#include <string>
#include <vector>

namespace kestrune {

// The exposition text of the services' counters and the process's
// descriptors and threads.
std::string RenderMetrics(const TMainForm& core);

class TMetricsServer {
public:
    static constexpr std::size_t MaxRequest = 8192;
    static constexpr std::chrono::seconds Limit{5}; // for a whole exchange
    // Clients served at once; one more takes the place of the oldest that
    // has not sent a whole request yet.
    static constexpr std::size_t MaxClients = 16;
    // Connections the system completes before they are taken: far more
    // than MaxClients, so that a burst of silent clients fills the places
    // instead of the queue, where a scrape's connect would be dropped and
    // tried again only a second later.
    static constexpr int ListenQueue = 128;

    explicit TMetricsServer(std::function<std::string()> render);
    ~TMetricsServer();
    TMetricsServer(const TMetricsServer&) = delete;
    TMetricsServer& operator=(const TMetricsServer&) = delete;

    // Listens at `address`; returns why it could not, or an empty text.
    std::string Open(const THostPort& address);
    void Close();
    bool IsOpen() const { return mListener >= 0; }
    // The address bound, "HOST:PORT" (the port the system chose for 0).
    std::string BoundAddress() const;

    // Appends the descriptors to wait on and returns the milliseconds until
    // the nearest client's time runs out (-1: none).
    int Prepare(std::vector<pollfd>& fds);
    // Serves what the wait found; `fds` points at the entries Prepare added.
    void Handle(const pollfd* fds);

private:
    using TClock = std::chrono::steady_clock;
    struct TClient {
        int Fd = -1;
        TClock::time_point Deadline;
        std::string In;
        std::string Out;
        std::size_t Sent = 0;
        bool Responding = false;
    };
    void Accept();
    // Each returns false when the client is done with.
    bool Read(TClient& client);
    bool Send(TClient& client);

    std::function<std::string()> mRender;
    int mListener = -1;
    std::vector<TClient> mClients;
    std::size_t mPrepared = 0; // clients that Prepare gave entries to
};

} // namespace kestrune
