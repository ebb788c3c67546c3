// Helpers for the connection framework tests: raw loopback sockets on ports
// the system chooses, connections made from them, descriptor and thread
// counting, an echo server for thousands of connections, and a listener that
// never answers new connects.
#pragma once

#include "Loopback.h"
#include "net/Context.h"
#include "net/EventLoop.h"
#include "net/Resolver.h"
#include "net/TCPConnection.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kestrune::test {

// Two ends of one loopback TCP connection.
inline std::pair<TFd, TFd> TcpPair() {
    TFd listener = Listener(1);
    TFd one = Connect(LocalPort(listener.Get()));
    TFd two(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    return {std::move(one), std::move(two)};
}

// A connection object that owns AFd, as a server would make it.
inline std::unique_ptr<TIdTCPConnection> Wrap(TFd AFd) {
    auto handler = std::make_unique<TIdIOHandlerStack>();
    handler->Binding().Adopt(AFd.Release(), Id_IPv4);
    handler->Binding().UpdateBindingLocal();
    handler->Binding().UpdateBindingPeer();
    handler->Open();
    return std::make_unique<TIdTCPConnection>(std::move(handler));
}

inline void SendAll(int AFd, const std::string& AText) {
    size_t done = 0;
    while (done < AText.size()) {
        const ssize_t sent = send(AFd, AText.data() + done, AText.size() - done, MSG_NOSIGNAL);
        if (sent <= 0)
            return;
        done += static_cast<size_t>(sent);
    }
}

// Reads until end of stream, an error, or ATimeout without data.
inline std::string ReadAll(int AFd, int ATimeout = 5000) {
    std::string text;
    char chunk[65536];
    for (;;) {
        pollfd pfd{AFd, POLLIN, 0};
        if (poll(&pfd, 1, ATimeout) <= 0)
            return text;
        const ssize_t got = recv(AFd, chunk, sizeof chunk, 0);
        if (got <= 0)
            return text;
        text.append(chunk, static_cast<size_t>(got));
    }
}

// Up to ACount bytes; fewer when the peer ends the stream or ATimeout passes.
inline std::string Recv(int AFd, size_t ACount, int ATimeout = 5000) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeout);
    while (text.size() < ACount) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd pfd{AFd, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0)
            break;
        char chunk[65536];
        const ssize_t got = read(AFd, chunk, std::min(sizeof chunk, ACount - text.size()));
        if (got <= 0)
            break;
        text.append(chunk, static_cast<size_t>(got));
    }
    return text;
}

// What a reader sees of a stream: every byte, then how it ended (0 for a
// clean end of stream, else the error, such as ECONNRESET; ETIMEDOUT when
// nothing more came within ATimeout).
struct TStreamEnd {
    std::string Data;
    int Error = 0;
};
inline TStreamEnd ReadToEnd(int AFd, int ATimeout = 5000) {
    TStreamEnd seen;
    char chunk[65536];
    for (;;) {
        pollfd pfd{AFd, POLLIN, 0};
        if (poll(&pfd, 1, ATimeout) <= 0) {
            seen.Error = ETIMEDOUT;
            return seen;
        }
        const ssize_t got = recv(AFd, chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            seen.Error = got < 0 ? errno : 0;
            return seen;
        }
        seen.Data.append(chunk, static_cast<size_t>(got));
    }
}

// Closes AFd with a reset instead of an end of stream.
inline void Reset(TFd& AFd) {
    const linger hard{1, 0};
    setsockopt(AFd.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    AFd.Reset();
}

// True when the peer closed AFd's connection (end of stream or reset) within ATimeout.
inline bool PeerClosed(int AFd, int ATimeout = 5000) {
    pollfd pfd{AFd, POLLIN, 0};
    if (poll(&pfd, 1, ATimeout) <= 0)
        return false;
    char byte;
    return recv(AFd, &byte, 1, MSG_DONTWAIT) <= 0;
}

// ASize pseudo-random bytes made from ASeed.
inline std::string RandomBytes(size_t ASize, unsigned ASeed) {
    std::mt19937 random(ASeed);
    std::string text(ASize, '\0');
    for (char& c : text)
        c = static_cast<char>(random());
    return text;
}

inline int OpenDescriptorCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

// A field of /proc/self/status ("Threads:", "VmRSS:" in KB).
inline long StatusField(const std::string& AName) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(AName, 0) == 0)
            return std::stol(line.substr(AName.size()));
    return -1;
}

