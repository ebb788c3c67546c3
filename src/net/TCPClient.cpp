#include "net/TCPClient.h"

#include "net/Exception.h"
#include "net/Resolver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <unistd.h>
#include <vector>

namespace kestrune {

int WaitSocketOrWakeUp(int AHandle, short AEvents, const TIdWakeUpPtr& AWakeUp, int ATimeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(ATimeout, 0));
    for (;;) {
        pollfd pfds[2] = {{AHandle, AEvents, 0}, {AWakeUp ? AWakeUp->Handle() : -1, POLLIN, 0}};
        int wait = -1;
        if (ATimeout >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = static_cast<int>(std::max<long long>(left.count(), 0));
        }
        const int ready = poll(pfds, 2, wait);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return 0;
        if (pfds[1].revents & POLLIN)
            return -1;
        return 1;
    }
}

namespace {

using TClock = std::chrono::steady_clock;

// How long an attempt runs alone before the next address is tried beside it.
constexpr auto AttemptDelay = std::chrono::milliseconds(250);

int Remaining(TClock::time_point ADeadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - TClock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
}

struct TAttempt {
    int Handle;
    TIdResolvedAddress Address;
};

// The connects in flight; whatever is still open when it goes is closed.
class TAttempts {
public:
    ~TAttempts() {
        for (const TAttempt& attempt : FItems)
            ::close(attempt.Handle);
    }
    std::vector<TAttempt>& Items() { return FItems; }
    TAttempt Take(size_t AIndex) {
        const TAttempt taken = FItems[AIndex];
        FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(AIndex));
        return taken;
    }

private:
    std::vector<TAttempt> FItems;
};

} // namespace

TIdTCPClient::TIdTCPClient() {
    SetIOHandler(std::make_unique<TIdIOHandlerStack>());
}

void TIdTCPClient::Connect() {
    if (FIOHandler && FIOHandler->Opened() && Connected())
        throw EIdAlreadyConnected();
    if (Host.empty())
        throw EIdHostRequired();
    if (Port == 0)
        throw EIdPortRequired();

    TIdIOHandlerStack& handler = *FIOHandler;
    handler.InputBuffer.Clear();
    handler.ReadTimeout = ReadTimeout;
    TIdSocketHandle& binding = handler.Binding();
    // A Disconnect() from another thread while this runs signals it.
    const TIdWakeUpPtr aborted = handler.ArmCloseSignal();
    struct TDisarm {
        TIdIOHandlerStack& Handler;
        ~TDisarm() { Handler.DisarmCloseSignal(); }
    } disarm{handler};
    const TIdWakeUpPtr wakeUp = FWakeUp ? FWakeUp : CurrentThreadWakeUp();
    const bool limited = ConnectTimeout > 0;
    const auto deadline = TClock::now() + std::chrono::milliseconds(std::max(ConnectTimeout, 0));
    try {
        const TIdWakeUpPtr wakeUps[] = {aborted, wakeUp};
        auto woken = [&] { return aborted->Signalled() || (wakeUp && wakeUp->Signalled()); };
        const std::vector<TIdResolvedAddress> addresses =
            TIdResolver::Resolve(Host, wakeUps, limited ? Remaining(deadline) : -1);
        TAttempts attempts;
        size_t next = 0;
        int lastError = EHOSTUNREACH;
        auto nextStart = TClock::now();
        std::optional<TAttempt> winner;
        while (!winner) {
            if (woken())
                throw EIdSocketError(ECONNABORTED);
            if (next < addresses.size() &&
                (attempts.Items().empty() || TClock::now() >= nextStart)) {
                const TIdResolvedAddress& address = addresses[next++];
                sockaddr_storage addr;
                socklen_t length = 0;
                if (!TIdSocketHandle::ToSockAddr(address.IP, Port, address.IPVersion, addr, length))
                    continue;
                const int fd = socket(TIdSocketHandle::Family(address.IPVersion),
                                      SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                if (fd < 0) {
                    lastError = errno;
                    continue;
                }
                if (connect(fd, reinterpret_cast<sockaddr*>(&addr), length) == 0) {
                    winner = TAttempt{fd, address};
                    break;
                }
                if (errno != EINPROGRESS) {
                    lastError = errno;
                    ::close(fd);
                    continue;
                }
                attempts.Items().push_back({fd, address});
                nextStart = TClock::now() + AttemptDelay;
                continue;
            }
            if (attempts.Items().empty())
                throw EIdSocketError(lastError);
            if (limited && Remaining(deadline) == 0)
                throw EIdConnectTimeout();

            std::vector<pollfd> pfds;
            for (const TAttempt& attempt : attempts.Items())
                pfds.push_back({attempt.Handle, POLLOUT, 0});
            pfds.push_back({aborted->Handle(), POLLIN, 0});
            pfds.push_back({wakeUp ? wakeUp->Handle() : -1, POLLIN, 0});
            int wait = limited ? Remaining(deadline) : -1;
            if (next < addresses.size()) {
                const int untilNext = static_cast<int>(std::max<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(nextStart - TClock::now())
                        .count(),
                    0));
                wait = wait < 0 ? untilNext : std::min(wait, untilNext);
            }
            if (poll(pfds.data(), pfds.size(), wait) < 0 && errno != EINTR)
                throw EIdSocketError(errno);
            for (size_t i = attempts.Items().size(); i-- > 0;) {
                if (!pfds[i].revents)
                    continue;
                int error = 0;
                socklen_t size = sizeof error;
                getsockopt(attempts.Items()[i].Handle, SOL_SOCKET, SO_ERROR, &error, &size);
                if (error == 0) {
                    winner = attempts.Take(i);
                    break;
                }
                lastError = error;
                ::close(attempts.Take(i).Handle);
            }
        }
        binding.Adopt(winner->Handle, winner->Address.IPVersion);
        IPVersion = winner->Address.IPVersion;
        // Closed meanwhile by another thread: the adopted socket goes too.
        if (woken())
            throw EIdSocketError(ECONNABORTED);
        {
            TIdSocketHandle::TUse use(binding);
            if (!use)
                throw EIdSocketError(ECONNABORTED);
            fcntl(use.Handle(), F_SETFL, 0); // blocking again; no other status flag is set
        }
        binding.SetNoDelay(!UseNagle);
        binding.UpdateBindingLocal();
        binding.PeerIP = winner->Address.IP;
        binding.PeerPort = Port;
        handler.Open();
    } catch (...) {
        handler.Close();
        throw;
    }
}

} // namespace kestrune
