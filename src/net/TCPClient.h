// An outbound TCP connection, made on an event loop without waiting: the
// name is looked up through the loop, the addresses are tried as the
// resolver orders them (one more joins every 250 ms while none has
// answered), and the first to connect wins. A pending connect holds its
// sockets only, no thread. Through an upstream proxy (Via), the connection
// is made to the proxy, which is then asked for the target as it was named
// (SOCKS5, SOCKS4a or HTTP CONNECT), so that the proxy resolves a name.
//
// Connect, Abort and the destructor belong to the loop's thread, and the
// result is delivered there.
#pragma once

#include "base/Upstream.h"
#include "net/EventLoop.h"
#include "net/Resolver.h"
#include "net/TCPConnection.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrune {

class TIdTCPClient : public TIdTCPConnection {
public:
    // How a connect ended.
    enum TIdConnectResult {
        crConnected,
        crFailed,          // every address refused or could not be reached (LastError says why)
        crTimedOut,        // ConnectTimeout passed
        crNotFound,        // the name did not resolve (LastErrorText says why)
        crNotAllowed,      // OnAddress turned every address down; none was tried
        crNoDescriptors,   // the process is out of descriptors
        crCannotBind,      // no address could leave from BoundIP
        crUpstreamRefused, // the upstream proxy turned the request down (UpstreamCode says how)
        crUpstreamFailed,  // the upstream proxy broke off or answered nonsense (LastErrorText)
    };
    using TIdConnectDone = std::function<void(TIdConnectResult AResult)>;

    // The handler exists from the start and is reused by every Connect.
    TIdTCPClient();
    ~TIdTCPClient() override; // abandons a connect in progress

    std::string Host;
    TIdPort Port = 0;
    // The family of the connection once connected.
    TIdIPVersion IPVersion = Id_IPv4;
    // Milliseconds for the lookup and the connect together; 0 or less waits
    // as long as the system tries.
    int ConnectTimeout = 0;
    bool UseNagle = true;
    // The local address connections leave from; empty lets the system
    // choose. Addresses of the other family are not tried.
    std::string BoundIP;
    // Asked for each address of Host before it is tried; false skips it.
    // Not asked through an upstream, which resolves the name itself.
    std::function<bool(const TIdResolvedAddress& AAddress)> OnAddress;
    // The proxy the connection goes through; Kind Direct for none. The
    // connect's time limit covers the proxy's exchange too.
    TUpstream Via;

    // Starts the connect on ALoop; ADone runs once there, never inside this
    // call, unless Abort() or the destructor comes first. Raises
    // EIdAlreadyConnected, EIdHostRequired or EIdPortRequired at once. On
    // success the socket (non-blocking) is this connection's, with its local
    // and peer address filled in.
    void Connect(TIdEventLoop& ALoop, TIdConnectDone ADone);
    void Abort();
    bool Connecting() const { return FDone != nullptr; }

    // The last attempt's error (errno), or the resolver's reason.
    int LastError() const { return FLastError; }
    const std::string& LastErrorText() const { return FLastErrorText; }
    // The upstream's answer to a refused request: a SOCKS5 reply code, a
    // SOCKS4 code (91 to 93) or an HTTP status.
    int UpstreamCode() const { return FUpstreamCode; }

    // What the event log says of a failed connect whose cause is not the
    // target's own: "Outgoing address not usable: ADDRESS (why)" when
    // BoundIP could not be used, "Upstream failed: HOST:PORT (why)" when the
    // upstream proxy failed (its login never shows); empty otherwise.
    std::string FailureText(TIdConnectResult AResult) const;

private:
    struct TAttempt;
    class TExchange;

    void Resolved(TIdLookupResult AResult);
    // Starts attempts until one is under way or no address is left.
    void StartNext();
    void Answered(TAttempt& AAttempt, uint32_t AEvents);
    void Won(int AHandle, const TIdResolvedAddress& AAddress, bool AResetAlready = false);
    void Drop(TAttempt& AAttempt);
    void Finish(TIdConnectResult AResult);
    void Clear();
    // The upstream's exchange on the connected socket.
    void BeginExchange();
    void Exchanged(TIdConnectResult AResult, const std::string& AWhy, int ACode = 0);

    TIdEventLoop* FLoop = nullptr;
    TIdConnectDone FDone;
    TIdLookup FLookup;
    std::vector<TIdResolvedAddress> FAddresses;
    size_t FNext = 0;
    std::vector<std::shared_ptr<TAttempt>> FAttempts;
    TIdLoopTimer FDeadline;
    TIdLoopTimer FStagger;
    bool FAnyAllowed = false;
    bool FAnyBound = false;
    int FLastError = 0;
    std::string FLastErrorText;
    int FUpstreamCode = 0;
    std::shared_ptr<TExchange> FExchange;
};

} // namespace kestrune
