// Soak test of the gateway: for a bounded time, against one SOCKS5 proxy
// server and one port mapper (TCP and UDP) running in a child process, it
// keeps up to N connections relaying random amounts with random half-closes,
// opens and drops connections in bursts, presses Drop and Stop/Start while
// traffic flows, sends malformed SOCKS requests, and floods the mapper with
// datagrams that an access rule refuses. At the end it checks and prints:
// every byte a client got equals what its target sent, mOnline is back to 0,
// the gateway's threads, descriptors and resident memory are back where they
// started, and a new client is still served. Exit status 0 when all hold.
//
// With --paused-reader N it checks one thing instead: a client that stops
// reading for N seconds (150 by default) in the middle of a 16 MB answer
// keeps its connection and then gets every byte, unchanged.
//
// Usage: soak [--seconds N] [--connections N] [--paused-reader N]
#include "base/Process.h"
#include "base/Settings.h"
#include "core/Main.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <malloc.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <signal.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace kestrune;
using Clock = std::chrono::steady_clock;

namespace {

// ---- small socket helpers ---------------------------------------------------

sockaddr_in Loopback(uint16_t port, const char* ip = "127.0.0.1") {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &a.sin_addr);
    a.sin_port = htons(port);
    return a;
}

int ListenOn(uint16_t& port, int backlog = 4096) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0) {
        perror("listen");
        std::exit(2);
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

uint16_t FreePort() {
    uint16_t port = 0;
    close(ListenOn(port));
    return port;
}

int Connect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    timeval tv{30, 0}; // a stuck exchange must not hold the soak for ever
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return fd;
}

