// An outbound TCP connection. Connect() runs on the calling thread (a
// connection thread of a server); Disconnect() from another thread, or the
// stop of the server whose thread is connecting, ends a connect in progress,
// the name lookup included.
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
    // The family of the connection once connected; a name may resolve to
    // either, and the first address to answer wins.
    TIdIPVersion IPVersion = Id_IPv4;
    // Milliseconds for the lookup and the connect together; 0 or -1 waits
    // as long as the system does.
    int ConnectTimeout = 0;
    int ReadTimeout = -1;
    bool UseNagle = true;

    // Ends a connect in progress when signalled. Unset: the wake-up of the
    // server whose connection thread calls Connect, if any.
    void SetWakeUp(TIdWakeUpPtr AWakeUp) { FWakeUp = std::move(AWakeUp); }

    // Tries the addresses of Host in the resolver's order; an attempt that
    // has not finished within 250 ms is joined by one to the next address,
    // and the first to connect wins. Raises EIdAlreadyConnected,
    // EIdHostRequired, EIdPortRequired, EIdConnectTimeout or EIdSocketError
    // (the last attempt's error; ECONNABORTED when woken or disconnected).
    void Connect();

private:
    TIdWakeUpPtr FWakeUp;
};

// Waits until AHandle (a non-blocking socket with a connect in progress or a
// listening socket) shows AEvents, AWakeUp is signalled, or ATimeout ms pass
// (negative: no limit). Answers 1 when ready, 0 on time-out, -1 when woken.
int WaitSocketOrWakeUp(int AHandle, short AEvents, const TIdWakeUpPtr& AWakeUp, int ATimeout);

} // namespace kestrune
