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

#include <memory>
#include <mutex>
#include <vector>

namespace kestrune {

class TIdCustomTCPServer;
class TIdContextList;

class TIdContext {
public:
    TIdContext(std::unique_ptr<TIdTCPConnection> AConnection, TIdContextList* AContextList);
    virtual ~TIdContext();
    TIdContext(const TIdContext&) = delete;
    TIdContext& operator=(const TIdContext&) = delete;

    TIdTCPConnection* Connection() const { return FConnection.get(); }
    // The connection's socket; nullptr when it has no socket handler.
    TIdSocketHandle* Binding() const;
    TIdContextList* ContextList() const { return FContextList; }

private:
    std::unique_ptr<TIdTCPConnection> FConnection;
    TIdContextList* FContextList;
};

class TIdServerContext : public TIdContext {
public:
    TIdServerContext(TIdCustomTCPServer& AServer, std::unique_ptr<TIdTCPConnection> AConnection,
                     TIdContextList* AContextList)
        : TIdContext(std::move(AConnection), AContextList), FServer(AServer) {}

    TIdCustomTCPServer& Server() const { return FServer; }

private:
    TIdCustomTCPServer& FServer;
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
    void Remove(TIdContext* AContext);

private:
    mutable std::mutex FLock;
    std::vector<TIdContext*> FItems;
};

} // namespace kestrune
