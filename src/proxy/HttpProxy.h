// The HTTP proxy side of a proxy server: one client connection that spoke
// HTTP first, served request by request. A CONNECT opens a tunnel (the
// client and its target then go to a relay, as a SOCKS CONNECT does); a
// request in absolute form goes to its origin with the hop-by-hop fields
// left out, its body and the answer streamed through, and both connections
// kept for the next request while both sides want it (the origin's while
// the requests go to the same origin).
//
// It runs on the loop of its client connection and belongs to that loop's
// thread. What it holds is bounded: one head (64 KB) while it is read, and
// at most one block per direction on its way.
#pragma once

#include "net/EventLoop.h"
#include "net/TCPClient.h"
#include "proxy/HttpMessage.h"

#include <memory>
#include <string>

namespace kestrune {

class TIdSocksServer;
class TIdSocksServerContext;

class THttpSession {
public:
    THttpSession(TIdSocksServer& AServer, TIdSocksServerContext& AContext);
    ~THttpSession();
    THttpSession(const THttpSession&) = delete;
    THttpSession& operator=(const THttpSession&) = delete;

    // Takes the client's socket over from the context and serves what it
    // has sent so far.
    void Start();
    // The context is ending: the origin connection goes.
    void Close();

private:
    class TWatch;
    enum TStage {
        hsHead,       // reading a request head
        hsConnecting, // the head is in; its target is being reached
        hsRequest,    // the request's body goes to the origin
        hsResponse,   // the request is all sent; the answer comes back
        hsClosing,    // the last answer goes out, then the connection closes
        hsDone,       // handed to a relay, or over
    };

    void ClientEvents(uint32_t AEvents);
    void OriginEvents(uint32_t AEvents);
    // Moves whatever can move now; every event ends here.
    void Pump();
    // One step of the stage at hand; false when nothing more can move now.
    bool Step();
    bool ReadClient();
    bool ReadOrigin();
    bool FlushClient();
    bool FlushOrigin();
    void Request();
    void Connected(TIdTCPClient::TIdConnectResult AResult);
    void ResponseEnded();
    // Answers the client with one of the proxy's own answers and closes
    // once it is out.
    void Refuse(int AStatus);
    void SendToClient(std::string_view AText, bool ACount);
    void DropOrigin();
    void Fail();

    TIdSocksServer& FServer;
    TIdSocksServerContext& FContext;
    TIdEventLoop& FLoop;
    std::shared_ptr<TWatch> FClientWatch;
    std::shared_ptr<TWatch> FOriginWatch;
    TStage FStage = hsHead;
    THttpRequestParser FRequests;
    THttpResponseParser FResponses;
    THttpRequestHead FHead; // the request being served
    bool FAuthenticated = false;
    std::string FLogin; // the credentials the client authenticated with

    int FClient = -1;
    bool FClientReadable = true;
    bool FClientWritable = true;
    bool FClientEnded = false;
    std::string FToClient;       // on its way to the client: at most a block and a head
    size_t FToClientCounted = 0; // of it, what counts as traffic once written

    std::unique_ptr<TIdTCPClient> FOrigin;
    std::string FOriginKey; // host:port of the origin connected
    int FOriginHandle = -1;
    bool FOriginReadable = false;
    bool FOriginWritable = true;
    bool FOriginEnded = false;
    bool FOriginKept = false; // the origin keeps its connection after this answer
    std::string FFromOrigin;  // read from the origin, not yet parsed
    std::string FToOrigin;    // on its way to the origin: a head or a block of body
    bool FRequestDone = false;
    bool FAnswered = false; // the final answer's head has gone to the client
    bool FKeepClient = false;
    bool FShutdownSent = false; // the client's end, once its last answer is out
    bool FPumping = false;
    TIdLoopTimer FHeadTimer;
};

} // namespace kestrune
