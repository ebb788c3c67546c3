#include "proxy/HttpProxy.h"

#include "net/Exception.h"
#include "net/Relay.h"
#include "proxy/SocksServer.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace kestrune {

namespace {

// How long a connection that is closing after its last answer may take to
// send its end, so that what it sent meanwhile does not cut that answer
// off with a reset.
constexpr auto LingerLimit = std::chrono::seconds(2);

bool WouldBlock(int AError) {
    return AError == EAGAIN || AError == EWOULDBLOCK;
}

// Sends what AOut holds while the socket takes it, and removes what went;
// clears AWritable when the socket is full. The bytes sent, or -1 when the
// socket failed.
ssize_t SendSome(int AHandle, std::string& AOut, bool& AWritable) {
    size_t total = 0;
    while (total < AOut.size() && AWritable) {
        const ssize_t sent =
            send(AHandle, AOut.data() + total, AOut.size() - total, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent >= 0)
            total += static_cast<size_t>(sent);
        else if (WouldBlock(errno))
            AWritable = false;
        else if (errno != EINTR)
            return -1;
    }
    AOut.erase(0, total);
    return static_cast<ssize_t>(total);
}

} // namespace

class THttpSession::TWatch : public TIdLoopWatch {
public:
    TWatch(THttpSession& AOwner, bool AClient) : Owner(&AOwner), Client(AClient) {}
    void OnEvents(uint32_t AEvents) override {
        if (!Owner)
            return;
        if (Client)
            Owner->ClientEvents(AEvents);
        else
            Owner->OriginEvents(AEvents);
    }
    THttpSession* Owner; // cleared when the session lets go
    bool Client;
};

THttpSession::THttpSession(TIdSocksServer& AServer, TIdSocksServerContext& AContext)
    : FServer(AServer), FContext(AContext), FLoop(AContext.Loop()) {}

THttpSession::~THttpSession() {
    Close();
}

void THttpSession::Start() {
    TIdSocketHandle* binding = FContext.Binding();
    FClient = binding ? binding->Acquire() : -1;
    if (FClient < 0) {
        Fail();
        return;
    }
    FClientWatch = std::make_shared<TWatch>(*this, true);
    if (!FLoop.Modify(FClient, *FClientWatch, TIdEventLoop::EdgeEvents) &&
        !FLoop.Watch(FClient, *FClientWatch, TIdEventLoop::EdgeEvents)) {
        Fail();
        return;
    }
    if (FServer.RequestTimeout > 0)
        FHeadTimer.Arm(FLoop, std::chrono::milliseconds(FServer.RequestTimeout),
                       [this] { Fail(); });
    Pump();
}

void THttpSession::Close() {
    FHeadTimer.Cancel();
    DropOrigin();
    if (FClientWatch) {
        FClientWatch->Owner = nullptr;
        FLoop.Retire(FClientWatch); // an event already taken may still be on its way
        FClientWatch.reset();
    }
    if (FClient >= 0) {
        if (TIdSocketHandle* binding = FContext.Binding())
            binding->Release();
        FClient = -1;
    }
}

