// Measures the gateway against the direct path and against the usual
// alternatives on the same machine in the same run: bulk throughput (1 and 4
// streams, each direction), connection cycles per second, 64-byte round
// trips; and, each in a freshly started server, resident memory, descriptors
// and CPU of idle relayed connections, how fast new clients are served while
// they are held, the memory left after 5,000 relays open and close, and
// the threads and descriptors of 1,000 CONNECTs waiting for their target.
// Every figure of the first kind is printed with its ratio to the direct path.
//
// Usage: gateway_bench [--kestruned PATH] [--seconds N] [--idle N] [--connections N]
//                      [--only FIGURE-TEXT] [--kinds NAME,NAME...] [--rounds N]
//                      [--clients N,N...] [--churn N]
// The gateway runs as kestruned child processes on loopback ports, with
// settings files written into a temporary directory. The peers are the
// Debian packages microsocks, dante-server (danted), haproxy, rinetd and
// socat; a peer that is not installed is left out with a note.
// A connection cycle connects (through the path, with its SOCKS request),
// sends one byte and reads its echo; then the target closes, and the cycle
// ends once that close has come back through the path.
// "socks5 chain" is two of the gateway's SOCKS5 servers in a row, the first
// sending everything through the second as its upstream.
// Connection cycles are measured once for each client count in --clients
// (default 2,8): that many client threads cycle at once. Two clients show
// the cost in latency of each cycle; eight keep every path busy, which is
// the most cycles per second it sustains on a 2-core machine.
// For throughput and connection cycles the paths take turns --rounds times
// (default 3), each running --seconds per turn, and each figure is the mean
// of its turns: the machine is shared and its speed drifts. Throughput is
// also measured through a bare relay in this program (see BareRelay), the
// ceiling for any relay that copies each block through user space.
// --connections (default 10,000) idle connections are held, as many as the
// descriptor limits of this program and of the servers allow (each holds two
// here and two in the server); the program raises its limit as far as it may
// and the servers inherit it.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
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

// Set for the IPv6 figures: loopback is then ::1 for every socket the
// benchmark makes and every address it gives the gateway.
bool gSix = false;

