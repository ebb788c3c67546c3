// One SOCKS request on one accepted connection: what the request exchange
// learnt (version, credentials, address family) and the means to end the
// request from outside.
//
// The fields belong to the connection's own thread. Close() may be called
// from any thread (a service's connect handler, Drop,
// deactivation); Close() wakes the connection's thread from any wait at once.
#pragma once

#include "net/Context.h"
#include "net/WakeUp.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace kestrune {

class TIdSocksServerContext : public TIdServerContext {
public:
    TIdSocksServerContext(TIdCustomTCPServer& AServer,
                          std::unique_ptr<TIdTCPConnection> AConnection)
        : TIdServerContext(AServer, std::move(AConnection)) {}

    // Address family of the request: the family of the outbound connection
    // and the address type of SOCKS5 replies.
    TIdIPVersion IPVersion() const { return FIPVersion; }
    const std::string& Username() const { return FUsername; }
    const std::string& Password() const { return FPassword; }
    uint8_t SocksVersion() const { return FSocksVersion; }

    // Closes the client connection and ends the outbound connect or the BIND
    // wait of the request, if one is running or about to start. Answers
    // whether the client connection was open until now.
    bool Close();

private:
    friend class TIdCustomSocksServer;
    friend class TIdSocksServer;

    // The wake-up that the waits of the current command watch: an outbound
    // connect or a BIND's accept. Already signalled when the context was
    // closed before the command began.
    TIdWakeUpPtr CommandWakeUp();
    // Once the command's waits are over (its relay needs none).
    void ReleaseCommandWakeUp();

    TIdIPVersion FIPVersion = Id_IPv4;
    std::string FUsername;
    std::string FPassword;
    uint8_t FSocksVersion = 0;

    std::mutex FCloseLock;
    bool FClosed = false;
    TIdWakeUpPtr FCommandWakeUp;
};

} // namespace kestrune
