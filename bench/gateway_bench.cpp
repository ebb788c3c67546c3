// Measures the gateway against the direct path on the same machine in the
// same run: bulk throughput (1 and 4 streams, each direction), connection
// cycles per second, 64-byte round trips, resident memory per idle relayed
// connection, and CPU used while 1,000 connections stay idle. Every figure
// is printed with its ratio to the direct path.
//
// Usage: gateway_bench [--kestruned PATH] [--seconds N] [--idle N] [--connections N]
//                      [--only FIGURE-TEXT] [--rounds N] [--clients N,N...]
// Connection cycles are measured once for each client count in --clients
// (default 2,8): that many client threads cycle at once. Two clients show
// the cost in latency of each cycle; eight keep every path busy, which is
// the most cycles per second it sustains on a 2-core machine.
// For throughput and connection cycles the paths take turns --rounds times
// (default 3), each running --seconds per turn, and each figure is the mean
// of its turns: the machine is shared and its speed drifts. Throughput is
// also measured through a bare relay in this program (see BareRelay), the
// ceiling for any relay that copies each block through user space.
// The gateway runs as a kestruned child process on loopback ports, with a
// settings file written into a temporary directory.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

int Listen(uint16_t& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4096) != 0) {
        perror("listen");
        std::exit(1);
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

uint16_t FreePort() {
    uint16_t port = 0;
    close(Listen(port));
    return port;
}

bool WriteAll(int fd, const void* data, size_t size) {
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, void* data, size_t size) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = recv(fd, p, size, 0);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int ConnectTo(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// ---- targets -------------------------------------------------------------

// Echo: one epoll thread serves every connection, so that a thousand idle
// ones cost the benchmark little.
class EchoServer {
public:
    EchoServer() {
        mListen = Listen(mPort);
        mEpoll = epoll_create1(EPOLL_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = mListen;
        epoll_ctl(mEpoll, EPOLL_CTL_ADD, mListen, &ev);
        mThread = std::thread([this] { Run(); });
    }
    ~EchoServer() {
        mStop = true;
        shutdown(mListen, SHUT_RDWR);
        mThread.join();
        close(mListen);
        close(mEpoll);
    }
    uint16_t Port() const { return mPort; }

private:
    void Run() {
        std::vector<char> buf(65536);
        epoll_event events[256];
        while (!mStop) {
            int n = epoll_wait(mEpoll, events, 256, 200);
            for (int i = 0; i < n; ++i) {
                int fd = events[i].data.fd;
                if (fd == mListen) {
                    int c = accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
                    if (c < 0)
                        continue;
                    int one = 1;
                    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.fd = c;
                    epoll_ctl(mEpoll, EPOLL_CTL_ADD, c, &ev);
                    continue;
                }
                ssize_t r = recv(fd, buf.data(), buf.size(), 0);
                if (r <= 0 || !WriteAll(fd, buf.data(), static_cast<size_t>(r))) {
                    epoll_ctl(mEpoll, EPOLL_CTL_DEL, fd, nullptr);
                    close(fd);
                }
            }
        }
    }
    int mListen = -1;
    int mEpoll = -1;
    uint16_t mPort = 0;
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

// A loopback listener whose accepting thread hands each connection to
// `serve` on a thread of its own.
class ThreadPerConnection {
public:
    explicit ThreadPerConnection(std::function<void(int)> serve) : mServe(std::move(serve)) {
        mListen = Listen(mPort);
        mThread = std::thread([this] { Accept(); });
    }
    ~ThreadPerConnection() {
        shutdown(mListen, SHUT_RDWR);
        mThread.join();
        close(mListen);
    }
    uint16_t Port() const { return mPort; }

private:
    void Accept() {
        for (;;) {
            int c = accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                return;
            std::thread(mServe, c).detach();
        }
    }
    std::function<void(int)> mServe;
    int mListen = -1;
    uint16_t mPort = 0;
    std::thread mThread;
};

// Sink (reads and counts until the end of the stream) or source (writes until
// the peer goes away); one thread per connection.
class StreamServer {
public:
    explicit StreamServer(bool source) : mSource(source) {}
    uint16_t Port() const { return mServer.Port(); }
    std::atomic<int64_t> Received{0};

private:
    void Sink(int fd) {
        std::vector<char> buf(262144);
        ssize_t n;
        while ((n = recv(fd, buf.data(), buf.size(), 0)) > 0)
            Received += n;
        close(fd);
    }
    void Send(int fd) {
        std::vector<char> buf(262144, 'x');
        while (WriteAll(fd, buf.data(), buf.size())) {
        }
        close(fd);
    }
    bool mSource;
    // Last, so that it stops accepting before the rest goes.
    ThreadPerConnection mServer{[this](int c) { mSource ? Send(c) : Sink(c); }};
};

// The least a relay that copies through user space can do: one thread per
// connection, 64 KB blocks each way, no rules, counters or events. Measured
// beside the gateway for throughput, it shows how much of the direct path's
// speed any such relay keeps on this machine.
class BareRelay {
public:
    explicit BareRelay(uint16_t target) : mTarget(target) {}
    uint16_t Port() const { return mServer.Port(); }

private:
    void Relay(int client) {
        int one = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const int remote = ConnectTo(mTarget);
        std::vector<char> buf(65536);
        // [0] carries client -> remote, [1] remote -> client.
        const int from[2] = {client, remote}, to[2] = {remote, client};
        bool open[2] = {remote >= 0, remote >= 0};
        while (open[0] || open[1]) {
            pollfd p[2] = {{open[0] ? client : -1, POLLIN, 0}, {open[1] ? remote : -1, POLLIN, 0}};
            if (poll(p, 2, -1) < 0)
                break;
            bool failed = false;
            for (int d = 0; d < 2 && !failed; ++d) {
                if (!p[d].revents)
                    continue;
                const ssize_t n = recv(from[d], buf.data(), buf.size(), 0);
                if (n > 0) {
                    failed = !WriteAll(to[d], buf.data(), static_cast<size_t>(n));
                } else if (n == 0) {
                    open[d] = false;
                    shutdown(to[d], SHUT_WR);
                } else {
                    failed = true;
                }
            }
            if (failed)
                break;
        }
        close(client);
        if (remote >= 0)
            close(remote);
    }
    uint16_t mTarget;
    ThreadPerConnection mServer{[this](int c) { Relay(c); }};
};

// ---- paths ---------------------------------------------------------------

struct Path {
    std::string Name;
    // The echo server this path's cycles, round trips and idle connections
    // reach. Each path has its own, so that the connections a path leaves in
    // TIME_WAIT crowd only its own port space, not the next path's.
    EchoServer* Echo = nullptr;
    // Opens a connection that reaches the target listening on `target`.
    std::function<int(uint16_t target)> Open;
    // Measured for throughput only: a reference, not a gateway.
    bool ThroughputOnly = false;
};

int Socks5(uint16_t proxy, uint16_t target, const std::string& user, const std::string& pass) {
    int fd = ConnectTo(proxy);
    if (fd < 0)
        return -1;
    const bool auth = !user.empty();
    const unsigned char hello[3] = {5, 1, static_cast<unsigned char>(auth ? 2 : 0)};
    unsigned char reply[10];
    if (!WriteAll(fd, hello, 3) || !ReadAll(fd, reply, 2) || reply[1] != hello[2]) {
        close(fd);
        return -1;
    }
    if (auth) {
        std::string login;
        login += '\x01';
        login += static_cast<char>(user.size());
        login += user;
        login += static_cast<char>(pass.size());
        login += pass;
        if (!WriteAll(fd, login.data(), login.size()) || !ReadAll(fd, reply, 2) || reply[1] != 0) {
            close(fd);
            return -1;
        }
    }
    // [ver=5, cmd=CONNECT, rsv, atyp=1, 127.0.0.1, port]
    const unsigned char request[10] = {5, 1, 0, 1, 127, 0, 0, 1,
                                       static_cast<unsigned char>(target >> 8),
                                       static_cast<unsigned char>(target & 0xff)};
    if (!WriteAll(fd, request, sizeof request) || !ReadAll(fd, reply, 10) || reply[1] != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// ---- measurements --------------------------------------------------------

double Throughput(const Path& path, bool upload, int streams, double seconds,
                  StreamServer& sink, StreamServer& source) {
    std::atomic<int64_t> bytes{0};
    std::vector<std::thread> threads;
    const int64_t before = sink.Received.load();
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(seconds));
    for (int s = 0; s < streams; ++s)
        threads.emplace_back([&] {
            int fd = path.Open(upload ? sink.Port() : source.Port());
            if (fd < 0)
                return;
            std::vector<char> buf(65536, 'y');
            while (Clock::now() < deadline) {
                if (upload) {
                    if (!WriteAll(fd, buf.data(), buf.size()))
                        break;
                } else {
                    ssize_t n = recv(fd, buf.data(), buf.size(), 0);
                    if (n <= 0)
                        break;
                    bytes += n;
                }
            }
            if (upload) {
                // Count what reached the sink: wait for it to see our end.
                shutdown(fd, SHUT_WR);
                char c;
                while (recv(fd, &c, 1, 0) > 0) {
                }
            }
            close(fd);
        });
    for (auto& t : threads)
        t.join();
    const double elapsed = Seconds(Clock::now() - start);
    if (upload) {
        // The sink reads until the end of the stream; give it a moment to finish counting.
        int64_t last = -1;
        for (int i = 0; i < 200 && last != sink.Received.load(); ++i) {
            last = sink.Received.load();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        bytes = sink.Received.load() - before;
    }
    return static_cast<double>(bytes.load()) / elapsed;
}

double Cycles(const Path& path, double seconds, int threads) {
    std::atomic<int64_t> cycles{0};
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(seconds));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            while (Clock::now() < deadline) {
                int fd = path.Open(path.Echo->Port());
                if (fd < 0)
                    continue;
                char c = 'p';
                if (WriteAll(fd, &c, 1) && ReadAll(fd, &c, 1))
                    ++cycles;
                close(fd);
            }
        });
    for (auto& w : workers)
        w.join();
    return static_cast<double>(cycles.load()) / Seconds(Clock::now() - start);
}

struct Rtt {
    double Median = 0;
    double P99 = 0;
};

Rtt RoundTrip(const Path& path, int count) {
    int fd = path.Open(path.Echo->Port());
    Rtt r;
    if (fd < 0)
        return r;
    char buf[64];
    std::memset(buf, 'r', sizeof buf);
    std::vector<double> us;
    us.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        if (!WriteAll(fd, buf, sizeof buf) || !ReadAll(fd, buf, sizeof buf))
            break;
        us.push_back(Seconds(Clock::now() - t0) * 1e6);
    }
    close(fd);
    if (us.empty())
        return r;
    std::sort(us.begin(), us.end());
    r.Median = us[us.size() / 2];
    r.P99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    return r;
}

long ReadStatusKb(pid_t pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0)
            return std::atol(line.c_str() + std::strlen(key));
    return 0;
}

double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::atol(field.c_str());
        if (i == 15)
            stime = std::atol(field.c_str());
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Idle {
    double KbPerConnection = 0;
    double CpuSeconds = 0;
    int Opened = 0;
};

Idle IdleCost(const Path& path, pid_t gateway, int count, double idleSeconds) {
    Idle r;
    if (gateway <= 0)
        return r;
    const long before = ReadStatusKb(gateway, "VmRSS:");
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        int fd = path.Open(path.Echo->Port());
        char c = 'i';
        if (fd < 0)
            break;
        if (!WriteAll(fd, &c, 1) || !ReadAll(fd, &c, 1)) {
            close(fd);
            break;
        }
        fds.push_back(fd);
    }
    r.Opened = static_cast<int>(fds.size());
    const long after = ReadStatusKb(gateway, "VmRSS:");
    const double cpu0 = CpuSeconds(gateway);
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    r.CpuSeconds = CpuSeconds(gateway) - cpu0;
    if (!fds.empty())
        r.KbPerConnection = static_cast<double>(after - before) / static_cast<double>(fds.size());
    for (int fd : fds)
        close(fd);
    return r;
}

