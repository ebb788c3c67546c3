// The datagram server: one UDP socket per binding, each watched by one event
// loop, which hands every datagram to OnUDPRead with the binding it arrived
// on, whose PeerIP/PeerPort name the sender.
//
// Active and the properties are set by one controlling thread. OnUDPRead and
// OnUDPException run on the binding's loop, one datagram after another in
// arrival order; they must not wait for the controlling thread.
#pragma once

#include "net/EventLoop.h"
#include "net/SocketHandle.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrune {

class TIdUDPServer {
public:
    using TUDPReadEvent = std::function<void(const TIdBytes& AData, TIdSocketHandle& ABinding)>;
    using TIdUDPExceptionEvent =
        std::function<void(TIdSocketHandle& ABinding, const std::string& AMessage,
                           const std::string& AExceptionClass)>;

    TIdUDPServer();
    ~TIdUDPServer();
    TIdUDPServer(const TIdUDPServer&) = delete;
    TIdUDPServer& operator=(const TIdUDPServer&) = delete;

    TIdPort DefaultPort = 0;
    TIdSocketHandles Bindings{DefaultPort};
    // Largest datagram taken; a longer one is dropped without any event.
    int BufferSize = 8192;
    TIdIPVersion IPVersion = Id_IPv4;

    TUDPReadEvent OnUDPRead;
    TIdUDPExceptionEvent OnUDPException;

    // Raises EIdCouldNotBindSocket (or another socket error) and stays
    // inactive when a binding cannot be bound.
    void SetActive(bool AValue);
    // True while the first binding of the last activation has an open socket.
    bool Active() const;

private:
    class TReader;
    void Activate();
    void Deactivate();

    std::vector<std::unique_ptr<TReader>> FReaders;
    TIdSocketHandle* FCurrentBinding = nullptr;
};

} // namespace kestrune
