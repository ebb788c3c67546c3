// UDP request/response through the gateway beside the direct path, in one
// run: 64-byte datagrams from N senders (8 by default), each waiting for
// its answer before sending the next, to a UDP echo on loopback; through a
// SOCKS5 UDP association and through a two-way port mapper.
//
// Usage: udp_bench [--kestruned PATH] [--seconds N] [--senders N] [--rounds N]
//
// Prints, per path, round trips per second and the median and 99th
// percentile round trip, each beside its ratio to the direct path. The paths
// take turns --rounds times (default 3), each for --seconds (default 2).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(uint16_t APort) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(APort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int UdpSocket(uint16_t APort = 0) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(APort);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    return fd;
}

uint16_t PortOf(int AFd) {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    getsockname(AFd, reinterpret_cast<sockaddr*>(&addr), &length);
    return ntohs(addr.sin_port);
}

uint16_t FreePort() {
    const int fd = UdpSocket();
    const uint16_t port = PortOf(fd);
    close(fd);
    return port;
}

// A UDP echo on a thread of its own until the program ends.
uint16_t StartEcho() {
    const int fd = UdpSocket();
    std::thread([fd] {
        char data[2048];
        for (;;) {
            sockaddr_storage from{};
            socklen_t length = sizeof from;
            const ssize_t n =
                recvfrom(fd, data, sizeof data, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n >= 0)
                sendto(fd, data, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from),
                       length);
        }
    }).detach();
    return PortOf(fd);
}

// How one sender talks to the echo on one path: a socket, where its
// datagrams go, and the bytes that wrap its payload.
struct Sender {
    int Fd = -1;
    int Control = -1; // the SOCKS association's control connection
    sockaddr_in To{};
    std::string Header;
};

bool Associate(uint16_t ASocks, Sender& ASender) {
    ASender.Control = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in proxy = Loopback(ASocks);
    if (connect(ASender.Control, reinterpret_cast<sockaddr*>(&proxy), sizeof proxy) != 0)
        return false;
    // [5,1,0] [5, UDP ASSOCIATE, 0, IPv4, 127.0.0.1, the sender's port]
    const uint16_t own = PortOf(ASender.Fd);
    const unsigned char request[] = {5, 1, 0, 5, 3, 0, 1, 127, 0, 0, 1,
                                     static_cast<unsigned char>(own >> 8),
                                     static_cast<unsigned char>(own & 0xFF)};
    send(ASender.Control, request, sizeof request, MSG_NOSIGNAL);
    unsigned char reply[12];
    size_t got = 0;
    while (got < sizeof reply) {
        const ssize_t n = recv(ASender.Control, reply + got, sizeof reply - got, 0);
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    if (reply[3] != 0)
        return false;
    ASender.To = Loopback(static_cast<uint16_t>(reply[10] << 8 | reply[11]));
    return true;
}

struct Result {
    double PerSecond = 0;
    std::vector<double> Micros;
};

Result Measure(std::vector<Sender>& ASenders, double ASeconds) {
    std::vector<std::thread> threads;
    std::vector<std::vector<double>> times(ASenders.size());
    std::atomic<bool> stop{false};
    for (size_t i = 0; i < ASenders.size(); ++i)
        threads.emplace_back([&, i] {
            Sender& s = ASenders[i];
            std::string datagram = s.Header + std::string(64, 'q');
            char answer[2048];
            while (!stop) {
                const auto start = Clock::now();
                sendto(s.Fd, datagram.data(), datagram.size(), 0,
                       reinterpret_cast<sockaddr*>(&s.To), sizeof s.To);
                pollfd pfd{s.Fd, POLLIN, 0};
                if (poll(&pfd, 1, 1000) <= 0 || recv(s.Fd, answer, sizeof answer, 0) <= 0)
                    continue; // lost: not counted
                times[i].push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            }
        });
    std::this_thread::sleep_for(std::chrono::duration<double>(ASeconds)); // the measured span
    stop = true;
    for (auto& thread : threads)
        thread.join();
    Result result;
    for (auto& t : times)
        result.Micros.insert(result.Micros.end(), t.begin(), t.end());
    result.PerSecond = static_cast<double>(result.Micros.size()) / ASeconds;
    std::sort(result.Micros.begin(), result.Micros.end());
    return result;
}

double Percentile(const std::vector<double>& ASorted, double AShare) {
    if (ASorted.empty())
        return 0;
    return ASorted[std::min(ASorted.size() - 1, static_cast<size_t>(AShare * ASorted.size()))];
}

} // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    std::string kestruned;
#ifdef KESTRUNED_PATH
    kestruned = KESTRUNED_PATH;
