// The per-connection context of a TCP server and the server's locked list of
// live contexts.
//
// A context lives on the event loop that accepted its client, from the
// connect step to its end: its steps, its waits and its relay all run on that
// loop's thread. Other threads reach live contexts only through
// TIdContextList::LockList/UnlockList and may only ask a context to end
// (Terminate, or Close on its relay), which the loop then carries out. A
// context leaves the list (under the lock) before it is freed, so a walker
// holding the lock may use every context it sees, but must not wait for a
// loop meanwhile nor make a system call per context (Pin() lets it act
// after unlocking).
#pragma once

#include "net/EventLoop.h"
#include "net/Relay.h"
#include "net/TCPConnection.h"

#include <atomic>
#include <exception>
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

class TIdServerContext : public TIdContext, public TIdLoopWatch {
public:
    TIdServerContext(TIdCustomTCPServer& AServer, std::unique_ptr<TIdTCPConnection> AConnection)
        : TIdContext(std::move(AConnection)), FServer(AServer) {}
    ~TIdServerContext() override;

    TIdCustomTCPServer& Server() const { return FServer; }
    // The loop that accepted the client and runs the context.
    TIdEventLoop& Loop() const { return *FLoop; }

    // A service's mark that it refused this client in its connect handler
    // (any thread may read it): the connection then ends without being
    // served, and its end is not that of an admitted connection.
    void Deny() { FDenied = true; }
    bool Denied() const { return FDenied.load(); }

    // The rest belongs to the loop's thread, for the server's steps.

    // Whether what the client sends is read into the input buffer and handed
    // to the execute step (on from the start). Off while the context waits
    // for something else: the client's bytes then wait in the system, and
    // only the client's close (or reset) ends the context meanwhile.
    void SetReading(bool AOn);
    bool Reading() const { return FReading; }
    // Ends the context once the current step is over: its disconnect step
    // runs, it leaves the list, and its connection is closed. AFailure, when
    // set, goes to the server's OnException.
    void Finish(std::exception_ptr AFailure = nullptr);
    bool Finished() const { return FEnded.load(); }
    // From here ARelay carries the connection; when it ends, AOnEnd runs and
    // then the context ends as Finish() would end it.
    void HandOver(std::unique_ptr<TIdRelay> ARelay, TIdRelay::TIdRelayEndEvent AOnEnd);
    // The relay handed over, or nullptr. From another thread: only while
    // holding the list's lock (Close() on it is how Drop and Stop end it).
    TIdRelay* Relaying() const { return FRelaying.load(); }
    // Runs AStep and takes what it raises as the end of the context, so that
    // a completion (a connect, a timer) is handled like a step.
    void Step(const std::function<void()>& AStep);

    // Any thread: asks the loop to end the context (a drop, deactivation):
    // there the server's TerminateContext step runs, then the context ends
    // (a relayed one ends with its relay). True when this call was the first
    // to ask a context that had not ended.
    bool Terminate();

protected:
    // The context is ending (on its loop): whatever it waits for is given up.
    virtual void Abandon() {}

private:
    friend class TIdCustomTCPServer;

    void OnEvents(uint32_t AEvents) override;
    // Whether the client's bytes wait to be read, here or in the system.
    bool UnreadInput();
    // Takes what the client has sent, up to the server's bound; false when
    // the client has gone.
    bool ReadInput(bool& ALimited);
    void Execute();

    TIdCustomTCPServer& FServer;
    TIdEventLoop* FLoop = nullptr;
    std::shared_ptr<TIdContext> FSelf; // while live
    std::atomic<bool> FDenied{false};
    std::atomic<bool> FEnded{false};
    std::atomic<bool> FTerminated{false};
    bool FWatched = false;
    bool FReading = true;
    bool FClientEnded = false;
    std::unique_ptr<TIdRelay> FRelay;
    std::atomic<TIdRelay*> FRelaying{nullptr};
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
    // addition are one step, so that loops accepting at once never take
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