void THttpSession::ClientEvents(uint32_t AEvents) {
    if (AEvents & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
        FClientReadable = true;
    if (AEvents & (EPOLLOUT | EPOLLHUP | EPOLLERR))
        FClientWritable = true;
    Pump();
}

void THttpSession::OriginEvents(uint32_t AEvents) {
    if (AEvents & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
        FOriginReadable = true;
    if (AEvents & (EPOLLOUT | EPOLLHUP | EPOLLERR))
        FOriginWritable = true;
    Pump();
}

void THttpSession::Pump() {
    if (FPumping)
        return;
    FPumping = true;
    while (FStage != hsDone) {
        bool moved = FlushClient();
        moved = FlushOrigin() || moved;
        if (FStage == hsDone)
            break;
        moved = Step() || moved;
        if (FStage != hsDone && (FStage == hsRequest || FStage == hsResponse || FOrigin))
            moved = ReadOrigin() || moved;
        if (!moved)
            break;
    }
    FPumping = false;
}

bool THttpSession::ReadClient() {
    if (!FClientReadable || FClientEnded)
        return false;
    TIdBuffer& input = FContext.Connection()->IOHandler()->InputBuffer;
    // A head may take its limit (and a byte to tell it is over); a body
    // moves one block at a time.
    const size_t limit = FStage == hsHead ? HttpMaxHead + 1 : FServer.EffectiveBufferSize();
    if (input.Size() >= limit)
        return false;
    const size_t want = limit - input.Size();
    const ssize_t got = recv(FClient, input.PrepareAppend(want), want, MSG_DONTWAIT);
    if (got > 0) {
        input.Commit(static_cast<size_t>(got));
        if (static_cast<size_t>(got) < want)
            FClientReadable = false;
        return true;
    }
    if (got == 0) {
        FClientEnded = true;
        return true;
    }
    if (errno == EINTR)
        return true;
    if (WouldBlock(errno)) {
        FClientReadable = false;
        return false;
    }
    Fail(); // reset: nobody to answer
    return false;
}

bool THttpSession::FlushClient() {
    const ssize_t sent = SendSome(FClient, FToClient, FClientWritable);
    if (sent < 0) {
        Fail();
        return false;
    }
    const bool moved = sent > 0;
    // What came from the origin is traffic, as relayed bytes are.
    const size_t traffic = std::min(static_cast<size_t>(sent), FToClientCounted);
    FToClientCounted -= traffic;
    if (traffic > 0) {
        TIdTCPConnection& client = *FContext.Connection();
        client.BeginWork(wmWrite, static_cast<int64_t>(traffic));
        client.DoWork(wmWrite, static_cast<int64_t>(traffic));
        client.EndWork(wmWrite);
    }
    if (FStage == hsClosing && FToClient.empty()) {
        // The last answer is out: the end follows, and whatever the client
        // still sends is read and dropped until its own end.
        if (!FShutdownSent) {
            FShutdownSent = true;
            shutdown(FClient, SHUT_WR);
            FHeadTimer.Arm(FLoop, LingerLimit, [this] { Fail(); });
        }
        TIdBuffer& input = FContext.Connection()->IOHandler()->InputBuffer;
        while (ReadClient())
            input.Clear();
        input.Clear();
        if (FClientEnded)
            Fail();
    }
    return moved;
}

bool THttpSession::FlushOrigin() {
    if (FOriginHandle < 0)
        return false;
    const ssize_t sent = SendSome(FOriginHandle, FToOrigin, FOriginWritable);
    if (sent < 0) {
        // The origin has gone; what it answered before may still be read.
        FToOrigin.clear();
        FRequestDone = true;
        FKeepClient = false;
        FOriginReadable = true;
        return true;
    }
    return sent > 0;
}

bool THttpSession::Step() {
    TIdBuffer& input = FContext.Connection()->IOHandler()->InputBuffer;
    switch (FStage) {
    case hsHead: {
        // Answers go out in order: the next request waits for the last answer.
        if (!FToClient.empty())
            return false;
        const THttpStep step = FRequests.Feed(
            std::string_view(reinterpret_cast<const char*>(input.Data()), input.Size()));
        input.Remove(step.Consumed);
        switch (step.Event) {
        case THttpEvent::Head:
            FHead = FRequests.Head();
            Request();
            return true;
        case THttpEvent::Error:
            Refuse(step.Status);
            return true;
        default:
            break;
        }
        if (step.Consumed > 0 || ReadClient())
            return true;
        if (FClientEnded)
            Fail(); // a request never finished, or none at all: nobody waits
        return false;
    }
    case hsRequest: {
        if (!FToOrigin.empty())
            return false;
        if (FRequestDone) {
            FStage = hsResponse;
            return true;
        }
        const THttpStep step = FRequests.Feed(
            std::string_view(reinterpret_cast<const char*>(input.Data()), input.Size()));
        // The body goes on as it was framed.
        FToOrigin.append(reinterpret_cast<const char*>(input.Data()), step.Consumed);
        input.Remove(step.Consumed);
        if (step.Event == THttpEvent::End) {
            FRequestDone = true;
            return true;
        }
        if (step.Event == THttpEvent::Error) {
            Fail();
            return false;
        }
        if (step.Consumed > 0 || ReadClient())
            return true;
        if (FClientEnded)
            Fail(); // the body was cut short
        return false;
    }
    case hsResponse:
        // A client that ends its stream after its request still gets the answer.
        if (!FClientEnded && ReadClient() && FClientEnded)
            FKeepClient = false;
        return false;
    default:
        return false;
    }
}

void THttpSession::Request() {
    FHeadTimer.Cancel();
    if (FServer.NeedsAuthentication) {
        const auto credentials = ProxyCredentials(FHead);
        // No credentials yet is the usual first question, not a failed login.
        if (!credentials) {
            Refuse(407);
            return;
        }
        const std::string login = credentials->User + '\0' + credentials->Password;
        if (!FAuthenticated || login != FLogin) {
            FContext.FUsername = credentials->User;
            FContext.FPassword = credentials->Password;
            if (!FServer.Authenticate(FContext)) {
                Refuse(407);
                return;
            }
            FAuthenticated = true;
            FLogin = login;
        }
    }
    if (FHead.Form != THttpTargetForm::Authority && FHead.Form != THttpTargetForm::Absolute) {
        Refuse(400); // meant for a server, not for a proxy
        return;
    }
    FKeepClient = FHead.KeepAlive && FHead.Form == THttpTargetForm::Absolute;
    const std::string key = EndpointText(FHead.Host, FHead.Port);
    if (FHead.Form == THttpTargetForm::Absolute && FOrigin && FOriginKey == key && !FOriginEnded) {
        // The same origin on the connection kept from the last request.
        Connected(TIdTCPClient::crConnected);
        return;
    }
    DropOrigin();
    TIdSocksRoute route;
    if (FServer.OnRoute)
        FServer.OnRoute(FContext, FHead.Host, FHead.Port, route);
    if (!route.Allowed) {
        if (FServer.OnTargetRefused)
            FServer.OnTargetRefused(FContext, FHead.Host, FHead.Port);
        Refuse(403);
        return;
    }
    FStage = hsConnecting;
    FOriginKey = key;
    FOrigin = std::make_unique<TIdTCPClient>();
    FOrigin->Host = FHead.Host;
    FOrigin->Port = FHead.Port;
    FOrigin->ConnectTimeout = TIdCustomSocksServer::CommandTimeout;
    FOrigin->UseNagle = false;
    FOrigin->Via = route.Via;
    FOrigin->BoundIP = route.BoundIP;
    FOrigin->OnAddress = std::move(route.OnAddress);
    FOrigin->Connect(FLoop, [this](TIdTCPClient::TIdConnectResult AResult) {
        Connected(AResult);
        Pump();
    });
}

void THttpSession::Connected(TIdTCPClient::TIdConnectResult AResult) {
    if (AResult != TIdTCPClient::crConnected) {
        if (AResult == TIdTCPClient::crNotAllowed) {
            if (FServer.OnTargetRefused)
                FServer.OnTargetRefused(FContext, FHead.Host, FHead.Port);
            Refuse(403);
            return;
        }
        if (AResult == TIdTCPClient::crNoDescriptors)
            FServer.ResourcesShort("no free descriptors");
        if (FServer.OnConnectFailed)
            FServer.OnConnectFailed(FContext, *FOrigin, AResult);
        Refuse(AResult == TIdTCPClient::crTimedOut ? 504 : 502);
        return;
    }
    if (FHead.Form == THttpTargetForm::Authority) {
        // A tunnel: the client and its target go to a relay, which takes
        // the client's socket from here, with what the client sent after
        // its request.
        try {
            FContext.Connection()->IOHandler()->Write(std::string(HttpConnectEstablished));
        } catch (const EIdException&) {
            Fail();
            return;
        }
        FStage = hsDone;
        FClientWatch->Owner = nullptr;
        FServer.RelayAndClose(FContext, *FOrigin);
        return;
    }
    if (FOriginHandle < 0) {
        TIdSocketHandle& binding = FOrigin->IOHandler()->Binding();
        FOriginHandle = binding.Acquire();
        FOriginWatch = std::make_shared<TWatch>(*this, false);
        if (FOriginHandle < 0 || !FLoop.Watch(FOriginHandle, *FOriginWatch)) {
            Refuse(502);
            return;
        }
        // What an upstream passed on after its answer is the origin's.
        TIdBuffer& early = FOrigin->IOHandler()->InputBuffer;
        FFromOrigin.assign(reinterpret_cast<const char*>(early.Data()), early.Size());
        early.Clear();
        FOriginReadable = true;
        FOriginWritable = true;
    }
    FToOrigin = OriginRequestHead(FHead);
    FResponses.ExpectResponseTo(FHead.Method, FHead.Version);
    FRequestDone = false;
    FAnswered = false;
    FStage = hsRequest;
}

bool THttpSession::ReadOrigin() {
    if (FOriginHandle < 0)
        return false;
    // One block at a time: the client takes the last one first.
    if (!FToClient.empty())
        return false;
    bool moved = false;
    if (FFromOrigin.empty() && FOriginReadable && !FOriginEnded) {
        const size_t want = FServer.EffectiveBufferSize();
        uint8_t* block = FLoop.ReadBlock(want);
        const ssize_t got = recv(FOriginHandle, block, want, MSG_DONTWAIT);
        if (got > 0)
            FFromOrigin.assign(reinterpret_cast<const char*>(block), static_cast<size_t>(got));
        if (got == 0 || (got < 0 && !WouldBlock(errno) && errno != EINTR))
            FOriginEnded = true;
        else if ((got < 0 && errno != EINTR) || (got > 0 && static_cast<size_t>(got) < want))
            FOriginReadable = false;
        moved = got != 0 || FOriginEnded;
    }
    if (FStage != hsRequest && FStage != hsResponse) {
        // An idle kept connection that ends or speaks out of turn is done with.
        if (FOriginEnded || !FFromOrigin.empty())
            DropOrigin();
        return moved;
    }
    if (FFromOrigin.empty() && !FOriginEnded)
        return moved;
    const THttpStep step =
        FFromOrigin.empty() && FOriginEnded ? FResponses.Finish() : FResponses.Feed(FFromOrigin);
    const std::string_view used(FFromOrigin.data(), std::min(step.Consumed, FFromOrigin.size()));
    switch (step.Event) {
    case THttpEvent::Head: {
        const THttpResponseHead& head = FResponses.Head();
        if (!head.Interim()) {
            FAnswered = true;
            FKeepClient = FKeepClient && FRequestDone && !head.EndsWithClose;
            FOriginKept = head.KeepAlive;
        }
        SendToClient(ClientResponseHead(head, FKeepClient, FHead.Version), true);
        break;
    }
    case THttpEvent::Body:
        SendToClient(used, true);
        break;
    case THttpEvent::End:
        SendToClient(used, true);
        if (!FResponses.Head().Interim())
            ResponseEnded();
        break;
    case THttpEvent::Error:
    case THttpEvent::NeedMore:
        if (step.Event == THttpEvent::NeedMore && !FOriginEnded)
            break;
        // Nothing of an answer yet: the client hears why; in the middle of
        // one, only the close can tell it.
        if (!FAnswered)
            Refuse(502);
        else
            Fail();
        return true;
    }
    FFromOrigin.erase(0, std::min(step.Consumed, FFromOrigin.size()));
    return true;
}

void THttpSession::ResponseEnded() {
    // An answer before the whole request was sent leaves the rest unsendable.
    if (!FRequestDone)
        FKeepClient = false;
    if (!FOriginKept || FOriginEnded)
        DropOrigin();
    if (FKeepClient && !FClientEnded) {
        FStage = hsHead;
        if (FServer.RequestTimeout > 0)
            FHeadTimer.Arm(FLoop, std::chrono::milliseconds(FServer.RequestTimeout),
                           [this] { Fail(); });
    } else {
        FStage = hsClosing;
    }
}

void THttpSession::SendToClient(std::string_view AText, bool ACount) {
    FToClient.append(AText);
    if (ACount)
        FToClientCounted += AText.size();
}

void THttpSession::Refuse(int AStatus) {
    DropOrigin();
    FHeadTimer.Cancel();
    FKeepClient = false;
    FStage = hsClosing;
    SendToClient(ErrorResponse(AStatus), false);
}

void THttpSession::DropOrigin() {
    if (FOriginWatch) {
        FOriginWatch->Owner = nullptr;
        FLoop.Retire(FOriginWatch);
        FOriginWatch.reset();
    }
    if (FOriginHandle >= 0) {
        FLoop.Unwatch(FOriginHandle);
        FOrigin->IOHandler()->Binding().Release();
        FOriginHandle = -1;
    }
    if (FOrigin) {
        FOrigin->Abort();
        FOrigin->Disconnect();
        FLoop.Retire(std::shared_ptr<TIdTCPClient>(std::move(FOrigin)));
    }
    FOriginKey.clear();
    FFromOrigin.clear();
    FToOrigin.clear();
    FOriginEnded = false;
    FOriginReadable = false;
    FOriginKept = false;
}

void THttpSession::Fail() {
    if (FStage == hsDone)
        return;
    FStage = hsDone;
    FContext.Finish();
}

} // namespace kestrune
