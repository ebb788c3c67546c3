#include "proxy/SocksServerContext.h"

namespace kestrune {

bool TIdSocksServerContext::Close() {
    // The client goes first, so that a woken command finds it closed and
    // sends no refusal to a client that was dropped.
    bool wasOpen = false;
    TIdTCPConnection* connection = Connection();
    if (connection && connection->IOHandler()) {
        // The handler, not the connection: the connection's OnDisconnected
        // belongs to its own thread.
        wasOpen = connection->IOHandler()->Close();
    }
    TIdWakeUpPtr wakeUp;
    {
        std::lock_guard<std::mutex> lock(FCloseLock);
        FClosed = true;
        wakeUp = FCommandWakeUp;
    }
    if (wakeUp)
        wakeUp->Signal();
    return wasOpen;
}

void TIdSocksServerContext::ReleaseCommandWakeUp() {
    std::lock_guard<std::mutex> lock(FCloseLock);
    FCommandWakeUp.reset();
}

TIdWakeUpPtr TIdSocksServerContext::CommandWakeUp() {
    std::lock_guard<std::mutex> lock(FCloseLock);
    if (!FCommandWakeUp) {
        FCommandWakeUp = std::make_shared<TIdWakeUp>();
        if (FClosed)
            FCommandWakeUp->Signal();
    }
    return FCommandWakeUp;
}

} // namespace kestrune
