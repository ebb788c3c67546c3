#include "net/Resolver.h"

#include "net/Exception.h"
#include "net/SocketHandle.h"

#include <ares.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <netdb.h>

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

// The literal's canonical text, or nothing when AHost is not a literal.
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

// One lookup's state, owned by the looking-up thread.
struct TLookup {
    bool Done = false;
    int Status = ARES_SUCCESS;
    std::vector<TIdResolvedAddress> Addresses;

    static void Finished(void* AArg, int AStatus, int, ares_addrinfo* AResult) {
        auto* lookup = static_cast<TLookup*>(AArg);
        lookup->Done = true;
        lookup->Status = AStatus;
        if (AResult) {
            for (ares_addrinfo_node* node = AResult->nodes; node; node = node->ai_next) {
                TIdResolvedAddress address;
                TIdPort ignored = 0;
                TIdSocketHandle::FromSockAddr(node->ai_addr, address.IP, ignored);
                address.IPVersion = node->ai_family == AF_INET6 ? Id_IPv6 : Id_IPv4;
                if (!address.IP.empty())
                    lookup->Addresses.push_back(std::move(address));
            }
            ares_freeaddrinfo(AResult);
        }
    }
};

class TChannel {
public:
    TChannel() {
        static std::once_flag once;
        std::call_once(once, [] { ares_library_init(ARES_LIB_INIT_ALL); });
        ares_options options{};
        // Files first, then DNS: /etc/hosts answers as it does for the system.
        char lookups[] = "fb";
        options.lookups = lookups;
        if (ares_init_options(&FChannel, &options, ARES_OPT_LOOKUPS) != ARES_SUCCESS)
            throw EIdSocketError(ENOMEM);
        const std::string servers = Servers();
        if (!servers.empty())
            ares_set_servers_ports_csv(FChannel, servers.c_str());
    }
    // Cancels whatever is still pending; the callbacks see ARES_EDESTRUCTION.
    ~TChannel() { ares_destroy(FChannel); }
    TChannel(const TChannel&) = delete;
    TChannel& operator=(const TChannel&) = delete;

    ares_channel Get() const { return FChannel; }

private:
    ares_channel FChannel = nullptr;
};

std::string StatusText(int AStatus) {
    return ares_strerror(AStatus);
}

} // namespace

void TIdResolver::SetServers(const std::string& AServers) {
    std::lock_guard<std::mutex> lock(gServersLock);
    gServers = AServers;
}

std::vector<TIdResolvedAddress> TIdResolver::Resolve(const std::string& AHost,
                                                     std::span<const TIdWakeUpPtr> AWakeUps,
                                                     int ATimeout) {
    TIdResolvedAddress literal;
    if (IsLocalhost(AHost))
        return {{"127.0.0.1", Id_IPv4}, {"::1", Id_IPv6}};
    if (Literal(AHost, literal))
        return {literal};
    auto woken = [&] {
        return std::any_of(AWakeUps.begin(), AWakeUps.end(),
                           [](const TIdWakeUpPtr& w) { return w && w->Signalled(); });
    };
    if (woken())
        throw EIdSocketError(ECONNABORTED);

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(ATimeout, 0));
    TLookup lookup;
    {
        TChannel channel;
        ares_addrinfo_hints hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        ares_getaddrinfo(channel.Get(), AHost.c_str(), nullptr, &hints, &TLookup::Finished,
                         &lookup);
        while (!lookup.Done) {
            ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
            const int mask = ares_getsock(channel.Get(), sockets, ARES_GETSOCK_MAXNUM);
            pollfd pfds[ARES_GETSOCK_MAXNUM + 4];
            nfds_t count = 0;
            for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
                const short events =
                    static_cast<short>((ARES_GETSOCK_READABLE(mask, i) ? POLLIN : 0) |
                                       (ARES_GETSOCK_WRITABLE(mask, i) ? POLLOUT : 0));
                if (events)
                    pfds[count++] = {sockets[i], events, 0};
            }
            const nfds_t wakeIndex = count;
            for (const TIdWakeUpPtr& wakeUp : AWakeUps.first(std::min<size_t>(AWakeUps.size(), 4)))
                pfds[count++] = {wakeUp ? wakeUp->Handle() : -1, POLLIN, 0};

            timeval limit{};
            timeval* next = ares_timeout(channel.Get(), nullptr, &limit);
            long long wait = next ? next->tv_sec * 1000LL + next->tv_usec / 1000 + 1 : -1;
            if (ATimeout >= 0) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                        .count();
                if (left <= 0)
                    throw EIdConnectTimeout();
                wait = wait < 0 ? left : std::min<long long>(wait, left);
            }
            const int ready = poll(pfds, count, static_cast<int>(std::min<long long>(wait, 60000)));
            if (ready < 0 && errno != EINTR)
                throw EIdSocketError(errno);
            if (woken())
                throw EIdSocketError(ECONNABORTED); // the channel's destruction cancels the query
            if (ready <= 0) {
                ares_process_fd(channel.Get(), ARES_SOCKET_BAD, ARES_SOCKET_BAD);
                continue;
            }
            for (nfds_t i = 0; i < wakeIndex; ++i) {
                if (!pfds[i].revents)
                    continue;
                const bool readable = pfds[i].revents & (POLLIN | POLLERR | POLLHUP);
                const bool writable = pfds[i].revents & (POLLOUT | POLLERR | POLLHUP);
                ares_process_fd(channel.Get(), readable ? pfds[i].fd : ARES_SOCKET_BAD,
                                writable ? pfds[i].fd : ARES_SOCKET_BAD);
            }
        }
    }
    if (lookup.Status != ARES_SUCCESS || lookup.Addresses.empty())
        throw EIdSocketError(
            lookup.Status == ARES_SUCCESS ? ARES_ENODATA : lookup.Status,
            StatusText(lookup.Status == ARES_SUCCESS ? ARES_ENODATA : lookup.Status));
    return lookup.Addresses;
}

} // namespace kestrune
