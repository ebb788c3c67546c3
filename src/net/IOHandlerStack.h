// The reading and writing side of one TCP connection: its socket binding, its
// input buffer, reads with time limits, writes reported as work.
//
// Reads, writes, Connected() and CheckForDataOnSource() belong to the thread
// that owns the connection. Close() and StillConnected() may be called from
// any thread; a close wakes the owner's wait at once and its next operation fails.
#pragma once

#include "net/Buffer.h"
#include "net/Component.h"
#include "net/SocketHandle.h"
#include "net/WakeUp.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace kestrune {

// Time-out arguments: the handler's ReadTimeout, or no limit.
constexpr int IdTimeoutDefault = -1;
constexpr int IdTimeoutInfinite = -2;

class TIdIOHandlerStack : public TIdComponent {
public:
    TIdIOHandlerStack();
    ~TIdIOHandlerStack() override;

    TIdBuffer InputBuffer;
    int RecvBufferSize = 32768;
    int SendBufferSize = 32768;
    int MaxLineLength = 16384;
    // Milliseconds; -1 or 0 waits without limit.
    int ReadTimeout = -1;

    TIdSocketHandle& Binding() { return *FBinding; }
    const TIdSocketHandle& Binding() const { return *FBinding; }

    bool Opened() const { return FOpened.load(); }
    bool ClosedGracefully() const { return FClosedGracefully.load(); }
    void Open();
    // Any thread: closes the socket and the handler, and signals the wake-up
    // of a connect in progress. Buffered input stays. Answers whether the
    // handler was open until now.
    bool Close();
    // Owner thread, for the length of a connect: a fresh wake-up that
    // Close() signals meanwhile, so that a connect which has no socket of its
    // own yet (a name lookup, several attempts) still ends at once. Disarm
    // when the connect is over: the wake-up holds a descriptor.
    TIdWakeUpPtr ArmCloseSignal();
    void DisarmCloseSignal();

    uint8_t ReadByte();
    // Exactly ACount bytes, appended to ABuffer (or replacing its contents).
    void ReadBytes(TIdBytes& ABuffer, size_t ACount, bool AAppend = true);
    std::string ReadString(size_t ACount);
    // Bytes up to ATerminator (empty: line feed, then one CR before it is
    // dropped too). A time-out gives an empty string.
    std::string ReadLn(const std::string& ATerminator = "", int ATimeout = IdTimeoutDefault,
                       int AMaxLineLength = -1);
    bool CheckForDataOnSource(int ATimeout = 0);
    bool InputBufferIsEmpty() const { return InputBuffer.Empty(); }

    // Owner thread; may take pending bytes into InputBuffer.
    bool Connected();
    // Any thread: whether the connection is still open, judged without
    // receiving and without touching InputBuffer (a service's Drop uses it).
    bool StillConnected();

    // Sends the whole array; reports no work.
    void Write(const TIdBytes& ABuffer);
    void Write(const std::string& AText);
    // A block write: ASize bytes in chunks of at most SendBufferSize, reported
    // as work of mode wmWrite with running totals.
    void Write(const uint8_t* AData, size_t ASize);
    void WriteDirect(const uint8_t* AData, size_t ASize);

    // Fills InputBuffer once; returns the bytes received, 0 for none, -1 on a
    // time-out that was not raised.
    int ReadFromSource(bool ARaiseExceptionIfDisconnected, int ATimeout,
                       bool ARaiseExceptionOnTimeout);
    void CheckForDisconnect(bool ARaiseExceptionIfDisconnected, bool AIgnoreBuffer);

private:
    int ResolveTimeout(int ATimeout) const;
    void WaitForBytes(size_t ACount);
    [[noreturn]] void RaiseClosed() const;

    std::unique_ptr<TIdSocketHandle> FBinding;
    std::mutex FCloseSignalLock;
    TIdWakeUpPtr FCloseSignal;
    std::atomic<bool> FOpened{false};
    std::atomic<bool> FClosedGracefully{false};
};

} // namespace kestrune
