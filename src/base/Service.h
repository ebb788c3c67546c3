// The part every configured service shares: its five counters and the
// commands the application core gives it. The configuration (name, enable
// flag, addresses) lives in the service's settings struct.
//
// Start, Stop and Drop are called on the main thread. The counters are
// changed by connection and datagram threads and read by the monitor on the
// main thread, so each is atomic; the monitor reads and resets mTraf with one
// exchange.
#pragma once

#include "base/ServiceHost.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>

namespace kestrune {

class TService {
public:
    TService() = default;
    virtual ~TService() = default;
    TService(const TService&) = delete;
    TService& operator=(const TService&) = delete;

    // Opens the listening socket(s) and logs "Started", or logs
    // "Listen failed" and stays stopped; never raises.
    virtual void Start() = 0;
    // Nothing when not listening; otherwise drops every connection, stops
    // listening, zeroes the counters and logs "Stopped".
    virtual void Stop() = 0;
    // Closes every open connection, counting each in mDrop.
    virtual void Drop() = 0;
    virtual bool Listening() const = 0;
    // The access rules have changed: flows that outlive the check of their
    // first packet are held to the new rules.
    virtual void AccessRulesChanged() {}

    virtual const std::string& ServiceName() const = 0;
    virtual bool ServiceEnabled() const = 0;

    // Bytes written to a client: always part of the total, and of the rate
    // only while the monitor page is in front.
    void AddTraffic(int64_t ABytes, bool AMonitorInFront) {
        if (AMonitorInFront)
            mTraf += ABytes;
        mTrafTotal += ABytes;
    }

    void ResetCounters() {
        mOnline = 0;
        mOnTotal = 0;
        mDrop = 0;
        mTraf = 0;
        mTrafTotal = 0;
    }

    std::atomic<int64_t> mOnline{0};
    std::atomic<int64_t> mOnTotal{0};
    std::atomic<int64_t> mDrop{0};
    std::atomic<int64_t> mTraf{0};
    std::atomic<int64_t> mTrafTotal{0};
};

// AValue held to the range of an int, for the servers' int settings.
inline int SaturatedInt(int64_t AValue) {
    return static_cast<int>(std::clamp<int64_t>(AValue, INT32_MIN, INT32_MAX));
}

// A service of one kind: its settings, the owner it reports to, and the
// parts of the interface that only need the settings.

template <typename TSettings> class TConfiguredService : public TService, public TSettings {
public:
    explicit TConfiguredService(IServiceHost& AOwner) : mOwner(AOwner) {}

    const std::string& ServiceName() const override { return this->mName; }
    bool ServiceEnabled() const override { return this->mEnable; }

protected:
    // A line of this service in the event log: "[name] " + AText.
    void Log(const std::string& AText) { mOwner.LogLine("[" + this->mName + "] " + AText); }
    // "[name] Denied: " + APeer, for a refusal of the peer at AAddress.
    void LogDenied(const std::string& AAddress, const std::string& APeer) {
        mOwner.LogDenied(this->mName, AAddress, APeer);
    }
    void CountTraffic(int64_t ABytes) { AddTraffic(ABytes, mOwner.IsMonitorInFront()); }
    // The two ends of a shortage of descriptors or threads, once each.
    void LogOutOfResources(const std::string& AReason) {
        Log("Out of resources: refusing new clients (" + AReason + ")");
    }
    void LogServingAgain() { Log("Serving again"); }
    // A line that every connection would repeat (a cause that lasts):
    // logged the first time since ForgetLogged only. Any thread.
    void LogOnce(const std::string& AText) {
        {
            std::lock_guard<std::mutex> lock(mLoggedLock);
            if (!mLogged.insert(AText).second)
                return;
        }
        Log(AText);
    }
    void ForgetLogged() {
        std::lock_guard<std::mutex> lock(mLoggedLock);
        mLogged.clear();
    }

    IServiceHost& mOwner;

private:
    std::mutex mLoggedLock;
    std::set<std::string> mLogged;
};

} // namespace kestrune
