// Helpers for the SOCKS tests, beside the connection framework's: byte
// strings written as hex, small echo and HTTP servers on ports the system
// chooses, a recording service host and a child-process runner.
#pragma once

#include "../net/NetTestUtil.h"
#include "WaitFor.h"

#include "access/AccessRestriction.h"
#include "base/ServiceHost.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace kestrune::test {

inline uint16_t PeerPort(int AFd) {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    getpeername(AFd, reinterpret_cast<sockaddr*>(&addr), &length);
    return ntohs(addr.sin_port);
}

// "05 01 00" -> the three bytes.
inline std::string Hex(const std::string& AText) {
    std::string bytes;
    std::string digits;
    for (char c : AText) {
        if (c == ' ')
            continue;
        digits += c;
        if (digits.size() == 2) {
            bytes += static_cast<char>(std::stoi(digits, nullptr, 16));
            digits.clear();
        }
    }
    return bytes;
}

inline std::string ToHex(const std::string& ABytes) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (unsigned char c : ABytes) {
        if (!text.empty())
            text += ' ';
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

inline std::string PortBytes(uint16_t APort) {
    return std::string{static_cast<char>(APort >> 8), static_cast<char>(APort & 0xFF)};
}

// A server on 127.0.0.1 that runs AServe for every accepted connection on a
// thread of its own, until it is destroyed.
class TLoopbackServer {
public:
    explicit TLoopbackServer(std::function<void(int AFd)> AServe)
        : FListener(Listener()), FServe(std::move(AServe)) {
        Port = LocalPort(FListener.Get());
        FThread = std::thread([this] { Run(); });
    }
    ~TLoopbackServer() {
        FStopped = true;
        shutdown(FListener.Get(), SHUT_RDWR);
        FThread.join();
        {
            std::lock_guard<std::mutex> lock(FLock);
            for (int fd : FOpen)
                shutdown(fd, SHUT_RDWR);
        }
        for (auto& worker : FWorkers)
            worker.join();
    }
    uint16_t Port = 0;
    std::atomic<int> Accepted{0};

private:
    void Run() {
        while (!FStopped) {
            const int fd = accept4(FListener.Get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return;
            }
            ++Accepted;
            std::lock_guard<std::mutex> lock(FLock);
            FOpen.push_back(fd);
            FWorkers.emplace_back([this, fd] {
                FServe(fd);
                std::lock_guard<std::mutex> guard(FLock);
                FOpen.erase(std::find(FOpen.begin(), FOpen.end(), fd));
                close(fd);
            });
        }
    }

    TFd FListener;
    std::function<void(int)> FServe;
    std::atomic<bool> FStopped{false};
    std::mutex FLock;
    std::vector<int> FOpen;
    std::list<std::thread> FWorkers;
    std::thread FThread;
};

// Sends back everything it receives; closes after the client's end of stream.
inline void Echo(int AFd) {
    char chunk[65536];
    for (;;) {
        const ssize_t got = recv(AFd, chunk, sizeof chunk, 0);
        if (got <= 0)
            return;
        SendAll(AFd, std::string(chunk, static_cast<size_t>(got)));
    }
}

// Answers one HTTP request with ABody and closes.
inline std::function<void(int)> HttpPage(std::string ABody) {
    return [ABody](int AFd) {
        std::string request;
        while (request.find("\r\n\r\n") == std::string::npos) {
            pollfd pfd{AFd, POLLIN, 0};
            char chunk[4096];
            const ssize_t got = poll(&pfd, 1, 5000) > 0 ? read(AFd, chunk, sizeof chunk) : 0;
            if (got <= 0)
                return;
            request.append(chunk, static_cast<size_t>(got));
        }
        SendAll(AFd, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                         std::to_string(ABody.size()) + "\r\nConnection: close\r\n\r\n" + ABody);
        shutdown(AFd, SHUT_WR);
        ReadAll(AFd, 2000);
    };
}

// A port on 127.0.0.1 where nothing listens.
inline uint16_t ClosedPort() {
    TFd fd = Listener();
    return LocalPort(fd.Get());
}

// The service host of the tests: records log lines, answers the access
// question from a replaceable rule, runs queued work when drained.
// A connection to 127.0.0.1:APort from the loopback address AFrom.
inline TFd ConnectFrom(const char* AFrom, uint16_t APort, const char* ATo = "127.0.0.1") {
    TFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in from{}, to = test::Loopback(APort);
    from.sin_family = AF_INET;
    inet_pton(AF_INET, AFrom, &from.sin_addr);
    inet_pton(AF_INET, ATo, &to.sin_addr);
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        fd.Reset();
    return fd;
}

class TRecorderHost : public IServiceHost {
public:
    void LogLine(const std::string& line) override {
        std::lock_guard<std::mutex> lock(FLock);
        FLines.push_back(line);
    }
    bool GetAccessRestriction(const std::string& mOwnHost, const std::string& mRemHost,
                              int mOwnPort, int mRemPort) override {
        std::function<bool(const std::string&, const std::string&, int, int)> rule;
        {
            std::lock_guard<std::mutex> lock(FLock);
            rule = FRule;
        }
        return !rule || rule(mOwnHost, mRemHost, mOwnPort, mRemPort);
    }
    TDestinationVerdict GetDestinationRestriction(const std::string& mOwnHost,
                                                  const std::string& mRemHost, int mOwnPort,
                                                  int mRemPort, const TDestination& ATarget,
                                                  bool ASkipAddressRules) override {
        std::lock_guard<std::mutex> lock(FLock);
        return kestrune::GetDestinationRestriction(FTargetRules, mOwnHost, mRemHost, mOwnPort,
                                                   mRemPort, ATarget, ASkipAddressRules);
    }
    bool IsMonitorInFront() const override { return MonitorInFront.load(); }
    void Queue(std::function<void()> work) override {
        std::lock_guard<std::mutex> lock(FLock);
        FQueued.push_back(std::move(work));
    }

    // Rules with targets, as the access list would hold them.
    void SetTargetRules(std::vector<TAccessRule> ARules) {
        std::lock_guard<std::mutex> lock(FLock);
        FTargetRules = std::move(ARules);
    }
    void SetRule(std::function<bool(const std::string&, const std::string&, int, int)> ARule) {
        std::lock_guard<std::mutex> lock(FLock);
        FRule = std::move(ARule);
    }
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(FLock);
        return FLines;
    }
    int Count(const std::string& APart) const {
        std::lock_guard<std::mutex> lock(FLock);
        return static_cast<int>(std::count_if(FLines.begin(), FLines.end(), [&](const auto& l) {
            return l.find(APart) != std::string::npos;
        }));
    }
    bool Has(const std::string& ALine) const {
        std::lock_guard<std::mutex> lock(FLock);
        return std::find(FLines.begin(), FLines.end(), ALine) != FLines.end();
    }
    void Drain() {
        std::vector<std::function<void()>> work;
        {
            std::lock_guard<std::mutex> lock(FLock);
            work.swap(FQueued);
        }
        for (auto& item : work)
            item();
    }

    std::atomic<bool> MonitorInFront{true};

private:
    mutable std::mutex FLock;
    std::vector<std::string> FLines;
    std::vector<std::function<void()>> FQueued;
    std::function<bool(const std::string&, const std::string&, int, int)> FRule;
    std::vector<TAccessRule> FTargetRules;
};

