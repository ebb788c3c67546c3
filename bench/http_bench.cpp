// Measures an HTTP proxy against the direct path in the same run: connection
// cycles through CONNECT, and plain GETs in absolute form, one per connection
// and many per kept-alive connection. Each figure is printed for the direct
// path first and then for the proxy, with the ratio of the two, as lines
// `RESULT metric=NAME value=V unit=U key=value ...`.
//
// Usage: http_bench --proxy HOST:PORT [--clients P] [--seconds T] [--max N]
//                   [--only NAME]
// The origin is this program's own, on 127.0.0.1: it answers every request
// head with one small response with a Content-Length, keeps the connection
// unless the request says "Connection: close", and closes it then. The proxy
// must be on loopback (127.0.0.0/8, ::1 or localhost). P client threads
// (default 4) repeat their cycle for T seconds (default 3), and every figure
// stops at N cycles (default 1,000,000) if that comes first.
//
// The cycles:
// - connect: connect to the proxy, CONNECT to the origin, one GET with
//   "Connection: close" through the tunnel and its response, then wait for
//   the close that the origin starts and the proxy passes on, and close.
//   Direct: connect to the origin and the same GET. The origin closing
//   first keeps the client's ports out of TIME-WAIT.
// - get: connect, one absolute-form GET with "Connection: close", its
//   response, the close. Direct: the same in origin form.
// - keepalive: one connection per client and one GET after another on it;
//   a connection the proxy closes is opened again (connections= counts them),
//   and a request it closed without answering is sent again on the new one.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char Response[] = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                            "Content-Length: 13\r\n\r\nhello, world\n";
// Every wait of a client on a socket ends after this long.
constexpr int WaitSeconds = 5;

struct Endpoint {
    sockaddr_storage Address{};
    socklen_t Length = 0;
};

// A loopback address and port; anything else is refused, and no name is
// looked up.
bool ParseLoopback(const std::string& text, Endpoint& endpoint) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string host = text.substr(0, colon);
    const int port = std::atoi(text.c_str() + colon + 1);
    if (port <= 0 || port > 65535)
        return false;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host == "localhost")
        host = "127.0.0.1";
    auto& four = reinterpret_cast<sockaddr_in&>(endpoint.Address);
    auto& six = reinterpret_cast<sockaddr_in6&>(endpoint.Address);
    if (inet_pton(AF_INET, host.c_str(), &four.sin_addr) == 1) {
        if ((ntohl(four.sin_addr.s_addr) >> 24) != 127)
            return false;
        four.sin_family = AF_INET;
        four.sin_port = htons(static_cast<uint16_t>(port));
        endpoint.Length = sizeof four;
        return true;
    }
    if (inet_pton(AF_INET6, host.c_str(), &six.sin6_addr) == 1 &&
        IN6_IS_ADDR_LOOPBACK(&six.sin6_addr)) {
        six.sin6_family = AF_INET6;
        six.sin6_port = htons(static_cast<uint16_t>(port));
        endpoint.Length = sizeof six;
        return true;
    }
    return false;
}

