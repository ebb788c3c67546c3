#include "net/Resolver.h"

#include "net/EventLoop.h"
#include "net/SocketHandle.h"

#include <ares.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>

namespace kestrune {

namespace {

std::mutex gServersLock;
std::string gServers;

std::string Servers() {
    std::lock_guard<std::mutex> lock(gServersLock);
    return gServers;
}

bool IsLocalhost(const std::string& AHost) {
    static const std::string name = "localhost";
    return AHost.size() == name.size() &&
           std::equal(AHost.begin(), AHost.end(), name.begin(), [](char a, char b) {
               return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b;
           });
}

// The literal's canonical text, or false when AHost is not a literal.
bool Literal(const std::string& AHost, TIdResolvedAddress& AOut) {
    unsigned char bytes[sizeof(in6_addr)];
    char text[INET6_ADDRSTRLEN] = {};
    for (const TIdIPVersion version : {Id_IPv4, Id_IPv6}) {
        const int family = version == Id_IPv4 ? AF_INET : AF_INET6;
        if (inet_pton(family, AHost.c_str(), bytes) == 1) {
            inet_ntop(family, bytes, text, sizeof text);
            AOut = {text, version};
            return true;
        }
    }
    return false;
}

using TClock = std::chrono::steady_clock;

} // namespace

bool TIdLookup::Immediate(const std::string& AHost, std::vector<TIdResolvedAddress>& AAddresses) {
    TIdResolvedAddress literal;
    if (IsLocalhost(AHost)) {
        AAddresses = {{"127.0.0.1", Id_IPv4}, {"::1", Id_IPv6}};
        return true;
    }
    if (Literal(AHost, literal)) {
        AAddresses = {literal};
        return true;
    }
    return false;
}

void TIdLookup::SetServers(const std::string& AServers) {
    std::lock_guard<std::mutex> lock(gServersLock);
    gServers = AServers;
}

// One lookup: its resolver channel, whose sockets the loop watches, and its
// timer. It outlives its owner until the loop has handled the events already
// taken (the loop's retired list), since those may point at its sockets.
class TIdLookup::TState : public std::enable_shared_from_this<TState> {
public:
    TState(TIdEventLoop& ALoop, TDone ADone) : FLoop(ALoop), FDone(std::move(ADone)) {}
    ~TState() { Close(); }

    void Begin(const std::string& AHost, int ATimeout) {
        auto self = shared_from_this();
        if (Immediate(AHost, FResult.Addresses)) {
            FResult.Status = TIdLookupResult::Found;
            FLoop.Defer([self] { self->Deliver(); });
            return;
        }
        if (ATimeout >= 0) {
            FLimited = true;
            FDeadline = TClock::now() + std::chrono::milliseconds(ATimeout);
        }
        static std::once_flag once;
        std::call_once(once, [] { ares_library_init(ARES_LIB_INIT_ALL); });
        ares_options options{};
        // Files first, then DNS: /etc/hosts answers as it does for the system.
        char lookups[] = "fb";
        options.lookups = lookups;
        options.sock_state_cb = &TState::SocketState;
        options.sock_state_cb_data = this;
        if (ares_init_options(&FChannel, &options, ARES_OPT_LOOKUPS | ARES_OPT_SOCK_STATE_CB) !=
            ARES_SUCCESS) {
            FChannel = nullptr;
            FResult = {TIdLookupResult::Failed, ares_strerror(ARES_ENOMEM), {}};
            FLoop.Defer([self] { self->Deliver(); });
            return;
        }
        const std::string servers = Servers();
        if (!servers.empty())
            ares_set_servers_ports_csv(FChannel, servers.c_str());
        ares_addrinfo_hints hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        ares_getaddrinfo(FChannel, AHost.c_str(), nullptr, &hints, &TState::Finished, this);
        // The hosts file may have answered already; the answer still comes
        // from the loop, outside the caller's frame.
        if (FFinished)
            FLoop.Defer([self] { self->Deliver(); });
        else
            Rearm();
    }

    // The owner has gone: nothing more is delivered, and the queries stop.
    void Abandon() {
        FDone = nullptr;
        Close();
    }

    bool Running() const { return FDone != nullptr && !FDelivered; }

private:
    // A socket of the channel, watched by the loop.
    struct TSocket : TIdLoopWatch {
        TState* State = nullptr;
        int Handle = -1;
        void OnEvents(uint32_t AEvents) override { State->Process(Handle, AEvents); }
    };

    static void SocketState(void* AData, ares_socket_t AHandle, int AReadable, int AWritable) {
        static_cast<TState*>(AData)->Watch(AHandle, AReadable != 0, AWritable != 0);
    }

    void Watch(int AHandle, bool AReadable, bool AWritable) {
        auto found = FSockets.find(AHandle);
        if (!AReadable && !AWritable) {
            if (found != FSockets.end()) {
                FLoop.Unwatch(AHandle);
                // Events already taken may still point at it.
                FLoop.Retire(std::shared_ptr<TSocket>(std::move(found->second)));
                FSockets.erase(found);
            }
            return;
        }
        const uint32_t events = (AReadable ? EPOLLIN : 0u) | (AWritable ? EPOLLOUT : 0u);
        if (found == FSockets.end()) {
            auto socket = std::make_unique<TSocket>();
            socket->State = this;
            socket->Handle = AHandle;
            FLoop.Watch(AHandle, *socket, events);
            FSockets.emplace(AHandle, std::move(socket));
        } else {
            FLoop.Modify(AHandle, *found->second, events);
        }
    }

