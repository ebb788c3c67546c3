// The datagram server: one UDP socket and one listener thread per binding;
// each datagram is handed to OnUDPRead with the binding it arrived on, whose
// PeerIP/PeerPort name the sender.
//
// Active and the properties are set by one controlling thread. OnUDPRead and
// OnUDPException run on the binding's listener thread, one datagram after
// another in arrival order; they must not wait for the controlling thread.
#pragma once

#include "net/SocketHandle.h"
#include "net/WakeUp.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrune {

class TIdUDPServer;

class TIdUDPListenerThread {
public:
    TIdUDPListenerThread(TIdUDPServer& AServer, TIdSocketHandle& ABinding);
    ~TIdUDPListenerThread();
    TIdUDPListenerThread(const TIdUDPListenerThread&) = delete;
    TIdUDPListenerThread& operator=(const TIdUDPListenerThread&) = delete;

    TIdSocketHandle& Binding() const { return FBinding; }
    TIdUDPServer& Server() const { return FServer; }

private:
    friend class TIdUDPServer;
    void Start();
    void TerminateAndWait();
    void Run();
    void Receive();
    void ReportFailure(const std::string& AMessage, const std::string& AClass);

    TIdUDPServer& FServer;
    TIdSocketHandle& FBinding;
    TIdWakeUpPtr FStop;
    std::atomic<bool> FStopped{false};
    TIdBytes FBuffer;
    std::unique_ptr<uint8_t[]> FReceive; // BufferSize bytes, received into
    std::thread FThread;
};

class TIdUDPServer {
public:
    using TUDPReadEvent = std::function<void(TIdUDPListenerThread& AThread, const TIdBytes& AData,
                                             TIdSocketHandle& ABinding)>;
    using TIdUDPExceptionEvent =
        std::function<void(TIdUDPListenerThread& AThread, TIdSocketHandle& ABinding,
                           const std::string& AMessage, const std::string& AExceptionClass)>;

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
    void Activate();
    void Deactivate();

    std::mutex FListenerLock;
    std::vector<std::unique_ptr<TIdUDPListenerThread>> FListenerThreads;
    TIdSocketHandle* FCurrentBinding = nullptr;
    TIdWakeUpPtr FStop;
};

} // namespace kestrune
