// The configuration of the two kinds of service, as the settings file, the
// dialogs and the services themselves hold it. Plain values; main thread.
#pragma once

#include <cstdint>
#include <string>

namespace kestrune {

// The range a value may take: the dialog's spinner holds it there, and
// loading brings a value from the file into it.
struct TValueRange {
    int32_t Min;
    int32_t Max;
};

// What both kinds share besides their name: the values the dialogs hold in
// spinners and a check box.
struct TServiceValues {
    static constexpr TValueRange QueueRange{1, 1000};
    static constexpr TValueRange LimitRange{0, 5000};
    static constexpr TValueRange WaitRange{1, 3600};
    static constexpr TValueRange BufferRange{4, 4096};

    int32_t mQueue = 15;  // listen backlog
    int32_t mLimit = 0;   // most simultaneous connections, 0 = no limit
    int32_t mWait = 5;    // seconds
    int32_t mBuffer = 64; // relay block size in KB
    bool mEnable = true;

    // In the units the servers take, computed without overflow.
    int64_t BufferBytes() const { return int64_t{mBuffer} * 1024; }
    int64_t WaitMilliseconds() const { return int64_t{mWait} * 1000; }

    bool operator==(const TServiceValues&) const = default;
};

struct TProxyServerSettings : TServiceValues {
    std::string mName;
    std::string mHost; // listen address; "0.0.0.0" or "::" is every local address of its family
    std::string mUser; // user name required from SOCKS5 clients; empty for none
    std::string mPass;
    int32_t mPort = 1080;
    bool mFive = true;  // SOCKS5 allowed
    bool mFour = false; // SOCKS4 allowed
    bool mUDP = false;  // SOCKS5 UDP ASSOCIATE allowed
    // The local address outbound connections leave from: empty for the
    // system's choice, "same" for the address the client came in on.
    std::string mOutHost;
    std::string mVia;   // upstream proxy of every outbound connection; empty or "direct" for none
    bool mHTTP = false; // HTTP proxy requests accepted beside SOCKS

    bool operator==(const TProxyServerSettings&) const = default;
};

struct TPortMapperSettings : TServiceValues {
    std::string mName;
    std::string mOwnHost; // listen address
    std::string mMapHost; // remote address
    int32_t mOwnPort = 9000;
    int32_t mMapPort = 9001;
    bool mTCP = true;
    bool mUDP = false;
    bool mTwoWay = false; // UDP answers routed back to their sender
    std::string mOutHost; // as for a proxy server
    std::string mVia;     // upstream proxy of the TCP connections to the remote address

    bool operator==(const TPortMapperSettings&) const = default;
};

} // namespace kestrune