bool SendAll(int fd, const std::string& data) {
    for (size_t sent = 0; sent < data.size();) {
        const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

int Connect(const Endpoint& endpoint) {
    const int fd = socket(endpoint.Address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const timeval wait{WaitSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&endpoint.Address), endpoint.Length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool HasCloseToken(const std::string& head) {
    std::string lower(head);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find("\nconnection: close") != std::string::npos;
}

// The origin: one epoll thread answers every connection.
class Origin {
public:
    Origin() {
        mListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (bind(mListen, reinterpret_cast<sockaddr*>(&a), length) != 0 ||
            listen(mListen, 4096) != 0) {
            std::perror("origin");
            std::exit(1);
        }
        getsockname(mListen, reinterpret_cast<sockaddr*>(&a), &length);
        mPort = ntohs(a.sin_port);
        mEpoll = epoll_create1(EPOLL_CLOEXEC);
        Watch(mListen);
        mThread = std::thread([this] { Run(); });
    }
    ~Origin() {
        mStop = true;
        mThread.join();
        for (const auto& [fd, held] : mHeld)
            close(fd);
        close(mListen);
        close(mEpoll);
    }
    uint16_t Port() const { return mPort; }

private:
    void Watch(int fd) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        epoll_ctl(mEpoll, EPOLL_CTL_ADD, fd, &ev);
    }
    void Drop(int fd) {
        epoll_ctl(mEpoll, EPOLL_CTL_DEL, fd, nullptr);
        mHeld.erase(fd);
        close(fd);
    }
    void Run() {
        epoll_event events[256];
        char block[16384];
        while (!mStop) {
            const int n = epoll_wait(mEpoll, events, 256, 100);
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == mListen) {
                    const int c = accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
                    if (c < 0)
                        continue;
                    const int one = 1;
                    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    const timeval wait{1, 0};
                    setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
                    mHeld[c];
                    Watch(c);
                    continue;
                }
                const ssize_t r = recv(fd, block, sizeof block, 0);
                if (r <= 0) {
                    Drop(fd);
                    continue;
                }
                Answer(fd, std::string_view(block, static_cast<size_t>(r)));
            }
        }
    }
    // Answers each whole request head held; requests have no body here.
    void Answer(int fd, std::string_view bytes) {
        std::string& held = mHeld[fd];
        held += bytes;
        size_t end;
        std::string answers;
        bool closing = false;
        while (!closing && (end = held.find("\r\n\r\n")) != std::string::npos) {
            closing = HasCloseToken(held.substr(0, end + 2));
            held.erase(0, end + 4);
            answers += Response;
        }
        // A head this long is none of this benchmark's.
        if (!SendAll(fd, answers) || closing || held.size() > 65536)
            Drop(fd);
    }

    int mListen = -1;
    int mEpoll = -1;
    uint16_t mPort = 0;
    std::map<int, std::string> mHeld;
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

struct Answer {
    int Status = 0;
    bool Closes = false; // the connection ends after this response
};

// Reads one response head and its body: Content-Length bytes, or up to the
// close when it has no length, or none for an accepted CONNECT. `rest` keeps
// what came after it.
bool ReadResponse(int fd, std::string& rest, Answer& answer, bool tunnel = false) {
    char block[4096];
    size_t end;
    while ((end = rest.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t n = recv(fd, block, sizeof block, 0);
        if (n <= 0 || rest.size() > 65536)
            return false;
        rest.append(block, static_cast<size_t>(n));
    }
    std::string head = rest.substr(0, end + 2);
    rest.erase(0, end + 4);
    if (head.compare(0, 5, "HTTP/") != 0 || head.size() < 12)
        return false;
    answer.Status = std::atoi(head.c_str() + 9);
    std::transform(head.begin(), head.end(), head.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    answer.Closes = head.find("\nconnection: close") != std::string::npos ||
                    (head.compare(0, 8, "http/1.0") == 0 &&
                     head.find("\nconnection: keep-alive") == std::string::npos);
    if (tunnel && answer.Status / 100 == 2)
        return true;
    const size_t at = head.find("\ncontent-length:");
    if (at == std::string::npos) {
        answer.Closes = true;
        for (ssize_t n; (n = recv(fd, block, sizeof block, 0)) > 0;) {
        }
        rest.clear();
        return true;
    }
    const size_t length = std::strtoul(head.c_str() + at + 16, nullptr, 10);
    while (rest.size() < length) {
        const ssize_t n = recv(fd, block, sizeof block, 0);
        if (n <= 0)
            return false;
        rest.append(block, static_cast<size_t>(n));
    }
    rest.erase(0, length);
    return true;
}

// Waits for the peer's close after the last response.
bool AwaitClose(int fd) {
    char block[512];
    ssize_t n;
    while ((n = recv(fd, block, sizeof block, 0)) > 0) {
    }
    return n == 0;
}

struct Figure {
    std::string Metric;
    std::string Unit;
    double Value = 0;
    int64_t Cycles = 0;
    int64_t Errors = 0;
    int64_t Connections = 0;
    double P50 = 0, P99 = 0; // microseconds per cycle
};

struct Settings {
    Endpoint Proxy;
    bool Direct = false;
    uint16_t OriginPort = 0;
    Endpoint OriginEndpoint;
    int Clients = 4;
    double Seconds = 3;
    int64_t Max = 1000000;
};

std::string OriginAuthority(const Settings& s) {
    return "127.0.0.1:" + std::to_string(s.OriginPort);
}

// One connect cycle: through a CONNECT tunnel, or straight to the origin.
bool ConnectCycle(const Settings& s) {
    const int fd = Connect(s.Direct ? s.OriginEndpoint : s.Proxy);
    if (fd < 0)
        return false;
    std::string rest;
    Answer answer;
    bool ok = true;
    if (!s.Direct) {
        const std::string connect = "CONNECT " + OriginAuthority(s) +
                                    " HTTP/1.1\r\nHost: " + OriginAuthority(s) + "\r\n\r\n";
        ok = SendAll(fd, connect) && ReadResponse(fd, rest, answer, true) && answer.Status == 200;
    }
    ok = ok &&
         SendAll(fd, "GET / HTTP/1.1\r\nHost: " + OriginAuthority(s) +
                         "\r\nConnection: close\r\n\r\n") &&
         ReadResponse(fd, rest, answer) && answer.Status == 200 && AwaitClose(fd);
    close(fd);
    return ok;
}

std::string GetRequest(const Settings& s, bool closing) {
    const std::string target = s.Direct ? "/" : "http://" + OriginAuthority(s) + "/";
    return "GET " + target + " HTTP/1.1\r\nHost: " + OriginAuthority(s) + "\r\n" +
           (closing ? "Connection: close\r\n" : "") + "\r\n";
}

bool GetCycle(const Settings& s) {
    const int fd = Connect(s.Direct ? s.OriginEndpoint : s.Proxy);
    if (fd < 0)
        return false;
    std::string rest;
    Answer answer;
    const bool ok = SendAll(fd, GetRequest(s, true)) && ReadResponse(fd, rest, answer) &&
                    answer.Status == 200 && AwaitClose(fd);
    close(fd);
    return ok;
}

// Runs `cycle` on P threads until the time or the count is up.
template <typename Cycle>
Figure Measure(const Settings& s, const std::string& metric, Cycle cycle) {
    std::atomic<int64_t> cycles{0}, errors{0}, connections{0};
    std::vector<std::vector<double>> times(static_cast<size_t>(s.Clients));
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(s.Seconds));
    std::vector<std::thread> threads;
    for (int c = 0; c < s.Clients; ++c)
        threads.emplace_back([&, c] {
            auto& mine = times[static_cast<size_t>(c)];
            int keptFd = -1;
            std::string rest;
            while (Clock::now() < deadline && cycles.load(std::memory_order_relaxed) < s.Max) {
                const auto begin = Clock::now();
                if (cycle(s, keptFd, rest, connections)) {
                    ++cycles;
                    mine.push_back(
                        std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
                } else {
                    ++errors;
                }
            }
            if (keptFd >= 0)
                close(keptFd);
        });
    for (auto& t : threads)
        t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    Figure figure{metric, "req/s"};
    figure.Cycles = cycles;
    figure.Errors = errors;
    figure.Connections = connections;
    figure.Value = static_cast<double>(cycles) / elapsed;
    std::vector<double> all;
    for (const auto& t : times)
        all.insert(all.end(), t.begin(), t.end());
    std::sort(all.begin(), all.end());
    if (!all.empty()) {
        figure.P50 = all[all.size() / 2];
        figure.P99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    }
    return figure;
}

Figure MeasureConnect(const Settings& s) {
    Figure f = Measure(s, "http_connect_cycles",
                       [](const Settings& AS, int&, std::string&, std::atomic<int64_t>&) {
                           return ConnectCycle(AS);
                       });
    f.Unit = "cycles/s";
    return f;
}

Figure MeasureGet(const Settings& s) {
    return Measure(
        s, "http_get_per_connection",
        [](const Settings& AS, int&, std::string&, std::atomic<int64_t>&) { return GetCycle(AS); });
}

Figure MeasureKeepAlive(const Settings& s) {
    return Measure(
        s, "http_get_keepalive",
        [](const Settings& AS, int& fd, std::string& rest, std::atomic<int64_t>& connections) {
            // A kept connection that the proxy closed before answering is
            // opened again for the same request, as clients do; a new one
            // gets no second try.
            for (bool reused = fd >= 0;; reused = false) {
                if (fd < 0) {
                    fd = Connect(AS.Direct ? AS.OriginEndpoint : AS.Proxy);
                    rest.clear();
                    if (fd < 0)
                        return false;
                    ++connections;
                }
                Answer answer;
                const bool ok = SendAll(fd, GetRequest(AS, false)) &&
                                ReadResponse(fd, rest, answer) && answer.Status == 200;
                if (!ok || answer.Closes) {
                    close(fd);
                    fd = -1;
                }
                if (ok || !reused)
                    return ok;
            }
        });
}

void Print(const Figure& f, const char* path, const Settings& s, double direct) {
    std::printf("RESULT metric=%s value=%.1f unit=%s path=%s clients=%d seconds=%.1f cycles=%lld "
                "errors=%lld p50_us=%.0f p99_us=%.0f",
                f.Metric.c_str(), f.Value, f.Unit.c_str(), path, s.Clients, s.Seconds,
                static_cast<long long>(f.Cycles), static_cast<long long>(f.Errors), f.P50, f.P99);
    if (f.Metric == "http_get_keepalive")
        std::printf(" connections=%lld", static_cast<long long>(f.Connections));
    if (direct > 0)
        std::printf(" ratio=%.3f", f.Value / direct);
    std::printf("\n");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    Settings s;
    std::string proxy, only;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--proxy")
            proxy = value;
        else if (key == "--clients")
            s.Clients = std::clamp(std::atoi(value.c_str()), 1, 256);
        else if (key == "--seconds")
            s.Seconds = std::clamp(std::atof(value.c_str()), 0.1, 60.0);
        else if (key == "--max")
            s.Max = std::max<int64_t>(1, std::atoll(value.c_str()));
        else if (key == "--only")
            only = value;
        else {
            std::fprintf(stderr, "unknown option %s\n", key.c_str());
            return 2;
        }
    }
    if (!ParseLoopback(proxy, s.Proxy)) {
        std::fprintf(stderr, "usage: http_bench --proxy HOST:PORT [--clients P] [--seconds T] "
                             "[--max N] [--only connect|get|keepalive]\n"
                             "HOST must be a loopback address or localhost\n");
        return 2;
    }
    Origin origin;
    s.OriginPort = origin.Port();
    ParseLoopback(OriginAuthority(s), s.OriginEndpoint);
    const std::pair<std::string, Figure (*)(const Settings&)> figures[] = {
        {"connect", MeasureConnect}, {"get", MeasureGet}, {"keepalive", MeasureKeepAlive}};
    for (const auto& [name, measure] : figures) {
        if (!only.empty() && only != name)
            continue;
        s.Direct = true;
        const Figure direct = measure(s);
        Print(direct, "direct", s, 0);
        s.Direct = false;
        Print(measure(s), "proxy", s, direct.Value);
    }
    return 0;
}