// Raises this process's descriptor limit to at least ACount; false when the
// system does not allow it.
inline bool RaiseDescriptorLimit(rlim_t ACount) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur >= ACount)
        return true;
    limit.rlim_cur = ACount;
    if (limit.rlim_max < ACount)
        limit.rlim_max = ACount; // allowed only with the right to exceed it
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// Accepts one connection on AListener within ATimeout, or gives an empty TFd.
inline TFd AcceptWithin(int AListener, int ATimeout = 5000) {
    pollfd pfd{AListener, POLLIN, 0};
    if (poll(&pfd, 1, ATimeout) <= 0)
        return TFd();
    return TFd(accept4(AListener, nullptr, nullptr, SOCK_CLOEXEC));
}

inline TFd UdpSocket() {
    TFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr = Loopback(0);
    bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    return fd;
}

inline bool SendDatagram(int AFd, uint16_t APort, const std::string& AData) {
    sockaddr_in addr = Loopback(APort);
    return sendto(AFd, AData.data(), AData.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                  sizeof addr) == static_cast<ssize_t>(AData.size());
}

struct TDatagram {
    bool Received = false;
    std::string Data;
    uint16_t FromPort = 0;
    std::string FromIP;
};

inline TDatagram ReceiveDatagram(int AFd, int ATimeout = 5000) {
    TDatagram datagram;
    pollfd pfd{AFd, POLLIN, 0};
    if (poll(&pfd, 1, ATimeout) <= 0)
        return datagram;
    std::string buffer(65536, '\0');
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t got =
        recvfrom(AFd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0)
        return datagram;
    datagram.Received = true;
    datagram.Data.assign(buffer.data(), static_cast<size_t>(got));
    datagram.FromPort = ntohs(from.sin_port);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    datagram.FromIP = text;
    return datagram;
}

// An echo server on 127.0.0.1 with one thread for all its connections, for
// tests that hold thousands at once.
class TManyEcho {
public:
    TManyEcho() : FListener(Listener(4096)), FPoll(epoll_create1(EPOLL_CLOEXEC)) {
        Port = LocalPort(FListener.Get());
        Watch(FListener.Get());
        FThread = std::thread([this] { Run(); });
    }
    ~TManyEcho() {
        FStopped = true;
        shutdown(FListener.Get(), SHUT_RDWR);
        FThread.join();
        for (int fd : FOpen)
            close(fd);
    }
    uint16_t Port = 0;

private:
    void Watch(int AFd) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = AFd;
        epoll_ctl(FPoll.Get(), EPOLL_CTL_ADD, AFd, &event);
    }
    void Close(int AFd) {
        FOpen.erase(std::find(FOpen.begin(), FOpen.end(), AFd));
        close(AFd);
    }
    void Run() {
        epoll_event events[64];
        char chunk[65536];
        while (!FStopped) {
            const int count = epoll_wait(FPoll.Get(), events, 64, 100);
            for (int i = 0; i < count; ++i) {
                const int fd = events[i].data.fd;
                if (fd == FListener.Get()) {
                    const int accepted = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (accepted >= 0) {
                        FOpen.push_back(accepted);
                        Watch(accepted);
                    }
                    continue;
                }
                const ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
                if (got > 0)
                    SendAll(fd, std::string(chunk, static_cast<size_t>(got)));
                else if (got == 0 || errno != EAGAIN)
                    Close(fd);
            }
        }
    }

    TFd FListener;
    TFd FPoll;
    std::atomic<bool> FStopped{false};
    std::vector<int> FOpen; // the server thread's, read after it ends
    std::thread FThread;
};

