#include "app/MetricsServer.h"

#include "net/SocketHandle.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrune {

namespace {

// A label value: backslash, double quote and line feed escaped.
std::string Label(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

int64_t OpenDescriptors() {
    int64_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        closedir(dir);
        --count; // the directory's own descriptor
    }
    return count;
}

int64_t Threads() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0)
            return std::stoll(line.substr(8));
    return 0;
}

} // namespace

std::string RenderMetrics(const TMainForm& core) {
    struct TMetric {
        const char* Name;
        const char* Type;
        const char* Help;
        int64_t (*Value)(const TService&);
    };
    static const TMetric metrics[] = {
        {"kestrune_service_up", "gauge", "Whether the service listens (1) or not (0).",
         [](const TService& s) -> int64_t { return s.Listening() ? 1 : 0; }},
        {"kestrune_connections_online", "gauge", "Connections open now.",
         [](const TService& s) -> int64_t { return s.mOnline; }},
        {"kestrune_connections_total", "counter",
         "Connections (and datagrams, for a port mapper) admitted since the service started.",
         [](const TService& s) -> int64_t { return s.mOnTotal; }},
        {"kestrune_drops_total", "counter",
         "Connections and datagrams refused or dropped since the service started.",
         [](const TService& s) -> int64_t { return s.mDrop; }},
        {"kestrune_relayed_bytes_total", "counter",
         "Bytes relayed to clients since the service started.",
         [](const TService& s) -> int64_t { return s.mTrafTotal; }},
    };
    std::string out;
    for (const TMetric& metric : metrics) {
        out += std::string("# HELP ") + metric.Name + " " + metric.Help + "\n";
        out += std::string("# TYPE ") + metric.Name + " " + metric.Type + "\n";
        auto samples = [&](const auto& services, const char* kind) {
            for (const auto& service : services)
                out += std::string(metric.Name) + "{service=\"" + Label(service->mName) +
                       "\",kind=\"" + kind + "\"} " + std::to_string(metric.Value(*service)) + "\n";
        };
        samples(core.ProxyServers, "proxy");
        samples(core.PortMappers, "mapper");
    }
    out += "# HELP kestrune_open_descriptors Descriptors the process holds open.\n"
           "# TYPE kestrune_open_descriptors gauge\n"
           "kestrune_open_descriptors " +
           std::to_string(OpenDescriptors()) +
           "\n"
           "# HELP kestrune_threads Threads of the process.\n"
           "# TYPE kestrune_threads gauge\n"
           "kestrune_threads " +
           std::to_string(Threads()) + "\n";
    return out;
}

TMetricsServer::TMetricsServer(std::function<std::string()> render) : mRender(std::move(render)) {}

TMetricsServer::~TMetricsServer() {
    Close();
}

std::string TMetricsServer::Open(const THostPort& address) {
    Close();
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (!TIdSocketHandle::ToSockAddr(address.Host, address.Port, address.V6 ? Id_IPv6 : Id_IPv4,
                                     storage, length))
        return "not an address";
    const int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return std::strerror(errno);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        listen(fd, ListenQueue) != 0) {
        const std::string why = std::strerror(errno);
        close(fd);
        return why;
    }
    mListener = fd;
    return {};
}

void TMetricsServer::Close() {
    for (TClient& client : mClients)
        close(client.Fd);
    mClients.clear();
    mPrepared = 0;
    if (mListener >= 0)
        close(mListener);
    mListener = -1;
}

std::string TMetricsServer::BoundAddress() const {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (mListener < 0 || getsockname(mListener, reinterpret_cast<sockaddr*>(&storage), &length))
        return {};
    std::string ip;
    TIdPort port = 0;
    TIdSocketHandle::FromSockAddr(reinterpret_cast<const sockaddr*>(&storage), ip, port);
    return EndpointText(ip, port);
}

int TMetricsServer::Prepare(std::vector<pollfd>& fds) {
    mPrepared = 0;
    if (mListener < 0)
        return -1;
    fds.push_back({mListener, POLLIN, 0});
    int timeout = -1;
    const TClock::time_point now = TClock::now();
    for (const TClient& client : mClients) {
        fds.push_back({client.Fd, static_cast<short>(client.Responding ? POLLOUT : POLLIN), 0});
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(client.Deadline - now).count();
        const int ms = static_cast<int>(std::max<int64_t>(left, 0));
        if (timeout < 0 || ms < timeout)
            timeout = ms;
    }
    mPrepared = mClients.size();
    return timeout;
}

void TMetricsServer::Handle(const pollfd* fds) {
    if (mListener < 0)
        return;
    const bool incoming = fds[0].revents & POLLIN;
    const TClock::time_point now = TClock::now();
    std::vector<TClient> kept;
    for (std::size_t i = 0; i < mClients.size(); ++i) {
        TClient& client = mClients[i];
        bool keep = now < client.Deadline;
        if (keep && i < mPrepared && fds[i + 1].revents)
            keep = client.Responding ? Send(client) : Read(client);
        if (keep)
            kept.push_back(std::move(client));
        else
            close(client.Fd);
    }
    mClients = std::move(kept);
    mPrepared = 0;
    if (incoming)
        Accept();
}

void TMetricsServer::Accept() {
    for (;;) {
        const int fd = accept4(mListener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        if (mClients.size() >= MaxClients) {
            // Silent clients must not lock the scrapes out: the oldest one
            // still waiting for its request gives way (clients are kept in
            // the order they came). One that is being answered is not cut.
            auto waiting = std::find_if(mClients.begin(), mClients.end(),
                                        [](const TClient& c) { return !c.Responding; });
            if (waiting == mClients.end()) {
                close(fd);
                continue;
            }
            close(waiting->Fd);
            mClients.erase(waiting);
        }
        TClient client;
        client.Fd = fd;
        client.Deadline = TClock::now() + Limit;
        mClients.push_back(std::move(client));
    }
}

bool TMetricsServer::Read(TClient& client) {
    char buf[2048];
    const ssize_t n = recv(client.Fd, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
        return false;
    if (n < 0)
        return true;
    client.In.append(buf, static_cast<std::size_t>(n));
    std::size_t end = client.In.find("\r\n\r\n");
    if (end == std::string::npos)
        end = client.In.find("\n\n");
    if (end == std::string::npos)
        return client.In.size() < MaxRequest; // larger requests are cut off
    if (end > MaxRequest)
        return false;
    // The request line: METHOD SP TARGET SP VERSION.
    const std::string line = client.In.substr(0, client.In.find_first_of("\r\n"));
    const auto firstSpace = line.find(' ');
    const auto secondSpace = line.find(' ', firstSpace + 1);
    const std::string method = line.substr(0, firstSpace);
    std::string target = firstSpace == std::string::npos
                             ? std::string()
                             : line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    target = target.substr(0, target.find('?'));
    if (method == "GET" && target == "/metrics") {
        const std::string body = mRender();
        client.Out = "HTTP/1.1 200 OK\r\n"
                     "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                     "Content-Length: " +
                     std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    } else {
        client.Out = "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain; charset=utf-8\r\n"
                     "Content-Length: 10\r\nConnection: close\r\n\r\nNot found\n";
    }
    client.In.clear();
    client.Responding = true;
    return Send(client);
}

bool TMetricsServer::Send(TClient& client) {
    while (client.Sent < client.Out.size()) {
        const ssize_t n = send(client.Fd, client.Out.data() + client.Sent,
                               client.Out.size() - client.Sent, MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        client.Sent += static_cast<std::size_t>(n);
    }
    shutdown(client.Fd, SHUT_WR);
    return false;
}

} // namespace kestrune
