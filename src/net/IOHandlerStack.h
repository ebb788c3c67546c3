// The reading and writing side of one TCP connection: its socket binding, its
// input buffer (what has been received and not yet consumed), writes
// reported as work.
//
// The socket is non-blocking and belongs to the event loop that runs the
// connection: reads go through the loop (net/Context.h), and a write that
// the socket cannot take at once fails instead of waiting. Close() may be called
// from any thread.
#pragma once

#include "net/Buffer.h"
#include "net/Component.h"
#include "net/SocketHandle.h"

#include <atomic>
#include <memory>
#include <string>

namespace kestrune {

class TIdIOHandlerStack : public TIdComponent {
public:
    TIdIOHandlerStack();
    ~TIdIOHandlerStack() override;

    TIdBuffer InputBuffer;
    int RecvBufferSize = 32768;
    int SendBufferSize = 32768;
    int MaxLineLength = 16384;

    TIdSocketHandle& Binding() { return *FBinding; }
    const TIdSocketHandle& Binding() const { return *FBinding; }

    bool Opened() const { return FOpened.load(); }
    bool ClosedGracefully() const { return FClosedGracefully.load(); }
    void Open();
    // Any thread: closes the socket and the handler. Buffered input stays.
    // Answers whether the handler was open until now.
    bool Close();
    // The peer has ended its stream (a read found its end).
    void MarkEnded() { FClosedGracefully = true; }
    // The peer reset the connection before anything read it, and the
    // system has reported it already: the end that a read finds is a reset.
    void MarkReset() { FReset = true; }
    bool WasReset() const { return FReset.load(); }

    // Open, and not ended by the peer with nothing left to consume.
    bool Connected() const;

    // Sends the whole array or raises (EIdSocketError, EIdClosedSocket);
    // reports no work.
    void Write(const TIdBytes& ABuffer);
    void Write(const std::string& AText);
    // A block write: ASize bytes in chunks of at most SendBufferSize, reported
    // as work of mode wmWrite with running totals.
    void Write(const uint8_t* AData, size_t ASize);
    void WriteDirect(const uint8_t* AData, size_t ASize);

private:
    [[noreturn]] void RaiseClosed() const;

    std::unique_ptr<TIdSocketHandle> FBinding;
    std::atomic<bool> FOpened{false};
    std::atomic<bool> FClosedGracefully{false};
    std::atomic<bool> FReset{false};
};

} // namespace kestrune