// A listener whose accept queue is full, so that further connects to it are
// never answered (their SYNs are dropped) until the test ends.
class TBlackhole {
public:
    TBlackhole() : FListener(Listener(0)) {
        Port = LocalPort(FListener.Get());
        for (int i = 0; i < 8; ++i) {
            TFd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            sockaddr_in addr = Loopback(Port);
            connect(probe.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            pollfd pfd{probe.Get(), POLLOUT, 0};
            const bool answered = poll(&pfd, 1, 200) > 0;
            FFillers.push_back(std::move(probe));
            if (!answered)
                return;
        }
    }
    uint16_t Port = 0;

private:
    TFd FListener;
    std::vector<TFd> FFillers;
};

// Whether thread ATid is asleep in the kernel (a blocking wait), from /proc.
inline bool ThreadSleeping(pid_t ATid) {
    const std::string path = "/proc/self/task/" + std::to_string(ATid) + "/stat";
    TFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char text[512] = {};
    if (fd.Get() < 0 || read(fd.Get(), text, sizeof text - 1) <= 0)
        return false;
    const char* end = strrchr(text, ')');
    return end && end[1] == ' ' && end[2] == 'S';
}

// Runs AWork on a new thread and returns once that thread sleeps inside it,
// so that a test can act on a thread that is known to be waiting.
class TBlockedThread {
public:
    template <typename TWork> explicit TBlockedThread(TWork AWork) {
        FThread = std::thread([this, AWork]() mutable {
            FTid = static_cast<pid_t>(gettid());
            AWork();
            FDone = true;
        });
        while (FTid.load() == 0 || (!FDone && !ThreadSleeping(FTid))) {
            if (std::chrono::steady_clock::now() - FStart > std::chrono::seconds(5))
                break;
            std::this_thread::yield();
        }
    }
    ~TBlockedThread() { Join(); }
    void Join() {
        if (FThread.joinable())
            FThread.join();
    }
    bool Done() const { return FDone; }

private:
    std::chrono::steady_clock::time_point FStart = std::chrono::steady_clock::now();
    std::atomic<pid_t> FTid{0};
    std::atomic<bool> FDone{false};
    std::thread FThread;
};

// Runs AWork on ALoop's thread and returns its result once it has run (the
// loop-bound objects of the framework are made, used and freed there).
template <typename TWork> auto OnLoop(TIdEventLoop& ALoop, TWork AWork) {
    using TResult = decltype(AWork());
    std::promise<TResult> done;
    auto result = done.get_future();
    ALoop.Post([&] {
        if constexpr (std::is_void_v<TResult>) {
            AWork();
            done.set_value();
        } else {
            done.set_value(AWork());
        }
    });
    return result.get();
}
template <typename TWork> auto OnLoop(TWork AWork) {
    return OnLoop(TIdEventLoops::Next(), std::move(AWork));
}

// An OnExecute handler that answers each whole line that has arrived with
// that line and ASuffix; a part of a line waits for the rest.
inline void EchoLines(TIdContext& AContext, const std::string& ASuffix = "") {
    TIdIOHandlerStack& io = *AContext.Connection()->IOHandler();
    for (long long end; (end = io.InputBuffer.IndexOf("\n", 0)) >= 0;) {
        std::string line(reinterpret_cast<const char*>(io.InputBuffer.Data()),
                         static_cast<size_t>(end));
        io.InputBuffer.Remove(static_cast<size_t>(end) + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        io.Write(line + ASuffix + "\n");
    }
}

// The message of the TException that AFunction raises.
template <typename TException, typename TFunction> std::string MessageOf(TFunction AFunction) {
    try {
        AFunction();
    } catch (const TException& error) {
        return error.what();
    }
    return "<nothing raised>";
}

inline long long MillisecondsSince(std::chrono::steady_clock::time_point AStart) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 AStart)
        .count();
}

// A name server on loopback that reads every query and never answers.
struct TSilentNameServer {
    TSilentNameServer() : Socket(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr = test::Loopback(0);
        bind(Socket.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        TIdLookup::SetServers("127.0.0.1:" + std::to_string(test::LocalPort(Socket.Get())));
    }
    ~TSilentNameServer() { TIdLookup::SetServers(""); }
    // Queries that have arrived (read and dropped).
    int Queries() {
        char query[512];
        while (recv(Socket.Get(), query, sizeof query, MSG_DONTWAIT) > 0)
            ++Count;
        return Count;
    }
    TFd Socket;
    int Count = 0;
};

// A name server on loopback that answers each query at once with what
// AAnswer makes of it (nothing for an empty text), until it goes, and
// counts the queries.
class TAnsweringNameServer {
public:
    using TAnswer = std::function<std::string(const std::string& AQuery)>;
    explicit TAnsweringNameServer(TAnswer AAnswer) : FAnswer(std::move(AAnswer)) {
        FThread = std::thread([this] { Serve(); });
    }
    ~TAnsweringNameServer() {
        FStopped = true;
        shutdown(FSilent.Socket.Get(), SHUT_RDWR);
        FThread.join();
    }
    std::atomic<int> Queries{0};

private:
    void Serve() {
        char query[512];
        while (!FStopped) {
            sockaddr_storage from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(FSilent.Socket.Get(), query, sizeof query, 0,
                                       reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 12)
                continue;
            ++Queries;
            const std::string answer = FAnswer(std::string(query, static_cast<size_t>(n)));
            if (!answer.empty())
                sendto(FSilent.Socket.Get(), answer.data(), answer.size(), 0,
                       reinterpret_cast<sockaddr*>(&from), length);
        }
    }

