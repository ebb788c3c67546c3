// An outbound TCP connection. Connect() runs on the calling thread (a
// connection thread of a server); Disconnect() from another thread, or the
// stop of the server whose thread is connecting, ends a connect in progress.
#pragma once

#include "net/TCPConnection.h"
#include "net/WakeUp.h"

#include <string>

namespace kestrune {

class TIdTCPClient : public TIdTCPConnection {
public:
    // The handler exists from the start and is reused by every Connect, so
    // that another thread may always reach it to end a connect.
    TIdTCPClient();

    std::string Host;
    TIdPort Port = 0;
    TIdIPVersion IPVersion = Id_IPv4;
    // Milliseconds; 0 or -1 waits as long as the system does.
    int ConnectTimeout = 0;
    int ReadTimeout = -1;
    bool UseNagle = true;

    // Ends a connect in progress when signalled. Unset: the wake-up of the
    // server whose connection thread calls Connect, if any.
    void SetWakeUp(TIdWakeUpPtr AWakeUp) { FWakeUp = std::move(AWakeUp); }

    // Raises EIdAlreadyConnected, EIdHostRequired, EIdPortRequired,
    // EIdConnectTimeout or EIdSocketError.
    void Connect();

    // "localhost" in any case becomes the loopback literal of the family;
    // literals are used as they are; other names are looked up for that
    // family only. Raises EIdSocketError when the lookup fails.
    static std::string ResolveHost(const std::string& AHost, TIdIPVersion AIPVersion);

private:
    TIdWakeUpPtr FWakeUp;
};

// Waits until AHandle (a non-blocking socket with a connect in progress or a
// listening socket) shows AEvents, AWakeUp is signalled, or ATimeout ms pass
// (negative: no limit). Answers 1 when ready, 0 on time-out, -1 when woken.
int WaitSocketOrWakeUp(int AHandle, short AEvents, const TIdWakeUpPtr& AWakeUp, int ATimeout);

} // namespace kestrune