bool WaitForPort(uint16_t port, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    while (Clock::now() < deadline) {
        int fd = ConnectTo(port);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    std::string kestruned;
#ifdef KESTRUNED_PATH
    kestruned = KESTRUNED_PATH;
#endif
    double seconds = 2.0;
    double idleSeconds = 10.0;
    int idleCount = 1000;
    // Measures only the figures whose name holds this text ("cycles",
    // "round trip", "idle"...), e.g. to profile one of them.
    std::string only;
    int rounds = 3;
    std::vector<int> cycleClients{2, 8};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--kestruned")
            kestruned = argv[i + 1];
        else if (opt == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (opt == "--idle")
            idleSeconds = std::atof(argv[i + 1]);
        else if (opt == "--connections")
            idleCount = std::atoi(argv[i + 1]);
        else if (opt == "--only")
            only = argv[i + 1];
        else if (opt == "--rounds")
            rounds = std::max(std::atoi(argv[i + 1]), 1);
        else if (opt == "--clients") {
            cycleClients.clear();
            std::istringstream list(argv[i + 1]);
            std::string n;
            while (std::getline(list, n, ','))
                cycleClients.push_back(std::max(std::atoi(n.c_str()), 1));
        }
    }
    signal(SIGPIPE, SIG_IGN);
    rlimit nofile{};
    getrlimit(RLIMIT_NOFILE, &nofile);
    nofile.rlim_cur = nofile.rlim_max;
    setrlimit(RLIMIT_NOFILE, &nofile);

    EchoServer echo, mapperEcho, socksEcho, socksAuthEcho;
    StreamServer sink(false);
    StreamServer source(true);
    BareRelay bareSink(sink.Port()), bareSource(source.Port());

    const uint16_t mapEcho = FreePort(), mapSink = FreePort(), mapSource = FreePort();
    const uint16_t socks = FreePort(), socksAuth = FreePort();
    char dir[] = "/tmp/kestrune-bench-XXXXXX";
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 1;
    }
    const std::string ini = std::string(dir) + "/Kestrune.ini";
    {
        std::ofstream out(ini, std::ios::binary);
        auto mapper = [&](const char* name, uint16_t own, uint16_t target) {
            out << "[" << name << "]\r\nType=Mapper\r\nOwnHost=127.0.0.1\r\nOwnPort=" << own
                << "\r\nMapHost=127.0.0.1\r\nMapPort=" << target
                << "\r\nQueue=1000\r\nLimit=0\r\nBuffer=64\r\nWait=5\r\nTCP=1\r\nUDP=0\r\n"
                   "Enable=1\r\n\r\n";
        };
        auto proxy = [&](const char* name, uint16_t port, const char* user, const char* pass) {
            out << "[" << name << "]\r\nType=Proxy\r\nHost=127.0.0.1\r\nPort=" << port
                << "\r\nUser=" << user << "\r\nPass=" << pass
                << "\r\nQueue=1000\r\nLimit=0\r\nBuffer=64\r\nWait=5\r\nFive=1\r\nFour=0\r\n"
                   "Enable=1\r\n\r\n";
        };
        mapper("bench-echo", mapEcho, mapperEcho.Port());
        mapper("bench-sink", mapSink, sink.Port());
        mapper("bench-source", mapSource, source.Port());
        proxy("bench-socks", socks, "", "");
        proxy("bench-socks-auth", socksAuth, "bench", "secret");
    }

    pid_t gateway = -1;
    if (!kestruned.empty()) {
        gateway = fork();
        if (gateway == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            execl(kestruned.c_str(), kestruned.c_str(), ini.c_str(), nullptr);
            _exit(127);
        }
    }
    if (gateway <= 0 || !WaitForPort(mapEcho, 10) || !WaitForPort(socksAuth, 10)) {
        std::fprintf(stderr, "the gateway did not start (kestruned: %s)\n", kestruned.c_str());
        if (gateway > 0)
            kill(gateway, SIGKILL);
        return 1;
    }

    std::vector<Path> paths;
    paths.push_back({"direct", &echo, [](uint16_t t) { return ConnectTo(t); }});
    paths.push_back({"mapper", &mapperEcho, [&](uint16_t t) {
                         return ConnectTo(t == mapperEcho.Port() ? mapEcho
                                          : t == sink.Port()     ? mapSink
                                                                 : mapSource);
                     }});
    paths.push_back(
        {"socks5", &socksEcho, [&](uint16_t t) { return Socks5(socks, t, "", ""); }});
    paths.push_back({"socks5+auth", &socksAuthEcho,
                     [&](uint16_t t) { return Socks5(socksAuth, t, "bench", "secret"); }});
    paths.push_back({"bare relay", nullptr,
                     [&](uint16_t t) {
                         return ConnectTo(t == sink.Port() ? bareSink.Port() : bareSource.Port());
                     },
                     true});

    struct Row {
        std::string Figure;
        std::vector<double> Values;
        bool LowerIsBetter = false;
        const char* Unit = "";
    };
    auto Wanted = [&](const std::string& figure) {
        return only.empty() || figure.find(only) != std::string::npos;
    };
    std::vector<Row> rows;
    auto add = [&](const std::string& figure, const char* unit, bool lower,
                   const std::function<double(const Path&)>& measure) {
        if (!Wanted(figure))
            return;
        const bool throughput = figure.rfind("throughput", 0) == 0;
        Row row{figure, std::vector<double>(paths.size(), 0.0), lower, unit};
        for (int round = 0; round < rounds; ++round) {
            for (size_t i = 0; i < paths.size(); ++i) {
                if (paths[i].ThroughputOnly && !throughput)
                    row.Values[i] = -1;
                else
                    row.Values[i] += measure(paths[i]) / rounds;
            }
        }
        rows.push_back(row);
        std::fprintf(stderr, "measured: %s\n", figure.c_str());
    };
    const double MB = 1024.0 * 1024.0;
    add("throughput up, 1 stream", "MB/s", false, [&](const Path& p) {
        return Throughput(p, true, 1, seconds, sink, source) / MB;
    });
    add("throughput down, 1 stream", "MB/s", false, [&](const Path& p) {
        return Throughput(p, false, 1, seconds, sink, source) / MB;
    });
    add("throughput up, 4 streams", "MB/s", false, [&](const Path& p) {
        return Throughput(p, true, 4, seconds, sink, source) / MB;
    });
    add("throughput down, 4 streams", "MB/s", false, [&](const Path& p) {
        return Throughput(p, false, 4, seconds, sink, source) / MB;
    });
    // Every cycle leaves a connection in TIME_WAIT (two through the gateway)
    // for a minute. Once a path has used up the ephemeral ports towards its
    // echo server, each connect must find one old enough to reuse, and the
    // path slows to its sustained rate; the turns are long enough to reach it.
    for (int clients : cycleClients) {
        add("connection cycles, " + std::to_string(clients) + " clients", "/s", false,
            [&](const Path& p) { return Cycles(p, seconds, clients); });
    }
    if (Wanted("round trip 64 B")) {
        std::vector<Rtt> rtts;
        for (const auto& p : paths)
            rtts.push_back(p.ThroughputOnly ? Rtt{-1, -1} : RoundTrip(p, 20000));
        rows.push_back({"round trip 64 B, median", {}, true, "us"});
        rows.push_back({"round trip 64 B, p99", {}, true, "us"});
        for (const auto& r : rtts) {
            rows[rows.size() - 2].Values.push_back(r.Median);
            rows.back().Values.push_back(r.P99);
        }
    }

    // A negative value marks a figure that path is not measured for.
    std::printf("%-36s", "figure");
    for (const auto& p : paths)
        std::printf(" %14s", p.Name.c_str());
    for (const auto& row : rows) {
        std::printf("\n%-36s", (row.Figure + " (" + row.Unit + ")").c_str());
        for (double v : row.Values)
            v < 0 ? std::printf(" %14s", "-") : std::printf(" %14.1f", v);
        std::printf("\n%-36s %14s", "  ratio to direct", "");
        for (size_t i = 1; i < row.Values.size(); ++i) {
            if (row.Values[i] < 0 || row.Values[0] <= 0)
                std::printf(" %14s", "-");
            else
                std::printf(" %13.2fx", row.Values[i] / row.Values[0]);
        }
    }
    std::printf("\n");
    if (Wanted("idle cost"))
        std::printf("\nidle cost, %d connections held %.0f s:\n", idleCount, idleSeconds);
    for (size_t i = 1; i < paths.size() && Wanted("idle cost"); ++i) {
        if (paths[i].ThroughputOnly)
            continue;
        const Idle idle = IdleCost(paths[i], gateway, idleCount, idleSeconds);
        std::printf("  %-12s opened %5d  resident memory %7.1f KB per connection  CPU %.3f s\n",
                    paths[i].Name.c_str(), idle.Opened, idle.KbPerConnection, idle.CpuSeconds);
    }
    std::fflush(stdout);

    kill(gateway, SIGTERM);
    int status = 0;
    waitpid(gateway, &status, 0);
    unlink(ini.c_str());
    rmdir(dir);
    return 0;
}
