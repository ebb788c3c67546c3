// A TCP connection: owns its I/O handler and reports the handler's work as
// its own. Used by the loop that runs it; Disconnect() may also be
// called from another thread (OnDisconnected then runs there).
#pragma once

#include "net/Component.h"
#include "net/IOHandlerStack.h"

#include <functional>
#include <memory>

namespace kestrune {

class TIdTCPConnection : public TIdComponent {
public:
    TIdTCPConnection() = default;
    explicit TIdTCPConnection(std::unique_ptr<TIdIOHandlerStack> AIOHandler);
    ~TIdTCPConnection() override;

    TIdIOHandlerStack* IOHandler() const { return FIOHandler.get(); }
    // The handler seen as a socket handler; the same object here.
    TIdIOHandlerStack* Socket() const { return FIOHandler.get(); }
    void SetIOHandler(std::unique_ptr<TIdIOHandlerStack> AIOHandler);
    // Owner thread: gives the handler (and with it the socket) away; the
    // connection is left without one.
    std::unique_ptr<TIdIOHandlerStack> ReleaseIOHandler();

    bool Connected() const;
    // Closes the handler and raises OnDisconnected, once.
    void Disconnect();

    std::function<void(TIdTCPConnection& ASender)> OnDisconnected;

protected:
    std::unique_ptr<TIdIOHandlerStack> FIOHandler;
};

} // namespace kestrune