#endif
    double seconds = 2;
    size_t senderCount = 8;
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--kestruned")
            kestruned = argv[i + 1];
        else if (opt == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (opt == "--senders")
            senderCount = static_cast<size_t>(std::atoi(argv[i + 1]));
        else if (opt == "--rounds")
            rounds = std::atoi(argv[i + 1]);
    }

    const uint16_t echo = StartEcho();
    const uint16_t socks = FreePort(), mapper = FreePort();
    const std::string ini = "/tmp/udp_bench_" + std::to_string(getpid()) + ".ini";
    {
        std::ofstream out(ini, std::ios::binary);
        out << "[bench-socks]\r\nType=Proxy\r\nHost=127.0.0.1\r\nPort=" << socks
            << "\r\nQueue=1000\r\nBuffer=64\r\nWait=5\r\nFive=1\r\nUDP=1\r\n\r\n"
            << "[bench-mapper]\r\nType=Mapper\r\nOwnHost=127.0.0.1\r\nOwnPort=" << mapper
            << "\r\nMapHost=127.0.0.1\r\nMapPort=" << echo
            << "\r\nBuffer=64\r\nWait=5\r\nTCP=0\r\nUDP=1\r\nTwoWay=1\r\n\r\n";
    }
    const pid_t gateway = fork();
    if (gateway == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execl(kestruned.c_str(), kestruned.c_str(), ini.c_str(), nullptr);
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the gateway's start-up

    struct Path {
        const char* Name;
        std::vector<Sender> Senders;
        std::vector<Result> Runs;
    };
    std::vector<Path> paths{{"direct", {}, {}}, {"socks5 udp", {}, {}}, {"two-way mapper", {}, {}}};
    const std::string socksHeader =
        std::string("\0\0\0\x01\x7f\0\0\x01", 8) +
        std::string{static_cast<char>(echo >> 8), static_cast<char>(echo & 0xFF)};
    for (size_t i = 0; i < senderCount; ++i) {
        for (Path& path : paths) {
            Sender s;
            s.Fd = UdpSocket();
            if (std::strcmp(path.Name, "direct") == 0) {
                s.To = Loopback(echo);
            } else if (std::strcmp(path.Name, "two-way mapper") == 0) {
                s.To = Loopback(mapper);
            } else {
                s.Header = socksHeader;
                if (!Associate(socks, s)) {
                    std::fprintf(stderr, "UDP ASSOCIATE failed\n");
                    kill(gateway, SIGTERM);
                    return 1;
                }
            }
            path.Senders.push_back(s);
        }
    }
    for (int round = 0; round < rounds; ++round)
        for (Path& path : paths)
            path.Runs.push_back(Measure(path.Senders, seconds));

    std::printf("UDP request/response, 64-byte datagrams, %zu senders, %d x %.1f s per path\n",
                senderCount, rounds, seconds);
    std::printf("%-16s %14s %8s %12s %8s %12s %8s\n", "path", "round trips/s", "ratio",
                "median us", "ratio", "p99 us", "ratio");
    double base[3] = {0, 0, 0};
    for (Path& path : paths) {
        std::vector<double> all;
        double perSecond = 0;
        for (const Result& run : path.Runs) {
            perSecond += run.PerSecond / static_cast<double>(path.Runs.size());
            all.insert(all.end(), run.Micros.begin(), run.Micros.end());
        }
        std::sort(all.begin(), all.end());
        const double figures[3] = {perSecond, Percentile(all, 0.5), Percentile(all, 0.99)};
        if (std::strcmp(path.Name, "direct") == 0)
            std::copy(figures, figures + 3, base);
        std::printf("%-16s %14.0f %8.2f %12.1f %8.2f %12.1f %8.2f\n", path.Name, figures[0],
                    base[0] > 0 ? figures[0] / base[0] : 0, figures[1],
                    base[1] > 0 ? figures[1] / base[1] : 0, figures[2],
                    base[2] > 0 ? figures[2] / base[2] : 0);
    }
    kill(gateway, SIGTERM);
    waitpid(gateway, nullptr, 0);
    unlink(ini.c_str());
    return 0;
}