// The loopback address of the family in use, at `port`.
socklen_t LoopbackAddress(sockaddr_storage& addr, uint16_t port) {
    addr = {};
    if (gSix) {
        auto& a = reinterpret_cast<sockaddr_in6&>(addr);
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(port);
        return sizeof a;
    }
    auto& a = reinterpret_cast<sockaddr_in&>(addr);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return sizeof a;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

int Listen(uint16_t& port) {
    int fd = socket(gSix ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage a;
    socklen_t len = LoopbackAddress(a, port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(fd, 4096) != 0) {
        perror("listen");
        std::exit(1);
    }
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    // The port sits at the same place in both families' addresses.
    port = ntohs(reinterpret_cast<sockaddr_in&>(a).sin_port);
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
    int fd = socket(gSix ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage a;
    const socklen_t len = LoopbackAddress(a, port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), len) != 0) {
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
                // A lone 'C' is a connection cycle's: echoed, then the
                // target closes, as a server that answers one request does.
                const bool last = r == 1 && buf[0] == 'C';
                if (r <= 0 || !WriteAll(fd, buf.data(), static_cast<size_t>(r)) || last) {
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

// With `answered` false the request is sent and the answer left unread.
int Socks5(uint16_t proxy, uint16_t target, const std::string& user, const std::string& pass,
           bool answered = true) {
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
    // [ver=5, cmd=CONNECT, rsv, atyp=1, 127.0.0.1, port], or with IPv6
    // [.., atyp=4, ::1, port]; the reply is as long as its request.
    std::string request{5, 1, 0, 1, 127, 0, 0, 1};
    if (gSix)
        request = std::string{5, 1, 0, 4} + std::string(15, '\0') + '\x01';
    request += static_cast<char>(target >> 8);
    request += static_cast<char>(target & 0xff);
    unsigned char answer[22];
    if (!WriteAll(fd, request.data(), request.size()) ||
        (answered && (!ReadAll(fd, answer, request.size()) || answer[1] != 0))) {
        close(fd);
        return -1;
    }
    return fd;
}

// ---- measurements --------------------------------------------------------

double Throughput(const Path& path, bool upload, int streams, double seconds, StreamServer& sink,
                  StreamServer& source) {
    std::atomic<int64_t> bytes{0};
    std::vector<std::thread> threads;
    const int64_t before = sink.Received.load();
    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
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
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            while (Clock::now() < deadline) {
                int fd = path.Open(path.Echo->Port());
                if (fd < 0)
                    continue;
                // One byte and its echo; then the target closes, and the
                // cycle ends once that close has come through the path, so
                // that the teardown counts as it does for a browser.
                char c = 'C';
                char end = 0;
                if (WriteAll(fd, &c, 1) && ReadAll(fd, &c, 1) && recv(fd, &end, 1, 0) == 0)
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

// ---- servers under test ----------------------------------------------------

// A gateway or a peer running in a process group of its own (dante and socat
// fork helpers; their memory and CPU count with the server's).
struct Server {
    std::string Name;
    pid_t Group = -1;
    bool Socks = false;
    std::string User, Pass;
    std::vector<uint16_t> Targets; // forwarders: the target each listen port reaches
    std::vector<uint16_t> Ports;   // SOCKS: one port; forwarders: one per target
};

struct Usage {
    double ResidentKb = 0; // proportional set size, summed over the group
    double CpuSeconds = 0;
    int Descriptors = 0;
    int Threads = 0;
};

Usage GroupUsage(pid_t group) {
    Usage usage;
    DIR* proc = opendir("/proc");
    if (!proc)
        return usage;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0)
            continue;
        std::string stat;
        try {
            std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
            stat.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        } catch (const std::exception&) {
            continue; // the process ended while it was read
        }
        const auto close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(close + 2));
        std::string field;
        long pgrp = 0, utime = 0, stime = 0, threads = 0;
        for (int i = 3; i <= 20 && rest >> field; ++i) {
            if (i == 5)
                pgrp = std::atol(field.c_str());
            if (i == 14)
                utime = std::atol(field.c_str());
            if (i == 15)
                stime = std::atol(field.c_str());
            if (i == 20)
                threads = std::atol(field.c_str());
        }
        if (pgrp != group)
            continue;
        usage.Threads += static_cast<int>(threads);
        usage.CpuSeconds +=
            static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
        try {
            std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
            std::string line;
            while (std::getline(rollup, line))
                if (line.rfind("Pss:", 0) == 0)
                    usage.ResidentKb += std::atof(line.c_str() + 4);
        } catch (const std::exception&) {
            continue;
        }
        if (DIR* fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
            while (dirent* fd = readdir(fds))
                if (fd->d_name[0] != '.')
                    ++usage.Descriptors;
            closedir(fds);
        }
    }
    closedir(proc);
    return usage;
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

bool Installed(const std::string& program) {
    for (const char* dir : {"/usr/bin/", "/usr/sbin/", "/usr/local/bin/", "/usr/local/sbin/"})
        if (access((dir + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

std::string gDir; // settings of the servers

void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream(gDir + "/" + name, std::ios::binary) << text;
}

// Starts argv in a new process group; the server is up once its ports answer.
bool Launch(Server& server, const std::vector<std::string>& argv) {
    server.Group = fork();
    if (server.Group == 0) {
        setpgid(0, 0);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (server.Group < 0)
        return false;
    setpgid(server.Group, server.Group);
    for (uint16_t port : server.Ports)
        if (!WaitForPort(port, 10))
            return false;
    return true;
}

void Stop(Server& server) {
    if (server.Group <= 0)
        return;
    kill(-server.Group, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    int status = 0;
    while (waitpid(server.Group, &status, WNOHANG) == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(-server.Group, SIGKILL);
    waitpid(server.Group, &status, WNOHANG);
    server.Group = -1;
}

// How a path's server is made for a set of targets.
struct Kind {
    std::string Name;
    std::string Program; // what must be installed
    std::function<bool(Server&)> Start;
    int MaxIdle = 1 << 30; // servers that fork per connection are held to fewer
};

std::string gKestruned;
int gIdleCount = 10000;

// A listen port for each target of a forwarder, and the configuration lines
// that `each` makes of them.
std::string ForEachTarget(Server& s,
                          const std::function<std::string(uint16_t, uint16_t, size_t)>& each) {
    std::string lines;
    for (size_t i = 0; i < s.Targets.size(); ++i) {
        s.Ports.push_back(FreePort());
        lines += each(s.Ports.back(), s.Targets[i], i);
    }
    return lines;
}

bool StartKestruned(Server& s, const std::string& kind) {
    std::ostringstream out;
    if (kind == "mapper") {
        out << ForEachTarget(s, [](uint16_t port, uint16_t target, size_t i) {
            return "[bench-map-" + std::to_string(i) +
                   "]\r\nType=Mapper\r\nOwnHost=127.0.0.1\r\nOwnPort=" + std::to_string(port) +
                   "\r\nMapHost=127.0.0.1\r\nMapPort=" + std::to_string(target) +
                   "\r\nQueue=1000\r\nLimit=0\r\nBuffer=64\r\nWait=5\r\nTCP=1\r\nUDP=0\r\n"
                   "Enable=1\r\n\r\n";
        });
    } else {
        s.Socks = true;
        s.Ports.push_back(FreePort());
        if (kind == "socks5+auth") {
            s.User = "bench";
            s.Pass = "secret";
        }
        std::string via;
        if (kind == "socks5 chain") {
            // The front server sends every connection on through a second
            // one, which connects to the target: two gateways in a row.
            const uint16_t back = FreePort();
            via = "Via=socks5://127.0.0.1:" + std::to_string(back) + "\r\n";
            out << "[bench-back]\r\nType=Proxy\r\nHost=127.0.0.1\r\nPort=" << back
                << "\r\nQueue=1000\r\nLimit=0\r\nBuffer=64\r\nWait=5\r\nFive=1\r\nFour=0\r\n"
                   "Enable=1\r\n\r\n";
        }
        out << "[bench-socks]\r\nType=Proxy\r\nHost=127.0.0.1\r\nPort=" << s.Ports.back()
            << "\r\nUser=" << s.User << "\r\nPass=" << s.Pass
            << "\r\nQueue=1000\r\nLimit=0\r\nBuffer=64\r\nWait=5\r\nFive=1\r\nFour=0\r\n"
            << via << "Enable=1\r\n\r\n";
    }
    std::string settings = out.str();
    if (gSix) {
        for (size_t at; (at = settings.find("127.0.0.1")) != std::string::npos;)
            settings.replace(at, 9, "::1");
    }
    const std::string ini = "kestrune-" + std::to_string(s.Ports[0]) + ".ini";
    WriteFile(ini, settings);
    return Launch(s, {gKestruned, gDir + "/" + ini});
}

bool StartMicrosocks(Server& s, bool auth) {
    s.Socks = true;
    s.Ports.push_back(FreePort());
    std::vector<std::string> argv{"microsocks", "-i", "127.0.0.1", "-p",
                                  std::to_string(s.Ports[0])};
    if (auth) {
        s.User = "bench";
        s.Pass = "secret";
        argv.insert(argv.end(), {"-u", s.User, "-P", s.Pass});
    }
    return Launch(s, argv);
}

bool StartDante(Server& s) {
    s.Socks = true;
    s.Ports.push_back(FreePort());
    const std::string conf = "danted-" + std::to_string(s.Ports[0]) + ".conf";
    WriteFile(conf,
              "logoutput: /dev/null\ninternal: 127.0.0.1 port = " + std::to_string(s.Ports[0]) +
                  "\nexternal: 127.0.0.1\nclientmethod: none\nsocksmethod: none\n"
                  "user.privileged: root\nuser.unprivileged: nobody\n"
                  "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                  "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: connect }\n");
    return Launch(s, {"danted", "-f", gDir + "/" + conf});
}

bool StartHaproxy(Server& s) {
    // haproxy asks for two descriptors per connection and a few more, all
    // within the limit this program passes on.
    std::string conf = "global\n  maxconn " + std::to_string(gIdleCount + 200) +
                       "\ndefaults\n  mode tcp\n  timeout connect 5s\n  timeout client 1h\n"
                       "  timeout server 1h\n";
    conf += ForEachTarget(s, [](uint16_t port, uint16_t target, size_t i) {
        return "listen l" + std::to_string(i) + "\n  bind 127.0.0.1:" + std::to_string(port) +
               "\n  server t 127.0.0.1:" + std::to_string(target) + "\n";
    });
    const std::string name = "haproxy-" + std::to_string(s.Ports[0]) + ".cfg";
    WriteFile(name, conf);
    return Launch(s, {"haproxy", "-db", "-f", gDir + "/" + name});
}

bool StartRinetd(Server& s) {
    const std::string conf = ForEachTarget(s, [](uint16_t port, uint16_t target, size_t) {
        return "127.0.0.1 " + std::to_string(port) + " 127.0.0.1 " + std::to_string(target) + "\n";
    });
    const std::string name = "rinetd-" + std::to_string(s.Ports[0]) + ".conf";
    WriteFile(name, conf);
    return Launch(s, {"rinetd", "-f", "-c", gDir + "/" + name});
}

// One socat per target, each forking a process per connection; they share
// the group of a shell that waits for them.
bool StartSocat(Server& s) {
    std::string script = ForEachTarget(s, [](uint16_t port, uint16_t target, size_t) {
        return "socat TCP-LISTEN:" + std::to_string(port) +
               ",bind=127.0.0.1,reuseaddr,fork,backlog=4096 TCP:127.0.0.1:" +
               std::to_string(target) + " & ";
    });
    script += "wait";
    return Launch(s, {"sh", "-c", script});
}

std::vector<Kind> Kinds() {
    return {
        {"mapper", "", [](Server& s) { return StartKestruned(s, "mapper"); }},
        {"socks5", "", [](Server& s) { return StartKestruned(s, "socks5"); }},
        {"socks5+auth", "", [](Server& s) { return StartKestruned(s, "socks5+auth"); }},
        // Each of its relays holds four descriptors in the one process.
        {"socks5 chain", "", [](Server& s) { return StartKestruned(s, "socks5 chain"); },
         gIdleCount / 2},
        {"microsocks", "microsocks", [](Server& s) { return StartMicrosocks(s, false); }},
        {"microsocks+auth", "microsocks", [](Server& s) { return StartMicrosocks(s, true); }},
        {"dante", "danted", StartDante, 2000},
        {"haproxy", "haproxy", StartHaproxy},
        {"rinetd", "rinetd", StartRinetd},
        {"socat", "socat", StartSocat, 1000},
    };
}

// A connection through the server that reaches `target`.
int OpenThrough(const Server& s, uint16_t target) {
    if (s.Socks)
        return Socks5(s.Ports[0], target, s.User, s.Pass);
    for (size_t i = 0; i < s.Targets.size(); ++i)
        if (s.Targets[i] == target)
            return ConnectTo(s.Ports[i]);
    return -1;
}

// ---- figures in a fresh server --------------------------------------------

struct Fresh {
    int Held = 0;
    double KbPerConnection = 0;
    double DescriptorsPerConnection = 0;
    double IdleCpu = 0;
    double NewClientP99Ms = 0;
    int Churned = 0;
    double ChurnMb = 0; // resident memory after the churn, against the start
    bool Measured = false;
};

// Opens connections to the echo server through `s`, each echoing a byte.
std::vector<int> OpenIdle(const Server& s, uint16_t echo, int count) {
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        int fd = OpenThrough(s, echo);
        char c = 'i';
        if (fd < 0)
            break;
        if (!WriteAll(fd, &c, 1) || !ReadAll(fd, &c, 1)) {
            close(fd);
            break;
        }
        fds.push_back(fd);
    }
    return fds;
}

// Waits (bounded) until the server holds no more descriptors than at `base`.
void Settle(pid_t group, int base) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (GroupUsage(group).Descriptors > base && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

Fresh MeasureFresh(const Kind& kind, int count, int churn, double idleSeconds) {
    Fresh r;
    {
        EchoServer echo;
        Server s;
        s.Name = kind.Name;
        s.Targets = {echo.Port()};
        if (!kind.Start(s)) {
            Stop(s);
            return r;
        }
        const Usage base = GroupUsage(s.Group);
        std::vector<int> fds = OpenIdle(s, echo.Port(), std::min(count, kind.MaxIdle));
        r.Held = static_cast<int>(fds.size());
        // Let the server finish what each connection left (threads parking,
        // logs written) before it is weighed.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const Usage held = GroupUsage(s.Group);
        if (r.Held > 0) {
            r.KbPerConnection = (held.ResidentKb - base.ResidentKb) / r.Held;
            r.DescriptorsPerConnection =
                static_cast<double>(held.Descriptors - base.Descriptors) / r.Held;
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
        r.IdleCpu = GroupUsage(s.Group).CpuSeconds - held.CpuSeconds;
        // New clients while all those are held: connect, one byte there and
        // back, close.
        std::vector<double> ms;
        for (int i = 0; i < 200; ++i) {
            const auto t0 = Clock::now();
            int fd = OpenThrough(s, echo.Port());
            char c = 'n';
            if (fd >= 0 && WriteAll(fd, &c, 1) && ReadAll(fd, &c, 1))
                ms.push_back(Seconds(Clock::now() - t0) * 1e3);
            if (fd >= 0)
                close(fd);
        }
        if (!ms.empty()) {
            std::sort(ms.begin(), ms.end());
            r.NewClientP99Ms = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
        }
        for (int fd : fds)
            close(fd);
        Stop(s);
    }
    {
        EchoServer echo;
        Server s;
        s.Name = kind.Name;
        s.Targets = {echo.Port()};
        if (!kind.Start(s)) {
            Stop(s);
            return r;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const Usage base = GroupUsage(s.Group);
        std::vector<int> fds = OpenIdle(s, echo.Port(), std::min(churn, kind.MaxIdle));
        r.Churned = static_cast<int>(fds.size());
        for (int fd : fds)
            close(fd);
        Settle(s.Group, base.Descriptors);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        r.ChurnMb = (GroupUsage(s.Group).ResidentKb - base.ResidentKb) / 1024.0;
        Stop(s);
    }
    r.Measured = true;
    return r;
}

// SOCKS5 CONNECTs that wait for a target that never answers: a listener on
// loopback whose accept queue is full drops every further SYN, so each
// connect stays pending. What the server holds for them, against before.
struct Pending {
    int Held = 0;
    int ThreadsBefore = 0, ThreadsHeld = 0;
    double DescriptorsPerConnect = 0;
    bool Measured = false;
};

Pending MeasurePending(const Kind& kind, int count) {
    Pending r;
    uint16_t port = 0;
    const int stuck = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage a;
    socklen_t len = LoopbackAddress(a, port);
    if (stuck < 0 || bind(stuck, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(stuck, 0)) {
        if (stuck >= 0)
            close(stuck);
        return r;
    }
    getsockname(stuck, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(reinterpret_cast<sockaddr_in&>(a).sin_port);
    // These fill the queue; connects after them wait.
    std::vector<int> fillers;
    for (int i = 0; i < 2; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&a), len);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Server s;
    s.Name = kind.Name;
    s.Targets = {port};
    if (kind.Start(s)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const Usage base = GroupUsage(s.Group);
        std::vector<int> fds;
        for (int i = 0; i < count; ++i) {
            const int fd = Socks5(s.Ports[0], port, s.User, s.Pass, false);
            if (fd < 0)
                break;
            fds.push_back(fd);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const Usage held = GroupUsage(s.Group);
        r.Held = static_cast<int>(fds.size());
        r.ThreadsBefore = base.Threads;
        r.ThreadsHeld = held.Threads;
        if (r.Held > 0)
            r.DescriptorsPerConnect =
                static_cast<double>(held.Descriptors - base.Descriptors) / r.Held;
        r.Measured = true;
        for (int fd : fds)
            close(fd);
    }
    Stop(s);
    for (int fd : fillers)
        close(fd);
    close(stuck);
    return r;
}

} // namespace

int main(int argc, char** argv) {
#ifdef KESTRUNED_PATH
    gKestruned = KESTRUNED_PATH;
#endif
    double seconds = 2.0;
    double idleSeconds = 10.0;
    int churn = 5000;
    // Measures only the figures whose name holds this text ("cycles",
    // "round trip", "idle"...), e.g. to profile one of them.
    std::string only;
    int rounds = 3;
    std::vector<int> cycleClients{2, 8};
    std::string onlyKinds; // --kinds mapper,socks5: only these paths beside direct
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--kestruned")
            gKestruned = argv[i + 1];
        else if (opt == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (opt == "--idle")
            idleSeconds = std::atof(argv[i + 1]);
        else if (opt == "--connections")
            gIdleCount = std::atoi(argv[i + 1]);
        else if (opt == "--churn")
            churn = std::atoi(argv[i + 1]);
        else if (opt == "--only")
            only = argv[i + 1];
        else if (opt == "--kinds")
            onlyKinds = "," + std::string(argv[i + 1]) + ",";
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
    // Each idle connection holds two descriptors here and two in the server,
    // which inherits this limit.
    rlimit nofile{};
    getrlimit(RLIMIT_NOFILE, &nofile);
    const rlim_t wanted = static_cast<rlim_t>(gIdleCount) * 2 + 1000;
    if (nofile.rlim_max < wanted) {
        rlimit raised{wanted, wanted};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            nofile = raised;
    }
    nofile.rlim_cur = nofile.rlim_max;
    setrlimit(RLIMIT_NOFILE, &nofile);
    const int allowed = static_cast<int>((nofile.rlim_cur - 1000) / 2);
    if (gIdleCount > allowed) {
        std::fprintf(stderr,
                     "holding %d idle connections, not %d: the descriptor limit is %lu and "
                     "cannot be raised\n",
                     allowed, gIdleCount, static_cast<unsigned long>(nofile.rlim_cur));
        gIdleCount = allowed;
    }

    char dir[] = "/tmp/kestrune-bench-XXXXXX";
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 1;
    }
    gDir = dir;
    if (gKestruned.empty() || access(gKestruned.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "no kestruned to measure (--kestruned PATH)\n");
        return 1;
    }

    std::vector<Kind> kinds;
    for (const Kind& kind : Kinds()) {
        if (!onlyKinds.empty() && onlyKinds.find("," + kind.Name + ",") == std::string::npos)
            continue;
        if (kind.Program.empty() || Installed(kind.Program))
            kinds.push_back(kind);
        else
            std::fprintf(stderr, "%s is not installed: left out\n", kind.Program.c_str());
    }
    auto Wanted = [&](const std::string& figure) {
        return only.empty() || figure.find(only) != std::string::npos;
    };

    // The figures of a fresh server come first, before anything has run.
    std::vector<Fresh> fresh;
    if (Wanted("idle")) {
        for (const Kind& kind : kinds) {
            fresh.push_back(MeasureFresh(kind, gIdleCount, churn, idleSeconds));
            std::fprintf(stderr, "measured: fresh %s\n", kind.Name.c_str());
        }
    }

    std::vector<std::pair<std::string, Pending>> pending;
    if (Wanted("pending")) {
        for (const Kind& kind : kinds) {
            if (kind.Name == "mapper" || kind.Name == "haproxy" || kind.Name == "rinetd" ||
                kind.Name == "socat")
                continue;
            pending.emplace_back(kind.Name, MeasurePending(kind, std::min(1000, kind.MaxIdle)));
            std::fprintf(stderr, "measured: pending connects %s\n", kind.Name.c_str());
        }
    }

    StreamServer sink(false);
    StreamServer source(true);
    BareRelay bareSink(sink.Port()), bareSource(source.Port());
    std::vector<std::unique_ptr<EchoServer>> echoes;
    std::vector<Server> servers;
    echoes.push_back(std::make_unique<EchoServer>());
    std::vector<Path> paths;
    paths.push_back({"direct", echoes.back().get(), [](uint16_t t) { return ConnectTo(t); }});
    servers.reserve(kinds.size());
    for (const Kind& kind : kinds) {
        echoes.push_back(std::make_unique<EchoServer>());
        Server s;
        s.Name = kind.Name;
        s.Targets = {echoes.back()->Port(), sink.Port(), source.Port()};
        if (!kind.Start(s)) {
            std::fprintf(stderr, "%s did not start: left out\n", kind.Name.c_str());
            Stop(s);
            continue;
        }
        servers.push_back(s);
        const Server* started = &servers.back();
        paths.push_back({kind.Name, echoes.back().get(),
                         [started](uint16_t t) { return OpenThrough(*started, t); }});
    }
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
    add("throughput up, 1 stream", "MB/s", false,
        [&](const Path& p) { return Throughput(p, true, 1, seconds, sink, source) / MB; });
    add("throughput down, 1 stream", "MB/s", false,
        [&](const Path& p) { return Throughput(p, false, 1, seconds, sink, source) / MB; });
    add("throughput up, 4 streams", "MB/s", false,
        [&](const Path& p) { return Throughput(p, true, 4, seconds, sink, source) / MB; });
    add("throughput down, 4 streams", "MB/s", false,
        [&](const Path& p) { return Throughput(p, false, 4, seconds, sink, source) / MB; });
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
    for (Server& s : servers)
        Stop(s);

    // A negative value marks a figure that path is not measured for.
    if (!rows.empty()) {
        std::printf("%-30s", "figure");
        for (const auto& p : paths)
            std::printf(" %11s", p.Name.substr(0, 11).c_str());
        for (const auto& row : rows) {
            std::printf("\n%-30s", (row.Figure + " (" + row.Unit + ")").c_str());
            for (double v : row.Values)
                v < 0 ? std::printf(" %11s", "-") : std::printf(" %11.1f", v);
            std::printf("\n%-30s %11s", "  ratio to direct", "");
            for (size_t i = 1; i < row.Values.size(); ++i) {
                if (row.Values[i] < 0 || row.Values[0] <= 0)
                    std::printf(" %11s", "-");
                else
                    std::printf(" %10.2fx", row.Values[i] / row.Values[0]);
            }
        }
        std::printf("\n");
    }

    // The gateway over IPv6 against the direct IPv6 path, each ratio beside
    // the IPv4 ratio of the same figure.
    const int probe = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    six.sin6_addr = in6addr_loopback;
    const bool haveSix =
        probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&six), sizeof six) == 0;
    if (probe >= 0)
        close(probe);
    // Each IPv6 figure is wanted as "IPv6 <figure>", or with its IPv4 twin.
    auto WantedSix = [&](const std::string& figure) {
        return Wanted("IPv6 " + figure) || Wanted(figure);
    };
    const int sixClients = cycleClients.back();
    const std::string sixFigures[] = {"throughput up, 1 stream", "throughput down, 1 stream",
                                      "connection cycles, " + std::to_string(sixClients) +
                                          " clients"};
    if (haveSix && std::any_of(std::begin(sixFigures), std::end(sixFigures), WantedSix)) {
        gSix = true;
        StreamServer sink6(false), source6(true);
        std::vector<std::unique_ptr<EchoServer>> echoes6;
        std::vector<Server> servers6;
        servers6.reserve(2);
        echoes6.push_back(std::make_unique<EchoServer>());
        std::vector<Path> paths6{
            {"direct", echoes6.back().get(), [](uint16_t t) { return ConnectTo(t); }}};
        for (const Kind& kind : Kinds()) {
            if (kind.Name != "mapper" && kind.Name != "socks5")
                continue;
            echoes6.push_back(std::make_unique<EchoServer>());
            Server s;
            s.Name = kind.Name;
            s.Targets = {echoes6.back()->Port(), sink6.Port(), source6.Port()};
            if (!kind.Start(s)) {
                Stop(s);
                continue;
            }
            servers6.push_back(s);
            const Server* started = &servers6.back();
            paths6.push_back({kind.Name, echoes6.back().get(),
                              [started](uint16_t t) { return OpenThrough(*started, t); }});
        }
        const std::vector<std::pair<std::string, std::function<double(const Path&)>>> figures{
            {sixFigures[0],
             [&](const Path& p) { return Throughput(p, true, 1, seconds, sink6, source6); }},
            {sixFigures[1],
             [&](const Path& p) { return Throughput(p, false, 1, seconds, sink6, source6); }},
            {sixFigures[2], [&](const Path& p) { return Cycles(p, seconds, sixClients); }}};
        std::printf("\nIPv6 on ::1: ratio to the direct IPv6 path (IPv4 ratio of the same "
                    "figure in brackets)\n%-30s",
                    "figure");
        for (size_t i = 1; i < paths6.size(); ++i)
            std::printf(" %20s", paths6[i].Name.c_str());
        for (const auto& [figure, measure] : figures) {
            if (!WantedSix(figure))
                continue;
            std::vector<double> values(paths6.size(), 0.0);
            for (int round = 0; round < rounds; ++round)
                for (size_t i = 0; i < paths6.size(); ++i)
                    values[i] += measure(paths6[i]) / rounds;
            std::printf("\n%-30s", figure.c_str());
            for (size_t i = 1; i < paths6.size(); ++i) {
                double four = -1;
                for (const Row& row : rows) {
                    if (row.Figure != figure)
                        continue;
                    for (size_t j = 1; j < paths.size(); ++j)
                        if (paths[j].Name == paths6[i].Name && row.Values[0] > 0)
                            four = row.Values[j] / row.Values[0];
                }
                const double ratio = values[0] > 0 ? values[i] / values[0] : 0;
                four < 0 ? std::printf(" %13.2fx (   -)", ratio)
                         : std::printf(" %13.2fx (%.2f)", ratio, four);
            }
            std::fprintf(stderr, "measured: IPv6 %s\n", figure.c_str());
        }
        std::printf("\n");
        for (Server& s : servers6)
            Stop(s);
        gSix = false;
    }
    if (!fresh.empty()) {
        std::printf("\nin a freshly started server: %d idle connections held (fewer where "
                    "shown), idle %.0f s; then %d relays opened and closed in another\n",
                    gIdleCount, idleSeconds, churn);
        std::printf("%-16s %7s %12s %12s %10s %14s %16s\n", "server", "held", "KB/conn", "fds/conn",
                    "idle CPU s", "new client p99", "MB after churn");
        for (size_t i = 0; i < fresh.size(); ++i) {
            const Fresh& f = fresh[i];
            if (!f.Measured) {
                std::printf("%-16s did not start\n", kinds[i].Name.c_str());
                continue;
            }
            std::printf("%-16s %7d %12.1f %12.2f %10.3f %11.1f ms %9.1f (%d)\n",
                        kinds[i].Name.c_str(), f.Held, f.KbPerConnection,
                        f.DescriptorsPerConnection, f.IdleCpu, f.NewClientP99Ms, f.ChurnMb,
                        f.Churned);
        }
    }
    if (!pending.empty()) {
        std::printf("\nSOCKS5 CONNECTs waiting for a target that never answers\n");
        std::printf("%-16s %7s %15s %15s %12s\n", "server", "waiting", "threads before",
                    "threads while", "fds/connect");
        for (const auto& [name, p] : pending) {
            if (!p.Measured) {
                std::printf("%-16s did not start\n", name.c_str());
                continue;
            }
            std::printf("%-16s %7d %15d %15d %12.2f\n", name.c_str(), p.Held, p.ThreadsBefore,
                        p.ThreadsHeld, p.DescriptorsPerConnect);
        }
    }
    std::fflush(stdout);
    std::string cleanup = "rm -rf " + gDir;
    [[maybe_unused]] int removed = std::system(cleanup.c_str());
    return 0;
}