    TAnswer FAnswer;
    TSilentNameServer FSilent; // its socket, answered here instead
    std::atomic<bool> FStopped{false};
    std::thread FThread;
};

// Answers every name with "no such name".
class TNoSuchNameServer : public TAnsweringNameServer {
public:
    TNoSuchNameServer()
        : TAnsweringNameServer([](std::string AQuery) {
              // The question echoed back: a response, recursion available,
              // rcode 3 (no such name).
              AQuery[2] = '\x81';
              AQuery[3] = '\x83';
              return AQuery;
          }) {}
};

// Answers every name with the IPv6 address AAddress6 and with no IPv4
// address.
class TIPv6OnlyNameServer : public TAnsweringNameServer {
public:
    explicit TIPv6OnlyNameServer(const std::string& AAddress6)
        : TAnsweringNameServer([address = V6Bytes(AAddress6)](const std::string& AQuery) {
              // [id(2) flags(2) qd=1 an ns ar] then the name's labels, type, class.
              size_t end = 12;
              while (end < AQuery.size() && AQuery[end] != 0)
                  end += static_cast<unsigned char>(AQuery[end]) + 1u;
              end += 5; // the root label, type and class
              if (end > AQuery.size())
                  return std::string();
              const bool wantsAAAA = AQuery[end - 4] == 0 && AQuery[end - 3] == 28;
              std::string answer = AQuery.substr(0, end);
              answer[2] = '\x81'; // a response, recursion desired
              answer[3] = '\x80'; // recursion available, no error
              answer[6] = 0;
              answer[7] = wantsAAAA ? 1 : 0;
              answer[8] = answer[9] = answer[10] = answer[11] = 0;
              if (wantsAAAA) {
                  // [name=pointer to the question, AAAA, IN, ttl 60, 16 bytes]
                  answer += std::string("\xC0\x0C\x00\x1C\x00\x01\x00\x00\x00\x3C\x00\x10", 12);
                  answer += address;
              }
              return answer;
          }) {}

private:
    static std::string V6Bytes(const std::string& AAddress6) {
        std::string bytes(16, '\0');
        inet_pton(AF_INET6, AAddress6.c_str(), bytes.data());
        return bytes;
    }
};

// A UDP echo on the loopback address of AFamily, answering each datagram
// to its sender, until it goes. Counts what it received.
class TUdpEcho {
public:
    explicit TUdpEcho(int AFamily = AF_INET)
        : FSocket(socket(AFamily, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_storage addr{};
        socklen_t length;
        if (AFamily == AF_INET6) {
            auto& in6 = reinterpret_cast<sockaddr_in6&>(addr);
            in6.sin6_family = AF_INET6;
            in6.sin6_addr = in6addr_loopback;
            length = sizeof in6;
        } else {
            reinterpret_cast<sockaddr_in&>(addr) = Loopback(0);
            length = sizeof(sockaddr_in);
        }
        Ok = FSocket.Get() >= 0 &&
             bind(FSocket.Get(), reinterpret_cast<sockaddr*>(&addr), length) == 0;
        getsockname(FSocket.Get(), reinterpret_cast<sockaddr*>(&addr), &length);
        Port = ntohs(AFamily == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(addr).sin6_port
                                         : reinterpret_cast<sockaddr_in&>(addr).sin_port);
        if (Ok)
            FThread = std::thread([this] { Serve(); });
    }
    ~TUdpEcho() {
        FStopped = true;
        shutdown(FSocket.Get(), SHUT_RDWR);
        if (FThread.joinable())
            FThread.join();
    }
    bool Ok = false;
    uint16_t Port = 0;
    std::atomic<int> Received{0};

private:
    void Serve() {
        char data[65536];
        for (;;) {
            sockaddr_storage from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(FSocket.Get(), data, sizeof data, 0,
                                       reinterpret_cast<sockaddr*>(&from), &length);
            if (FStopped)
                return;
            if (n < 0)
                continue;
            ++Received;
            sendto(FSocket.Get(), data, static_cast<size_t>(std::max<ssize_t>(n, 0)), 0,
                   reinterpret_cast<sockaddr*>(&from), length);
        }
    }
    TFd FSocket;
    std::atomic<bool> FStopped{false};
    std::thread FThread;
};

} // namespace kestrune::test
