// The per-connection context of a TCP server and the server's locked list of
// live contexts.
//
// A context is built on the listener thread and runs on its own connection
// thread until its request exchange is done; a relay then carries it on an
// event loop, where it also ends. Other threads reach live contexts only
// through TIdContextList::LockList/UnlockList; a context leaves the list
// (under the lock) before it is freed, so a walker holding the lock may use
// every context it sees, but must not wait for a connection thread meanwhile
// nor make a system call per context (Pin() lets it act after unlocking).
#pragma once

#include "net/Relay.h"
#include "net/TCPConnection.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrune {

class TIdCustomTCPServer;
class TIdContextList;

// Owned through shared pointers, so that a walker of the list can keep one
// alive after unlocking (TIdContextList::Pin).
class TIdContext : public std::enable_shared_from_this<TIdContext> {
public:
    explicit TIdContext(std::unique_ptr<TIdTCPConnection> AConnection);
    virtual ~TIdContext();
    TIdContext(const TIdContext&) = delete;
    TIdContext& operator=(const TIdContext&) = delete;

    TIdTCPConnection* Connection() const { return FConnection.get(); }
    // The connection's socket; nullptr when it has no socket handler.
    TIdSocketHandle* Binding() const;

private:
    std::unique_ptr<TIdTCPConnection> FConnection;
};

class TIdServerContext : public TIdContext {
public:
    TIdServerContext(TIdCustomTCPServer& AServer, std::unique_ptr<TIdTCPConnection> AConnection)
        : TIdContext(std::move(AConnection)), FServer(AServer) {}

    TIdCustomTCPServer& Server() const { return FServer; }

    // A service's mark that it refused this client in its connect handler
    // (any thread may read it): the connection then ends without being
    // served, and its end is not that of an admitted connection.
    void Deny() { FDenied = true; }
    bool Denied() const { return FDenied.load(); }

    // From a step on the context's own thread: once the step has returned,
    // ARelay carries the connection on an event loop and the thread is free
    // for the next client. When the relay ends, AOnEnd runs on the loop and
    // the context then ends there as it would have on its thread (disconnect
    // step, leaving the list). The step should return false (no more passes).
    void HandOver(std::unique_ptr<TIdRelay> ARelay, TIdRelay::TIdRelayEndEvent AOnEnd);
    // The relay handed over, or nullptr. From another thread: only while
    // holding the list's lock (Close() on it is how Drop and Stop end it).
    TIdRelay* Relaying() const { return FRelaying.load(); }

private:
    friend class TIdCustomTCPServer;

    TIdCustomTCPServer& FServer;
    std::atomic<bool> FDenied{false};
    std::unique_ptr<TIdRelay> FRelay;
    std::atomic<TIdRelay*> FRelaying{nullptr};
    TIdRelay::TIdRelayEndEvent FOnRelayEnd;
};

class TIdContextList {
public:
    // Returns the live contexts with the list's lock held; pair with UnlockList.
    std::vector<TIdContext*>& LockList() {
        FLock.lock();
        MarkListWalk(true);
        return FItems;
    }
    void UnlockList() {
        MarkListWalk(false);
        FLock.unlock();
    }

    size_t Count() const {
        std::lock_guard<std::mutex> lock(FLock);
        return FItems.size();
    }
    void Add(TIdContext* AContext);
    // Adds AContext unless AMax (above 0) are live already; the count and the
    // addition are one step, so that threads accepting at once never take
    // more than AMax places between them.
    bool AddBelow(TIdContext* AContext, int AMax);
    void Remove(TIdContext* AContext);
    // AContext (a listed one, walked under the lock) kept alive beyond the
    // unlock; empty for a context not owned by a shared pointer.
    static std::shared_ptr<TIdContext> Pin(TIdContext& AContext) {
        return AContext.weak_from_this().lock();
    }

private:
    mutable std::mutex FLock;
    std::vector<TIdContext*> FItems;
};

} // namespace kestrune
