// The per-connection context of a TCP server and the server's locked list of
// live contexts.
//
// A context is built on the listener thread and runs on its own connection
// thread. Other threads reach live contexts only through
// TIdContextList::LockList/UnlockList; a context leaves the list (under the
// lock) before it is freed, so a walker holding the lock may use every
// context it sees, but must not wait for a connection thread meanwhile.
#pragma once

#include "net/TCPConnection.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrune {

class TIdCustomTCPServer;
class TIdContextList;

class TIdContext {
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

private:
    TIdCustomTCPServer& FServer;
    std::atomic<bool> FDenied{false};
};

class TIdContextList {
public:
    // Returns the live contexts with the list's lock held; pair with UnlockList.
    std::vector<TIdContext*>& LockList() {
        FLock.lock();
        return FItems;
    }
    void UnlockList() { FLock.unlock(); }

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

private:
    mutable std::mutex FLock;
    std::vector<TIdContext*> FItems;
};

} // namespace kestrune