// A rule with a target: of every service and client, for AToHost:AToPort.
inline TAccessRule TargetRule(const std::string& AName, const std::string& AToHost,
                              const std::string& AToPort, const std::string& AAction,
                              const std::string& AVia = "") {
    TAccessRule rule{AName, "0.0.0.0", "0", "0.0.0.0", "0", AAction, "Yes"};
    rule.mToHost = AToHost;
    rule.mToPort = AToPort;
    rule.mVia = AVia;
    return rule;
}

inline bool HaveTool(const char* AName) {
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/" + AName;
        if (access(candidate.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

// A child process with pipes to its standard input and output.
class TChild {
public:
    explicit TChild(const std::vector<std::string>& AArgs) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::vector<char*> argv;
        for (const auto& arg : AArgs)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        // The proxy settings of the environment must not redirect or bypass
        // the proxy under test.
        std::vector<std::string> kept;
        for (char** item = environ; *item; ++item) {
            std::string entry = *item;
            std::string name = entry.substr(0, entry.find('='));
            std::transform(name.begin(), name.end(), name.begin(), ::tolower);
            if (name.find("proxy") == std::string::npos)
                kept.push_back(std::move(entry));
        }
        std::vector<char*> env;
        for (auto& entry : kept)
            env.push_back(entry.data());
        env.push_back(nullptr);
        if (posix_spawnp(&FPid, argv[0], &actions, nullptr, argv.data(), env.data()) != 0)
            FPid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        In.Reset(in[1]);
        Out.Reset(out[0]);
    }
    ~TChild() {
        if (FPid > 0 && Wait(5000) == -1) {
            kill(FPid, SIGKILL);
            waitpid(FPid, nullptr, 0);
        }
    }
    // The exit code, or -1 when it has not ended within ATimeout.
    int Wait(int ATimeout) {
        if (FPid <= 0)
            return FStatus;
        const bool ended = WaitFor(
            [&] {
                int status = 0;
                if (waitpid(FPid, &status, WNOHANG) != FPid)
                    return false;
                FStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
                FPid = -1;
                return true;
            },
            std::chrono::milliseconds(ATimeout));
        return ended ? FStatus : -1;
    }
    void CloseInput() { In.Reset(); }
    void Write(const std::string& AText) {
        for (size_t done = 0; done < AText.size();) {
            const ssize_t written = write(In.Get(), AText.data() + done, AText.size() - done);
            if (written <= 0)
                return;
            done += static_cast<size_t>(written);
        }
    }
    // Reads standard output until its end or ATimeout without data.
    std::string ReadToEnd(int ATimeout = 20000) {
        std::string text;
        for (;;) {
            const std::string part = Recv(Out.Get(), 65536, ATimeout);
            if (part.empty())
                return text;
            text += part;
        }
    }

    TFd In, Out;

private:
    pid_t FPid = -1;
    int FStatus = -1;
};

// Runs a command to its end; its standard output and exit code.
inline std::pair<int, std::string> Run(const std::vector<std::string>& AArgs) {
    TChild child(AArgs);
    child.CloseInput();
    std::string out = child.ReadToEnd();
    return {child.Wait(20000), out};
}

} // namespace kestrune::test
