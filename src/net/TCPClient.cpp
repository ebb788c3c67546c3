#include "net/TCPClient.h"

#include "base/Text.h"
#include "net/Exception.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace kestrune {

namespace {

// How long an attempt runs alone before the next address is tried beside it.
constexpr auto AttemptDelay = std::chrono::milliseconds(250);
// The most an upstream's answer may hold before it counts as nonsense.
constexpr size_t MaxUpstreamAnswer = 16384;

std::string Base64(const std::string& AText) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < AText.size(); i += 3) {
        const auto v = static_cast<uint32_t>(static_cast<uint8_t>(AText[i]) << 16 |
                                             static_cast<uint8_t>(AText[i + 1]) << 8 |
                                             static_cast<uint8_t>(AText[i + 2]));
        for (int shift : {18, 12, 6, 0})
            out += digits[(v >> shift) & 63];
    }
    if (i < AText.size()) {
        uint32_t v = static_cast<uint32_t>(static_cast<uint8_t>(AText[i]) << 16);
        if (i + 1 < AText.size())
            v |= static_cast<uint32_t>(static_cast<uint8_t>(AText[i + 1]) << 8);
        out += digits[(v >> 18) & 63];
        out += digits[(v >> 12) & 63];
        out += i + 1 < AText.size() ? digits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

} // namespace

// The upstream proxy's exchange on a connected socket: one request for the
// target and the proxy's answer, read as it arrives.
class TIdTCPClient::TExchange : public TIdLoopWatch {
public:
    enum TStage { esMethod, esLogin, esReply5, esReply4, esReplyHttp };

    TExchange(TIdTCPClient& AOwner, int AHandle) : Owner(&AOwner), Handle(AHandle) {}
    void OnEvents(uint32_t) override {
        if (Owner)
            Read();
    }

