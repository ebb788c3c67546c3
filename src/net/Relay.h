// Moves bytes both ways between a client connection and a remote one until
// both directions have ended: the one relay of the SOCKS server and the
// mapped port.
//
// Run() occupies the calling thread (the client's connection thread), which
// owns both connections. Another thread may close either connection's socket
// (Drop, a denial, deactivation); Run() then returns at once. The hooks and
// the client's work events run on the calling thread.
#pragma once

#include "net/TCPConnection.h"

#include <functional>

namespace kestrune {

class TIdRelay {
public:
    enum TIdRelayEnd {
        reFinished, // both sides ended their streams; the sockets are left open
        reClosed,   // a socket was closed from another thread; both are closed
        reError,    // a reset or error on either side; both are closed
    };

    // Blocks read from the client are at most AClientBlockSize bytes, blocks
    // read from the remote side at most ARemoteBlockSize.
    TIdRelay(TIdTCPConnection& AClient, TIdTCPConnection& ARemote, size_t AClientBlockSize,
             size_t ARemoteBlockSize);

    // Sees each client block before it goes to the remote side and may change
    // it; an emptied block is dropped. Costs a resize per block, so leave it
    // unset when not needed.
    std::function<void(TIdBytes& ABlock)> OnClientData;
    // The same for each block from the remote side before it goes to the client.
    std::function<void(TIdBytes& ABlock)> OnRemoteData;

    // Bytes already waiting in either connection's InputBuffer go first. Each
    // block written whole to the client is reported on the client connection
    // as work of mode wmWrite with the block's length. End of stream on one
    // side reaches the other as a half-close.
    TIdRelayEnd Run();

    // After Run(): whether the remote side ended its stream or failed, as
    // opposed to an end that came from the client side or another thread.
    bool RemoteEnded() const { return !FDown.ReadOpen || FRemoteFailed; }

private:
    struct TDirection {
        TDirection(TIdTCPConnection& AFrom, TIdTCPConnection& ATo, size_t ABlockSize,
                   std::function<void(TIdBytes&)>* AHook, bool AReportWork)
            : From(AFrom), To(ATo), BlockSize(ABlockSize), Hook(AHook), ReportWork(AReportWork) {}

        TIdTCPConnection& From;
        TIdTCPConnection& To;
        size_t BlockSize;
        std::function<void(TIdBytes&)>* Hook;
        bool ReportWork;
        uint8_t* Block = nullptr; // BlockSize bytes of the relay's block memory
        TIdBytes Hooked;          // the block as the hook left it
        const uint8_t* Out = nullptr;
        size_t Length = 0; // bytes at Out still to be written, from Offset
        size_t Offset = 0;
        bool ReadOpen = true;
        bool ShutdownSent = false;

        bool Pending() const { return Offset < Length; }
        bool Done() const { return !ReadOpen && !Pending(); }
    };

    // The blocks of both directions, made on first use straight from the
    // system (or taken over from the last relay on this thread): untouched
    // pages cost no memory, so an idle relay stays small.
    class TBlockMemory {
    public:
        ~TBlockMemory();
        uint8_t* Get(size_t ASize);

    private:
        void* FMemory = nullptr;
        size_t FSize = 0;
    };

    void EnsureBlocks();
    bool TakeBuffered(TDirection& ADirection);
    bool Accept(TDirection& ADirection, size_t AReceived);
    // false: an error ends the relay.
    bool Receive(TDirection& ADirection, int AFrom, int ATo);
    bool Send(TDirection& ADirection, int ATo);
    void Completed(TDirection& ADirection);
    // Notes which side an error came from; answers false for the callers' sake.
    bool Failed(const TIdTCPConnection& ASide);
    TIdRelayEnd Close(TIdRelayEnd AEnd);

    TIdTCPConnection& FClient;
    TIdTCPConnection& FRemote;
    TDirection FUp;   // client -> remote
    TDirection FDown; // remote -> client
    TBlockMemory FMemory;
    bool FRemoteFailed = false;
};

} // namespace kestrune