    void Process(int AHandle, uint32_t AEvents) {
        if (!FChannel)
            return;
        auto self = shared_from_this(); // a delivery may free the owner
        const bool readable = AEvents & (EPOLLIN | EPOLLERR | EPOLLHUP);
        const bool writable = AEvents & (EPOLLOUT | EPOLLERR | EPOLLHUP);
        ares_process_fd(FChannel, readable ? AHandle : ARES_SOCKET_BAD,
                        writable ? AHandle : ARES_SOCKET_BAD);
        AfterProcessing();
    }

    void OnTime() {
        if (!FChannel)
            return;
        auto self = shared_from_this();
        if (FLimited && TClock::now() >= FDeadline) {
            FResult = {TIdLookupResult::TimedOut, "Connect timed out.", {}};
            FFinished = true;
        } else {
            ares_process_fd(FChannel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        }
        AfterProcessing();
    }

    void AfterProcessing() {
        if (FFinished)
            Deliver();
        else
            Rearm();
    }

    void Rearm() {
        if (!FChannel)
            return;
        timeval limit{};
        timeval* next = ares_timeout(FChannel, nullptr, &limit);
        auto due = next ? TClock::now() + std::chrono::seconds(next->tv_sec) +
                              std::chrono::microseconds(next->tv_usec)
                        : TClock::time_point::max();
        if (FLimited)
            due = std::min(due, FDeadline);
        if (due == TClock::time_point::max())
            FTimer.Cancel();
        else
            FTimer.ArmAt(FLoop, due, [this] { OnTime(); });
    }

    static void Finished(void* AArg, int AStatus, int, ares_addrinfo* AResult) {
        auto* state = static_cast<TState*>(AArg);
        if (state->FFinished) {
            if (AResult)
                ares_freeaddrinfo(AResult);
            return;
        }
        state->FFinished = true;
        TIdLookupResult& result = state->FResult;
        if (AResult) {
            for (ares_addrinfo_node* node = AResult->nodes; node; node = node->ai_next) {
                TIdResolvedAddress address;
                TIdPort ignored = 0;
                TIdSocketHandle::FromSockAddr(node->ai_addr, address.IP, ignored);
                address.IPVersion = node->ai_family == AF_INET6 ? Id_IPv6 : Id_IPv4;
                if (!address.IP.empty())
                    result.Addresses.push_back(std::move(address));
            }
            ares_freeaddrinfo(AResult);
        }
        if (AStatus == ARES_SUCCESS && !result.Addresses.empty()) {
            result.Status = TIdLookupResult::Found;
        } else {
            const int status = AStatus == ARES_SUCCESS ? ARES_ENODATA : AStatus;
            result.Status =
                status == ARES_ENOTFOUND || status == ARES_ENODATA || status == ARES_EBADNAME
                    ? TIdLookupResult::NotFound
                    : TIdLookupResult::Failed;
            result.Text = ares_strerror(status);
        }
    }

    void Deliver() {
        if (FDelivered)
            return;
        FDelivered = true;
        Close();
        TDone done = std::move(FDone);
        FDone = nullptr;
        if (done)
            done(std::move(FResult));
    }

    void Close() {
        FTimer.Cancel();
        if (FChannel) {
            // Cancels what is still pending; the callbacks see ARES_EDESTRUCTION
            // after FFinished, and the sockets leave the loop's watch.
            FFinished = true;
            ares_channel channel = FChannel;
            FChannel = nullptr;
            ares_destroy(channel);
        }
        for (auto& [handle, socket] : FSockets) {
            FLoop.Unwatch(handle);
            FLoop.Retire(std::shared_ptr<TSocket>(std::move(socket)));
        }
        FSockets.clear();
    }

    TIdEventLoop& FLoop;
    TDone FDone;
    ares_channel FChannel = nullptr;
    std::map<int, std::unique_ptr<TSocket>> FSockets;
    TIdLoopTimer FTimer;
    bool FLimited = false;
    TClock::time_point FDeadline{};
    bool FFinished = false;
    bool FDelivered = false;
    TIdLookupResult FResult;
};

TIdLookup::TIdLookup() = default;

TIdLookup::~TIdLookup() {
    Cancel();
}

void TIdLookup::Start(TIdEventLoop& ALoop, const std::string& AHost, int ATimeout, TDone ADone) {
    Cancel();
    FState = std::make_shared<TState>(ALoop, std::move(ADone));
    FState->Begin(AHost, ATimeout);
}

void TIdLookup::Cancel() {
    if (!FState)
        return;
    FState->Abandon();
    // Deferred deliveries and events already taken hold their own reference.
    FState.reset();
}

bool TIdLookup::Running() const {
    return FState && FState->Running();
}

} // namespace kestrune