    // Sends AText whole or answers false.
    bool Send(const std::string& AText) {
        const ssize_t sent = send(Handle, AText.data(), AText.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        return sent == static_cast<ssize_t>(AText.size());
    }

    void Begin() {
        const TUpstream& via = Owner->Via;
        const bool login = !via.User.empty() || !via.Password.empty();
        switch (via.Kind) {
        case TUpstream::Socks5:
            // [5, NMETHODS, METHODS]: with a login, user name and password too.
            Stage = esMethod;
            Write(login ? std::string("\x05\x02\x00\x02", 4) : std::string("\x05\x01\x00", 3));
            break;
        case TUpstream::Socks4a:
            Stage = esReply4;
            Write(Socks4Request());
            break;
        case TUpstream::Http: {
            Stage = esReplyHttp;
            // As a URL authority: an IPv6 address in brackets.
            const std::string target = EndpointText(Owner->Host, Owner->Port);
            std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
            if (login)
                request +=
                    "Proxy-Authorization: Basic " + Base64(via.User + ":" + via.Password) + "\r\n";
            Write(request + "\r\n");
            break;
        }
        case TUpstream::Direct:
            Done(crConnected, "");
            break;
        }
    }

    TIdTCPClient* Owner; // cleared when the exchange is over
    int Handle;

private:
    void Write(const std::string& AText) {
        if (!Send(AText))
            Done(crUpstreamFailed, "could not send the request");
    }

    // [5, CONNECT, 0, ATYP] address port: a name goes as a name.
    std::string Socks5Request() const {
        std::string request("\x05\x01\x00", 3);
        const std::string& host = Owner->Host;
        unsigned char bytes[16];
        if (inet_pton(AF_INET, host.c_str(), bytes) == 1) {
            request += '\x01';
            request.append(reinterpret_cast<char*>(bytes), 4);
        } else if (inet_pton(AF_INET6, host.c_str(), bytes) == 1) {
            request += '\x04';
            request.append(reinterpret_cast<char*>(bytes), 16);
        } else {
            request += '\x03';
            request += static_cast<char>(std::min<size_t>(host.size(), 255));
            request += host.substr(0, 255);
        }
        request += static_cast<char>(Owner->Port >> 8);
        request += static_cast<char>(Owner->Port & 0xFF);
        return request;
    }

    // [4, CONNECT, port, IPv4] NUL, or the 4a form 0.0.0.1 with the name
    // after the empty user id.
    std::string Socks4Request() const {
        const std::string& host = Owner->Host;
        std::string request("\x04\x01", 2);
        request += static_cast<char>(Owner->Port >> 8);
        request += static_cast<char>(Owner->Port & 0xFF);
        unsigned char bytes[4];
        if (inet_pton(AF_INET, host.c_str(), bytes) == 1) {
            request.append(reinterpret_cast<char*>(bytes), 4);
            request += '\0';
        } else {
            request += std::string("\0\0\0\x01", 4);
            request += '\0';
            request += host;
            request += '\0';
        }
        return request;
    }

    // Each chunk is parsed as it comes, so that once the answer is whole
    // what follows it (the target's bytes, or its end) is left for the relay.
    void Read() {
        for (;;) {
            char chunk[4096];
            const ssize_t got = recv(Handle, chunk, sizeof chunk, MSG_DONTWAIT);
            const int error = errno;
            if (got > 0) {
                In.append(chunk, static_cast<size_t>(got));
                Parse();
                if (!Owner)
                    return;
                if (In.size() > MaxUpstreamAnswer) {
                    Done(crUpstreamFailed, "answer too long");
                    return;
                }
                continue;
            }
            if (got < 0 && error == EINTR)
                continue;
            if (got < 0 && (error == EAGAIN || error == EWOULDBLOCK))
                return;
            Parse();
            if (Owner)
                Done(crUpstreamFailed,
                     got == 0 ? "closed during the exchange" : std::string(std::strerror(error)));
            return;
        }
    }

    void Parse() {
        while (Owner) {
            const auto* data = reinterpret_cast<const uint8_t*>(In.data());
            switch (Stage) {
            case esMethod: {
                if (In.size() < 2)
                    return;
                const uint8_t method = data[1];
                In.erase(0, 2);
                const TUpstream& via = Owner->Via;
                if (method == 0) {
                    Stage = esReply5;
                    Write(Socks5Request());
                } else if (method == 2 && (!via.User.empty() || !via.Password.empty())) {
                    // [1, ULEN] UNAME [PLEN] PASSWD
                    Stage = esLogin;
                    std::string login(1, '\x01');
                    login += static_cast<char>(std::min<size_t>(via.User.size(), 255));
                    login += via.User.substr(0, 255);
                    login += static_cast<char>(std::min<size_t>(via.Password.size(), 255));
                    login += via.Password.substr(0, 255);
                    Write(login);
                } else {
                    Done(crUpstreamFailed, "no acceptable login method");
                }
                break;
            }
            case esLogin:
                if (In.size() < 2)
                    return;
                if (data[1] != 0) {
                    Done(crUpstreamFailed, "login refused");
                    return;
                }
                In.erase(0, 2);
                Stage = esReply5;
                Write(Socks5Request());
                break;
            case esReply5: {
                // [5, REP, RSV, ATYP] BND.ADDR BND.PORT
                if (In.size() < 5)
                    return;
                const size_t length = data[3] == 1   ? 10
                                      : data[3] == 4 ? 22
                                      : data[3] == 3 ? 7u + data[4]
                                                     : 0;
                if (length == 0) {
                    Done(crUpstreamFailed, "answer not understood");
                    return;
                }
                if (In.size() < length)
                    return;
                const uint8_t reply = data[1];
                In.erase(0, length);
                if (reply == 0)
                    Done(crConnected, "");
                else
                    Done(crUpstreamRefused, "reply " + std::to_string(reply), reply);
                return;
            }
            case esReply4: {
                // [0, CD, port, address]
                if (In.size() < 8)
                    return;
                const uint8_t code = data[1];
                In.erase(0, 8);
                if (code == 90)
                    Done(crConnected, "");
                else
                    Done(crUpstreamRefused, "reply " + std::to_string(code), code);
                return;
            }
            case esReplyHttp: {
                const size_t end = In.find("\r\n\r\n");
                if (end == std::string::npos)
                    return;
                const std::string line = In.substr(0, In.find("\r\n"));
                In.erase(0, end + 4);
                // HTTP/1.x NNN reason
                int status = 0;
                if (line.rfind("HTTP/1.", 0) == 0 && line.size() >= 12 && line[8] == ' ')
                    status = std::atoi(line.substr(9, 3).c_str());
                if (status >= 200 && status < 300)
                    Done(crConnected, "");
                else if (status >= 100)
                    Done(crUpstreamRefused, line, status);
                else
                    Done(crUpstreamFailed, "answer not understood");
                return;
            }
            }
        }
    }

    void Done(TIdConnectResult AResult, const std::string& AWhy, int ACode = 0) {
        TIdTCPClient* owner = Owner;
        Owner = nullptr;
        if (owner)
            owner->Exchanged(AResult, AWhy, ACode);
    }

public:
    TStage Stage = esMethod;
    std::string In; // the answer so far; what follows it is the target's
};

// One connect in flight to one address.
struct TIdTCPClient::TAttempt : TIdLoopWatch {
    TIdTCPClient* Owner = nullptr; // cleared when the attempt is dropped
    int Handle = -1;
    TIdResolvedAddress Address;
    void OnEvents(uint32_t AEvents) override {
        if (Owner)
            Owner->Answered(*this, AEvents);
    }
};

TIdTCPClient::TIdTCPClient() {
    SetIOHandler(std::make_unique<TIdIOHandlerStack>());
}

TIdTCPClient::~TIdTCPClient() {
    Abort();
}

void TIdTCPClient::Connect(TIdEventLoop& ALoop, TIdConnectDone ADone) {
    if (FIOHandler && FIOHandler->Opened() && FIOHandler->Binding().HandleAllocated())
        throw EIdAlreadyConnected();
    if (Host.empty())
        throw EIdHostRequired();
    if (Port == 0)
        throw EIdPortRequired();
    Abort();
    FIOHandler->InputBuffer.Clear();
    FLoop = &ALoop;
    FDone = std::move(ADone);
    FLastError = 0;
    FLastErrorText.clear();
    FAnyAllowed = false;
    FAnyBound = false;
    FAddresses.clear();
    FNext = 0;
    FUpstreamCode = 0;
    if (ConnectTimeout > 0)
        FDeadline.Arm(ALoop, std::chrono::milliseconds(ConnectTimeout),
                      [this] { Finish(crTimedOut); });
    // The connect's own limit covers the lookup, so the lookup needs none.
    // Through an upstream the target's name is the upstream's to resolve:
    // only the upstream's own is looked up here.
    FLookup.Start(ALoop, Via.Kind != TUpstream::Direct ? Via.Host : Host, -1,
                  [this](TIdLookupResult AResult) { Resolved(std::move(AResult)); });
}

void TIdTCPClient::Resolved(TIdLookupResult AResult) {
    if (AResult.Status != TIdLookupResult::Found) {
        FLastErrorText = AResult.Text;
        Finish(AResult.Status == TIdLookupResult::TimedOut ? crTimedOut : crNotFound);
        return;
    }
    FAddresses = std::move(AResult.Addresses);
    StartNext();
}

void TIdTCPClient::StartNext() {
    FStagger.Cancel();
    const bool upstream = Via.Kind != TUpstream::Direct;
    const TIdPort port = upstream ? Via.Port : Port;
    while (FNext < FAddresses.size()) {
        const TIdResolvedAddress address = FAddresses[FNext++];
        // Every address is held to the caller's judgement before anything is
        // sent to it, so that a name cannot lead around it.
        if (!upstream && OnAddress && !OnAddress(address))
            continue;
        FAnyAllowed = true;
        if (!BoundIP.empty() && IPVersionOf(BoundIP) != address.IPVersion)
            continue;
        sockaddr_storage addr;
        socklen_t length = 0;
        if (!TIdSocketHandle::ToSockAddr(address.IP, port, address.IPVersion, addr, length))
            continue;
        const int fd = socket(TIdSocketHandle::Family(address.IPVersion),
                              SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            FLastError = errno;
            if (FLastError == EMFILE || FLastError == ENFILE) {
                Finish(crNoDescriptors);
                return;
            }
            continue;
        }
        if (!BoundIP.empty()) {
            sockaddr_storage local;
            socklen_t localLength = 0;
            // The port is chosen at the connect, so that bound sockets do not
            // use up the ports of the address for every target.
            const int on = 1;
            setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
            if (!TIdSocketHandle::ToSockAddr(BoundIP, 0, address.IPVersion, local, localLength) ||
                bind(fd, reinterpret_cast<sockaddr*>(&local), localLength) != 0) {
                FLastError = errno;
                ::close(fd);
                continue;
            }
        }
        FAnyBound = true;
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), length) == 0) {
            Won(fd, address);
            return;
        }
        if (errno != EINPROGRESS) {
            FLastError = errno;
            ::close(fd);
            continue;
        }
        auto attempt = std::make_shared<TAttempt>();
        attempt->Owner = this;
        attempt->Handle = fd;
        attempt->Address = address;
        if (!FLoop->Watch(fd, *attempt, EPOLLOUT)) {
            FLastError = errno;
            ::close(fd);
            continue;
        }
        FAttempts.push_back(std::move(attempt));
        if (FNext < FAddresses.size())
            FStagger.Arm(*FLoop, AttemptDelay, [this] { StartNext(); });
        return;
    }
    if (!FAttempts.empty())
        return;
    if (!FAnyAllowed)
        Finish(crNotAllowed);
    else if (!FAnyBound && !BoundIP.empty())
        Finish(crCannotBind);
    else
        Finish(crFailed);
}