bool SendAll(int fd, const void* p, size_t n) {
    auto* c = static_cast<const char*>(p);
    while (n > 0) {
        ssize_t w = send(fd, c, n, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        c += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool RecvAll(int fd, void* p, size_t n) {
    auto* c = static_cast<char*>(p);
    while (n > 0) {
        ssize_t r = recv(fd, c, n, 0);
        if (r <= 0)
            return false;
        c += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// The byte at `index` of the stream made from `seed`: both ends compute it,
// so a lost, doubled or changed byte shows.
inline uint8_t StreamByte(uint64_t seed, uint64_t index) {
    uint64_t x = seed ^ (index / 8) * 0x9E3779B97F4A7C15ULL;
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 29;
    return static_cast<uint8_t>(x >> ((index % 8) * 8));
}

void Fill(uint8_t* buf, size_t n, uint64_t seed, uint64_t from) {
    for (size_t i = 0; i < n; ++i)
        buf[i] = StreamByte(seed, from + i);
}

int CountEntries(const std::string& dir) {
    int n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n - 2;
}

long StatusField(pid_t pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0)
            return std::atol(line.c_str() + std::strlen(key));
    return -1;
}

// ---- the gateway child ----------------------------------------------------

class TQuietView : public IMainView {
public:
    std::atomic<long> Lines{0};
    void ShowError(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    bool AskYesNo(const std::string&) override { return true; }
    void SetStartCaption(const std::string&) override {}
    void SetStatusText(int, const std::string&) override {}
    void SetTrayImage(int) override {}
    void SetMonitorTimer(bool) override {}
    void LogAppended(const std::string&) override { ++Lines; }
    void LogCleared() override {}
    void MonitorChanged() override {}
    void ListsChanged() override {}
};

// Runs the gateway; commands arrive one byte each on `control`, answers go
// back on `reply` as text lines. d: Drop both; r: Stop and Start; c:
// counters; t: trim the allocator's free memory; q: stop and end.
[[noreturn]] void RunGateway(int control, int reply, uint16_t proxyPort, uint16_t mapperPort,
                             uint16_t target) {
    ConfigureProcess(); // as kestrune and kestruned do
    TQuietView view;
    TMainForm core(view);
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    core.MainQueue().SetWaker([wake] {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wake, &one, sizeof one);
    });
    TProxyServerSettings p;
    p.mName = "soak-proxy";
    p.mHost = "127.0.0.1";
    p.mPort = proxyPort;
    p.mQueue = 1000;
    p.mWait = 3;
    core.AddProxyServer(p, ProxyServerRow(p));
    TPortMapperSettings m;
    m.mName = "soak-mapper";
    m.mOwnHost = "127.0.0.1";
    m.mOwnPort = mapperPort;
    m.mMapHost = "127.0.0.1";
    m.mMapPort = target;
    m.mQueue = 1000;
    m.mTCP = m.mUDP = true;
    core.AddPortMapper(m, PortMapperRow(m));
    core.AccessRules.Add({"soak-deny-udp", "127.0.0.1", std::to_string(mapperPort), "127.0.0.2",
                          "0", "Deny", "Yes"});
    core.FormCreate();
    core.StartButtonClick();
    core.FormShow();
    auto answer = [&](const std::string& text) {
        [[maybe_unused]] ssize_t n = write(reply, (text + "\n").data(), text.size() + 1);
    };
    answer("ready");
    for (;;) {
        pollfd fds[2] = {{wake, POLLIN, 0}, {control, POLLIN, 0}};
        poll(fds, 2, -1);
        if (fds[0].revents) {
            uint64_t v;
            [[maybe_unused]] ssize_t n = read(wake, &v, sizeof v);
            core.MainQueue().Drain();
        }
        if (!fds[1].revents)
            continue;
        char c = 'q';
        if (read(control, &c, 1) <= 0)
            c = 'q';
        if (c == 'd') {
            core.ProxyServers[0]->Drop();
            core.PortMappers[0]->Drop();
            answer("dropped");
        } else if (c == 'r') {
            core.StartButtonClick();
            core.StartButtonClick();
            answer("restarted");
        } else if (c == 'c') {
            int64_t online = 0, total = 0, drops = 0;
            for (auto* s : {static_cast<TService*>(core.ProxyServers[0].get()),
                            static_cast<TService*>(core.PortMappers[0].get())}) {
                online += s->mOnline;
                total += s->mOnTotal;
                drops += s->mDrop;
            }
            answer(std::to_string(online) + " " + std::to_string(total) + " " +
                   std::to_string(drops) + " " + std::to_string(view.Lines.load()));
        } else if (c == 't') {
            // The event log keeps its newest lines by design: clear it so
            // that what remains is what the connections left behind.
            core.MainQueue().Drain();
            core.ClearButtonClick();
            malloc_trim(0);
            answer("trimmed");
        } else {
            core.CloseWithoutAsking();
            _exit(0);
        }
    }
}

class TGateway {
public:
    TGateway(uint16_t proxy, uint16_t mapper, uint16_t target) {
        int toChild[2], fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
            std::exit(2);
        mPid = fork();
        if (mPid == 0) {
            close(toChild[1]);
            close(fromChild[0]);
            RunGateway(toChild[0], fromChild[1], proxy, mapper, target);
        }
        close(toChild[0]);
        close(fromChild[1]);
        mControl = toChild[1];
        mReply = fromChild[0];
        if (ReadLine() != "ready") {
            std::fprintf(stderr, "the gateway did not start\n");
            std::exit(2);
        }
    }
    std::string Ask(char command) {
        std::lock_guard lock(mLock);
        [[maybe_unused]] ssize_t n = write(mControl, &command, 1);
        return ReadLine();
    }
    void Quit() {
        char q = 'q';
        [[maybe_unused]] ssize_t n = write(mControl, &q, 1);
        int status = 0;
        waitpid(mPid, &status, 0);
    }
    pid_t Pid() const { return mPid; }
    int Threads() const { return static_cast<int>(StatusField(mPid, "Threads:")); }
    int Descriptors() const { return CountEntries("/proc/" + std::to_string(mPid) + "/fd"); }
    long RssKb() const { return StatusField(mPid, "VmRSS:"); }

private:
    std::string ReadLine() {
        std::string line;
        char c;
        while (read(mReply, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    pid_t mPid = -1;
    int mControl = -1;
    int mReply = -1;
    std::mutex mLock;
};

// ---- the target -------------------------------------------------------------

// Per connection: a 16-byte header (seed, bytes to send back, bytes the
// client will send), then the client's bytes, checked; then the answer.
struct THeader {
    uint64_t Seed;
    uint32_t Back;
    uint32_t Forth;
};

std::atomic<int64_t> TargetCorrupt{0};

void ServeTarget(int fd) {
    THeader h{};
    std::vector<uint8_t> buf(65536), want(65536);
    if (RecvAll(fd, &h, sizeof h)) {
        uint64_t got = 0;
        bool ok = true;
        while (got < h.Forth) {
            const size_t n = std::min<uint64_t>(buf.size(), h.Forth - got);
            ssize_t r = recv(fd, buf.data(), n, 0);
            if (r <= 0) {
                ok = false;
                break;
            }
            Fill(want.data(), static_cast<size_t>(r), h.Seed ^ 1, got);
            if (std::memcmp(buf.data(), want.data(), static_cast<size_t>(r)) != 0)
                ++TargetCorrupt;
            got += static_cast<uint64_t>(r);
        }
        for (uint64_t sent = 0; ok && sent < h.Back;) {
            const size_t n = std::min<uint64_t>(buf.size(), h.Back - sent);
            Fill(buf.data(), n, h.Seed, sent);
            if (!SendAll(fd, buf.data(), n))
                break;
            sent += n;
        }
    }
    shutdown(fd, SHUT_WR);
    char c;
    while (recv(fd, &c, 1, 0) > 0) {
    }
    close(fd);
}

// ---- the clients ------------------------------------------------------------

struct TTally {
    std::atomic<int64_t> Exchanges{0}, Interrupted{0}, Lost{0}, Corrupt{0}, Bytes{0}, Failed{0};
};

// Odd while a Drop or Stop/Start (and a short while after it) is under way;
// advanced at the start and the end of each. An exchange that saw it change,
// or saw it odd, may have been cut on purpose.
std::atomic<int64_t> Epoch{0};

bool Disturbed(int64_t before) {
    const int64_t now = Epoch.load();
    return now != before || (before % 2) != 0;
}

int Socks5(uint16_t proxy, uint16_t target) {
    int fd = Connect(proxy);
    if (fd < 0)
        return -1;
    const uint8_t hello[3] = {5, 1, 0};
    uint8_t r[10];
    // [ver=5, cmd=CONNECT, rsv, atyp=1, 127.0.0.1, port]
    const uint8_t req[10] = {
        5, 1, 0, 1, 127, 0, 0, 1, static_cast<uint8_t>(target >> 8), static_cast<uint8_t>(target)};
    if (!SendAll(fd, hello, 3) || !RecvAll(fd, r, 2) || r[1] != 0 || !SendAll(fd, req, 10) ||
        !RecvAll(fd, r, 10) || r[1] != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void Exchange(std::mt19937_64& rng, bool viaProxy, uint16_t proxy, uint16_t mapper, uint16_t target,
              TTally& t) {
    const int64_t epoch = Epoch.load();
    const int fd = viaProxy ? Socks5(proxy, target) : Connect(mapper);
    if (fd < 0) {
        if (!Disturbed(epoch)) {
            ++t.Failed;
            if (getenv("SOAK_VERBOSE"))
                std::fprintf(stderr, "connect failed: %s errno %d\n", viaProxy ? "proxy" : "mapper",
                             errno);
        }
        return;
    }
    THeader h{rng(), static_cast<uint32_t>(rng() % 262144), static_cast<uint32_t>(rng() % 65536)};
    const bool halfClose = rng() % 2 == 0;
    const auto pause = std::chrono::milliseconds(rng() % 400);
    std::vector<uint8_t> buf(65536), want(65536);
    bool ok = SendAll(fd, &h, sizeof h);
    std::this_thread::sleep_for(pause); // held open, idle, like a real client thinking
    for (uint64_t sent = 0; ok && sent < h.Forth;) {
        const size_t n = std::min<uint64_t>(buf.size(), h.Forth - sent);
        Fill(buf.data(), n, h.Seed ^ 1, sent);
        ok = SendAll(fd, buf.data(), n);
        sent += n;
    }
    if (ok && halfClose)
        shutdown(fd, SHUT_WR);
    uint64_t got = 0;
    while (ok) {
        ssize_t r = recv(fd, buf.data(), buf.size(), 0);
        if (r <= 0)
            break;
        Fill(want.data(), static_cast<size_t>(r), h.Seed, got);
        if (got + static_cast<uint64_t>(r) > h.Back ||
            std::memcmp(buf.data(), want.data(), static_cast<size_t>(r)) != 0)
            ++t.Corrupt;
        got += static_cast<uint64_t>(r);
    }
    close(fd);
    t.Bytes += static_cast<int64_t>(got);
    if (got == h.Back)
        ++t.Exchanges;
    else if (Disturbed(epoch))
        ++t.Interrupted; // cut by Drop or Stop: expected
    else {
        ++t.Lost;
        if (getenv("SOAK_VERBOSE"))
            std::fprintf(stderr, "lost: %s half-close %d got %llu of %u (sent %u)\n",
                         viaProxy ? "proxy" : "mapper", halfClose ? 1 : 0,
                         static_cast<unsigned long long>(got), h.Back, h.Forth);
    }
}

} // namespace

// A client that reads a little of a 16 MB answer, stops reading for
// APause seconds (its window closes; the relay must not give up on it),
// then reads the rest. 0 when every byte came unchanged.
int PausedReader(TGateway& AGateway, uint16_t AProxy, uint16_t ATarget, double APause) {
    constexpr uint32_t Total = 16u << 20;
    const int fd = Socks5(AProxy, ATarget);
    if (fd < 0) {
        std::fprintf(stderr, "no connection through the gateway\n");
        return 1;
    }
    const THeader header{0x5eed, Total, 0};
    SendAll(fd, &header, sizeof header);
    std::vector<uint8_t> buf(65536), want(65536);
    uint64_t got = 0;
    bool same = true;
    auto read = [&](uint64_t AUpTo) {
        while (got < AUpTo) {
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, 10000) <= 0)
                return false;
            const ssize_t r = recv(fd, buf.data(), buf.size(), 0);
            if (r <= 0)
                return false;
            Fill(want.data(), static_cast<size_t>(r), header.Seed, got);
            same = same && std::memcmp(buf.data(), want.data(), static_cast<size_t>(r)) == 0;
            got += static_cast<uint64_t>(r);
        }
        return true;
    };
    read(1 << 20);
    std::fprintf(stderr, "read %llu bytes; pausing %.0f s\n", static_cast<unsigned long long>(got),
                 APause);
    std::this_thread::sleep_for(std::chrono::duration<double>(APause));
    const bool whole = read(Total);
    char c;
    const bool ended = whole && recv(fd, &c, 1, 0) == 0;
    close(fd);
    std::printf("paused reader: %.0f s pause, %llu of %u bytes, %s, %s\n", APause,
                static_cast<unsigned long long>(got), Total, same ? "unchanged" : "CHANGED",
                ended ? "then its end" : "NO END (cut off?)");
    AGateway.Quit();
    return whole && same && ended ? 0 : 1;
}

int main(int argc, char** argv) {
    double seconds = 60;
    int connections = 2000;
    double pause = -1;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--connections") && i + 1 < argc)
            connections = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--paused-reader"))
            pause = i + 1 < argc && argv[i + 1][0] != '-' ? std::atof(argv[++i]) : 150;
    }
    signal(SIGPIPE, SIG_IGN);
    rlimit nofile{};
    getrlimit(RLIMIT_NOFILE, &nofile);
    nofile.rlim_cur = nofile.rlim_max;
    setrlimit(RLIMIT_NOFILE, &nofile);

    uint16_t targetPort = 0;
    const int targetListen = ListenOn(targetPort);
    std::thread([targetListen] {
        for (;;) {
            int c = accept4(targetListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                return;
            std::thread(ServeTarget, c).detach();
        }
    }).detach();

    const uint16_t proxy = FreePort(), mapper = FreePort();
    TGateway gateway(proxy, mapper, targetPort);
    if (pause >= 0)
        return PausedReader(gateway, proxy, targetPort, pause);

    struct TPhase {
        TTally Tally;
        int Peak = 0;
        int64_t Bursts = 0, Malformed = 0, MalformedHung = 0, Datagrams = 0;
        int Drops = 0, Restarts = 0;
    };
    // The whole mix of load for `phaseSeconds`.
    auto runPhase = [&](double phaseSeconds, TPhase& ph) {
        const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(phaseSeconds));
        TTally& tally = ph.Tally;
        std::atomic<int> live{0}, peak{0};
        struct TPeakOut {
            std::atomic<int>& P;
            TPhase& Ph;
            ~TPeakOut() { Ph.Peak = P.load(); }
        } peakOut{peak, ph};
        std::vector<std::thread> clients;
        for (int i = 0; i < connections; ++i)
            clients.emplace_back([&, i] {
                std::mt19937_64 rng(static_cast<uint64_t>(i) * 7919 + 17);
                while (Clock::now() < deadline) {
                    const int now = ++live;
                    int p = peak.load();
                    while (now > p && !peak.compare_exchange_weak(p, now)) {
                    }
                    Exchange(rng, rng() % 2 == 0, proxy, mapper, targetPort, tally);
                    --live;
                }
            });

        // Bursts: open and drop at once, some with a reset.
        std::atomic<int64_t> bursts{0};
        struct TOut {
            std::atomic<int64_t>& A;
            int64_t& B;
            ~TOut() { B = A.load(); }
        } burstOut{bursts, ph.Bursts};
        std::thread burster([&] {
            std::mt19937_64 rng(99);
            while (Clock::now() < deadline) {
                std::vector<int> fds;
                for (int i = 0; i < 100; ++i) {
                    int fd = Connect(rng() % 2 ? proxy : mapper);
                    if (fd >= 0)
                        fds.push_back(fd);
                }
                for (int fd : fds) {
                    if (rng() % 2) {
                        linger l{1, 0};
                        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                    }
                    close(fd);
                }
                bursts += static_cast<int64_t>(fds.size());
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        });

        // Malformed SOCKS requests: each must end with the gateway closing.
        std::atomic<int64_t> malformed{0}, malformedHung{0};
        TOut malformedOut{malformed, ph.Malformed}, hungOut{malformedHung, ph.MalformedHung};
        std::thread fuzzer([&] {
            std::mt19937_64 rng(7);
            const std::vector<std::vector<uint8_t>> shapes = {
                {5},                      // truncated greeting
                {5, 1},                   // no methods
                {5, 2, 0},                // methods cut short
                {5, 1, 0, 5, 9, 0, 1},    // unknown command, truncated
                {6, 1, 0},                // wrong version
                {4, 1, 0, 80, 127, 0, 0}, // truncated SOCKS4
                {0x16, 3, 1, 0, 1},       // a TLS hello
            };
            while (Clock::now() < deadline) {
                int fd = Connect(proxy);
                if (fd < 0)
                    continue;
                std::vector<uint8_t> bytes;
                switch (rng() % 4) {
                case 0:
                    bytes = shapes[rng() % shapes.size()];
                    break;
                case 1: // random bytes
                    bytes.resize(rng() % 64);
                    for (auto& b : bytes)
                        b = static_cast<uint8_t>(rng());
                    break;
                case 2: // SOCKS4 with a user id that never ends
                    bytes = {4, 1, 0, 80, 127, 0, 0, 1};
                    bytes.resize(40000, 'u');
                    break;
                default: // SOCKS5 login longer than announced
                    bytes = {5, 1, 2, 1, 255};
                    bytes.resize(600, 'x');
                    break;
                }
                SendAll(fd, bytes.data(), bytes.size());
                // The gateway must close it (at the latest after its Wait limit).
                pollfd p{fd, POLLIN, 0};
                const auto until = Clock::now() + std::chrono::seconds(10);
                bool closed = false;
                char buf[512];
                while (Clock::now() < until && poll(&p, 1, 500) >= 0) {
                    if (p.revents) {
                        ssize_t r = recv(fd, buf, sizeof buf, 0);
                        if (r <= 0) {
                            closed = true;
                            break;
                        }
                    }
                }
                if (!closed)
                    ++malformedHung;
                ++malformed;
                close(fd);
            }
        });

        // Refused datagrams: an access rule denies 127.0.0.2.
        std::atomic<int64_t> datagrams{0};
        TOut datagramOut{datagrams, ph.Datagrams};
        std::thread flooder([&] {
            int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in from = Loopback(0, "127.0.0.2");
            bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
            sockaddr_in to = Loopback(mapper);
            char payload[512] = {};
            while (Clock::now() < deadline) {
                for (int i = 0; i < 100; ++i)
                    if (sendto(fd, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&to),
                               sizeof to) > 0)
                        ++datagrams;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            close(fd);
        });

        // Drop and Stop/Start while traffic flows.
        int& drops = ph.Drops;
        int& restarts = ph.Restarts;
        while (Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::seconds(3));
            if (Clock::now() >= deadline)
                break;
            ++Epoch;
            const auto t0 = Clock::now();
            if ((drops + restarts) % 2 == 0) {
                gateway.Ask('d');
                ++drops;
            } else {
                gateway.Ask('r');
                ++restarts;
            }
            if (getenv("SOAK_VERBOSE"))
                std::fprintf(stderr, "command took %.0f ms\n",
                             std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            // Let connections accepted just before the command meet it.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            ++Epoch;
        }

        for (auto& c : clients)
            c.join();
        burster.join();
        fuzzer.join();
        flooder.join();
    };
    // Warm-up: the same mix for a short while, so that the baseline below is
    // the gateway's resting state after use (its pool of reusable threads
    // filled, the code paths paged in, the allocator's arenas made).
    {
        TPhase warm;
        runPhase(std::min(10.0, std::max(2.0, seconds / 6)), warm);
        while (std::stoll(gateway.Ask('c')) != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Both measurements are taken right after a Stop and Start, so that the
    // services are in the same state (a Drop closes the UDP side until the
    // next start; a stop empties the pool of reusable threads).
    gateway.Ask('r');
    gateway.Ask('t');
    const int threads0 = gateway.Threads(), fds0 = gateway.Descriptors();
    const long rss0 = gateway.RssKb();
    std::printf("baseline after warm-up: %d threads, %d descriptors, %ld KB resident\n", threads0,
                fds0, rss0);
    TPhase phase;
    runPhase(seconds, phase);
    TTally& tally = phase.Tally;
    // Settle: every connection has ended, so the counters and the resources
    // must come back.
    int64_t online = -1;
    const auto settle = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < settle) {
        online = std::stoll(gateway.Ask('c'));
        if (online == 0 && gateway.Threads() <= threads0 && gateway.Descriptors() <= fds0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const std::string counters = gateway.Ask('c');
    gateway.Ask('r');
    gateway.Ask('t');
    const int threads1 = gateway.Threads(), fds1 = gateway.Descriptors();
    const long rss1 = gateway.RssKb();

    TTally after;
    std::mt19937_64 rng(5);
    Exchange(rng, true, proxy, mapper, targetPort, after);
    Exchange(rng, false, proxy, mapper, targetPort, after);
    const bool serves = after.Exchanges == 2;

    std::printf("ran %.0f s with up to %d clients (peak %d at once)\n", seconds, connections,
                phase.Peak);
    std::printf("exchanges complete %lld, cut by Drop/Stop %lld, failed to connect %lld\n",
                static_cast<long long>(tally.Exchanges), static_cast<long long>(tally.Interrupted),
                static_cast<long long>(tally.Failed));
    std::printf("bytes received %lld; lost exchanges %lld; corrupt blocks %lld (target saw %lld)\n",
                static_cast<long long>(tally.Bytes), static_cast<long long>(tally.Lost),
                static_cast<long long>(tally.Corrupt), static_cast<long long>(TargetCorrupt));
    std::printf("burst connections %lld; malformed requests %lld (left open %lld); refused "
                "datagrams sent %lld\n",
                static_cast<long long>(phase.Bursts), static_cast<long long>(phase.Malformed),
                static_cast<long long>(phase.MalformedHung),
                static_cast<long long>(phase.Datagrams));
    std::printf("drops %d, stop/start %d; gateway counters (online served drops loglines): %s\n",
                phase.Drops, phase.Restarts, counters.c_str());
    std::printf("threads %d -> %d; descriptors %d -> %d; resident %ld KB -> %ld KB (%+.1f%%)\n",
                threads0, threads1, fds0, fds1, rss0, rss1,
                rss0 > 0 ? 100.0 * static_cast<double>(rss1 - rss0) / static_cast<double>(rss0)
                         : 0.0);
    std::printf("a new client is served: %s\n", serves ? "yes" : "NO");

    const bool ok = tally.Lost == 0 && tally.Corrupt == 0 && TargetCorrupt == 0 && online == 0 &&
                    phase.MalformedHung == 0 && threads1 <= threads0 && fds1 <= fds0 &&
                    rss1 <= rss0 + rss0 / 10 && serves;
    std::printf("%s\n", ok ? "SOAK PASSED" : "SOAK FAILED");
    if (getenv("SOAK_SMAPS"))
        std::system(("awk '/^[0-9a-f]+-/{m=$0} /^Rss:/{if($2>100) print $2, m}' /proc/" +
                     std::to_string(gateway.Pid()) + "/smaps | sort -rn | head -15")
                        .c_str());
    gateway.Quit();
    return ok ? 0 : 1;
}
