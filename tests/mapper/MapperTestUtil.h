// Helpers for the port mapper tests: a thread-safe recording host, accepts
// and datagram reads with deadlines, and streams of pseudo-random bytes
// checked by hash so that large transfers need no copy in memory.
#pragma once

#include "../net/NetTestUtil.h"
#include "WaitFor.h"

#include "base/ServiceHost.h"
#include "base/ServiceSettings.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace kestrune::test {

class TRecordingHost : public IServiceHost {
public:
    // Decides each access question; unset admits everyone. Set before the
    // service starts, or through SetAdmit while it runs: it is called from
    // the loops.
    std::function<bool(const std::string& ARemHost, int ARemPort)> Admit;
    void SetAdmit(std::function<bool(const std::string& ARemHost, int ARemPort)> AAdmit) {
        std::lock_guard<std::mutex> lock(FLock);
        Admit = std::move(AAdmit);
    }
    std::atomic<bool> MonitorInFront{true};

    void LogLine(const std::string& ALine) override {
        std::lock_guard<std::mutex> lock(FLock);
        FLines.push_back(ALine);
    }
    bool GetAccessRestriction(const std::string& AOwnHost, const std::string& ARemHost,
                              int AOwnPort, int ARemPort) override {
        std::lock_guard<std::mutex> lock(FLock);
        FAsked.push_back(AOwnHost + " " + std::to_string(AOwnPort));
        return !Admit || Admit(ARemHost, ARemPort);
    }
    bool IsMonitorInFront() const override { return MonitorInFront; }
    void Queue(std::function<void()> AWork) override { AWork(); }

    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(FLock);
        return FLines;
    }
    // Lines that begin with APrefix.
    int Count(const std::string& APrefix) const {
        std::lock_guard<std::mutex> lock(FLock);
        return static_cast<int>(std::count_if(FLines.begin(), FLines.end(), [&](auto& ALine) {
            return ALine.rfind(APrefix, 0) == 0;
        }));
    }
    bool WaitCount(const std::string& APrefix, int ACount) const {
        return WaitFor([&] { return Count(APrefix) >= ACount; });
    }
    // The listen address and port each access question named.
    std::vector<std::string> Asked() const {
        std::lock_guard<std::mutex> lock(FLock);
        return FAsked;
    }

private:
    mutable std::mutex FLock;
    std::vector<std::string> FLines;
    std::vector<std::string> FAsked;
};

// A mapper on 127.0.0.1 at a port the system chooses, towards 127.0.0.1:AMapPort.
inline void Configure(TPortMapperSettings& AMapper, const std::string& AName, uint16_t AMapPort,
                      bool ATCP, bool AUDP) {
    AMapper.mName = AName;
    AMapper.mOwnHost = "127.0.0.1";
    AMapper.mOwnPort = 0;
    AMapper.mMapHost = "127.0.0.1";
    AMapper.mMapPort = AMapPort;
    AMapper.mTCP = ATCP;
    AMapper.mUDP = AUDP;
}

// A TCP listener and a UDP socket on one port number. Both kinds share the
// system's range of free ports, so a port free for one may be taken for the
// other by some other socket: a few tries find one free for both.
inline std::pair<TFd, TFd> TcpAndUdpOnOnePort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        TFd tcp = Listener();
        TFd udp(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in addr = Loopback(LocalPort(tcp.Get()));
        if (bind(udp.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            return {std::move(tcp), std::move(udp)};
    }
    return {};
}

// FNV-1a over a byte stream, fed piece by piece.
class THash {
public:
    void Add(const char* AData, size_t ASize) {
        for (size_t i = 0; i < ASize; ++i)
            FValue = (FValue ^ static_cast<uint8_t>(AData[i])) * 0x100000001b3ULL;
        FSize += ASize;
    }
    uint64_t Value() const { return FValue; }
    uint64_t Size() const { return FSize; }

private:
    uint64_t FValue = 0xcbf29ce484222325ULL;
    uint64_t FSize = 0;
};

// Sends ASize pseudo-random bytes made from ASeed; answers their hash.
inline THash SendRandom(int AFd, size_t ASize, unsigned ASeed) {
    std::mt19937_64 random(ASeed);
    std::vector<uint64_t> words(8192);
    THash hash;
    size_t left = ASize;
    while (left > 0) {
        for (uint64_t& word : words)
            word = random();
        const size_t chunk = std::min(left, words.size() * sizeof(uint64_t));
        const char* data = reinterpret_cast<const char*>(words.data());
        size_t done = 0;
        while (done < chunk) {
            const ssize_t sent = send(AFd, data + done, chunk - done, MSG_NOSIGNAL);
            if (sent <= 0)
                return hash;
            done += static_cast<size_t>(sent);
        }
        hash.Add(data, chunk);
        left -= chunk;
    }
    return hash;
}

// Reads to end of stream (or ATimeout without data); answers the hash of what came.
inline THash ReceiveHashed(int AFd, int ATimeout = 10000) {
    THash hash;
    std::vector<char> chunk(65536);
    for (;;) {
        pollfd pfd{AFd, POLLIN, 0};
        if (poll(&pfd, 1, ATimeout) <= 0)
            return hash;
        const ssize_t got = recv(AFd, chunk.data(), chunk.size(), 0);
        if (got <= 0)
            return hash;
        hash.Add(chunk.data(), static_cast<size_t>(got));
    }
}

inline std::string Pattern(size_t ASize, char AFirst = 'a') {
    std::string text(ASize, '\0');
    for (size_t i = 0; i < ASize; ++i)
        text[i] = static_cast<char>(AFirst + static_cast<char>(i % 23));
    return text;
}

} // namespace kestrune::test