void TIdTCPClient::Answered(TAttempt& AAttempt, uint32_t AEvents) {
    // Writable without an error: connected. With an error it may still have
    // been connected first: a peer that answers, sends and resets at once
    // leaves its bytes ahead of the error, which a peek finds without
    // taking the error away from the relay. Only a peek that finds nothing
    // takes the error; a reset then still says the peer had answered.
    bool connected = !(AEvents & (EPOLLERR | EPOLLHUP));
    bool reset = false;
    int error = 0;
    if (!connected) {
        char byte;
        const ssize_t peeked = recv(AAttempt.Handle, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        error = peeked < 0 ? errno : 0;
        connected = peeked >= 0 || error == ECONNRESET || error == EPIPE;
        reset = peeked < 0 && connected;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            socklen_t size = sizeof error;
            if (getsockopt(AAttempt.Handle, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
            connected = error == 0;
        }
    }
    if (connected) {
        const int handle = AAttempt.Handle;
        const TIdResolvedAddress address = AAttempt.Address;
        FLoop->Unwatch(handle);
        AAttempt.Handle = -1;
        Drop(AAttempt);
        Won(handle, address, reset);
        return;
    }
    FLastError = error;
    Drop(AAttempt);
    if (FAttempts.empty())
        StartNext();
}

void TIdTCPClient::Drop(TAttempt& AAttempt) {
    AAttempt.Owner = nullptr;
    if (AAttempt.Handle >= 0) {
        FLoop->Unwatch(AAttempt.Handle);
        ::close(AAttempt.Handle);
        AAttempt.Handle = -1;
    }
    for (auto it = FAttempts.begin(); it != FAttempts.end(); ++it) {
        if (it->get() == &AAttempt) {
            // An event already taken may still be on its way to it.
            FLoop->Retire(*it);
            FAttempts.erase(it);
            break;
        }
    }
}

void TIdTCPClient::Won(int AHandle, const TIdResolvedAddress& AAddress, bool AResetAlready) {
    TIdSocketHandle& binding = FIOHandler->Binding();
    binding.Adopt(AHandle, AAddress.IPVersion);
    IPVersion = AAddress.IPVersion;
    // A new socket has Nagle on: only turning it off costs a call.
    if (!UseNagle)
        binding.SetNoDelay(true);
    binding.UpdateBindingLocal();
    binding.PeerIP = AAddress.IP;
    binding.PeerPort = Via.Kind != TUpstream::Direct ? Via.Port : Port;
    FIOHandler->Open();
    if (AResetAlready)
        FIOHandler->MarkReset();
    // An upstream that reset at once fails its exchange: nothing reached
    // the target.
    if (Via.Kind != TUpstream::Direct) {
        BeginExchange();
        return;
    }
    Finish(crConnected);
}

void TIdTCPClient::BeginExchange() {
    TIdSocketHandle::TUse use(FIOHandler->Binding());
    if (!use) {
        Exchanged(crUpstreamFailed, "closed during the exchange");
        return;
    }
    FExchange = std::make_shared<TExchange>(*this, use.Handle());
    if (!FLoop->Watch(use.Handle(), *FExchange)) {
        Exchanged(crUpstreamFailed, std::strerror(errno));
        return;
    }
    FExchange->Begin();
}

void TIdTCPClient::Exchanged(TIdConnectResult AResult, const std::string& AWhy, int ACode) {
    if (FExchange) {
        FExchange->Owner = nullptr;
        // What the upstream sent after its answer is the target's.
        if (AResult == crConnected && !FExchange->In.empty())
            FIOHandler->InputBuffer.Append(reinterpret_cast<const uint8_t*>(FExchange->In.data()),
                                           FExchange->In.size());
        FLoop->Unwatch(FExchange->Handle);
        FLoop->Retire(FExchange);
        FExchange.reset();
    }
    if (AResult != crConnected) {
        FLastErrorText = AWhy;
        FUpstreamCode = ACode;
        FIOHandler->Close();
    }
    Finish(AResult);
}

void TIdTCPClient::Clear() {
    FDeadline.Cancel();
    FStagger.Cancel();
    FLookup.Cancel();
    if (FExchange) {
        FExchange->Owner = nullptr;
        FLoop->Unwatch(FExchange->Handle);
        FLoop->Retire(FExchange);
        FExchange.reset();
    }
    while (!FAttempts.empty())
        Drop(*FAttempts.back());
}

void TIdTCPClient::Finish(TIdConnectResult AResult) {
    Clear();
    // A connect given up half way (its time ran out during the upstream's
    // exchange) leaves no open socket behind.
    if (AResult != crConnected && FIOHandler->Opened())
        FIOHandler->Close();
    if (AResult == crFailed && FLastErrorText.empty() && FLastError != 0)
        FLastErrorText = std::strerror(FLastError);
    TIdConnectDone done = std::move(FDone);
    FDone = nullptr;
    // The owner may free this connection in its handler.
    if (done)
        done(AResult);
}

void TIdTCPClient::Abort() {
    FDone = nullptr;
    if (FLoop)
        Clear();
}

std::string TIdTCPClient::FailureText(TIdConnectResult AResult) const {
    if (AResult == crCannotBind)
        return "Outgoing address not usable: " + BoundIP + " (" +
               (FLastError != 0 ? std::strerror(FLastError)
                                : std::string("no address of the target's family")) +
               ")";
    if (Via.Kind == TUpstream::Direct || AResult == crConnected || AResult == crNoDescriptors ||
        AResult == crNotAllowed)
        return std::string();
    std::string why = FLastErrorText;
    if (AResult == crTimedOut)
        why = "Connect timed out.";
    else if (why.empty())
        why = "failed";
    // An HTTP upstream's status line is its own text.
    return "Upstream failed: " + EndpointText(Via.Host, Via.Port) + " (" + EscapePeerText(why) +
           ")";
}

} // namespace kestrune
