// What a service (proxy server, port mapper) may ask of its owner.
//
// Every method may be called from any thread (listener, connection and
// datagram threads included) and returns without waiting for the main
// thread. The owner (TMainForm, or a recorder in tests) implements it.
#pragma once

#include "base/AccessRule.h"

#include <cstdint>
#include <functional>
#include <string>

namespace kestrune {

class IServiceHost {
public:
    virtual ~IServiceHost() = default;

    // Appends a line to the event log (time stamp added by the log).
    virtual void LogLine(const std::string& line) = 0;

    // Logs "[name] Denied: " + peer for a refused connection or datagram of
    // the peer at `address`; the owner may collapse a peer's repeated
    // refusals into one line.
    virtual void LogDenied(const std::string& name, const std::string& /*address*/,
                           const std::string& peer) {
        LogLine("[" + name + "] Denied: " + peer);
    }

    // Logs "[name] " + reason + ": " + peer for a peer turned away for
    // another reason than the rules (reason "Too many senders"); collapsed
    // like LogDenied.
    virtual void LogRefused(const std::string& name, const std::string& reason,
                            const std::string& /*address*/, const std::string& peer) {
        LogLine("[" + name + "] " + reason + ": " + peer);
    }

    // True when the access rules admit a peer at mRemHost:mRemPort to the
    // service listening at mOwnHost:mOwnPort.
    virtual bool GetAccessRestriction(const std::string& mOwnHost, const std::string& mRemHost,
                                      int mOwnPort, int mRemPort) = 0;

    // The verdict of the destination rules on a request of the client at
    // mRemHost:mRemPort to the service at mOwnHost:mOwnPort for ATarget.
    // NeedsAddress asks again once the target's name is resolved; with
    // ASkipAddressRules (the name is to be resolved elsewhere) only the
    // rules that the name and port decide take part. A host without
    // destination rules allows every target.
    virtual TDestinationVerdict GetDestinationRestriction(const std::string& /*mOwnHost*/,
                                                          const std::string& /*mRemHost*/,
                                                          int /*mOwnPort*/, int /*mRemPort*/,
                                                          const TDestination& /*ATarget*/,
                                                          bool /*ASkipAddressRules*/) {
        return {};
    }

    // True while the traffic monitor page is the page in front; the services
    // add to mTraf only then.
    virtual bool IsMonitorInFront() const = 0;

    // Runs `work` on the main thread: at once when called there, later
    // otherwise; never waits.
    virtual void Queue(std::function<void()> work) = 0;
};

} // namespace kestrune
