#include "net/UDPServer.h"

#include "net/Exception.h"

#include <cxxabi.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <typeinfo>

namespace kestrune {

namespace {

std::string ClassName(const std::type_info& AType) {
    int status = 0;
    char* name = abi::__cxa_demangle(AType.name(), nullptr, nullptr, &status);
    std::string text = status == 0 && name ? name : AType.name();
    std::free(name);
    const size_t colon = text.rfind("::");
    return colon == std::string::npos ? text : text.substr(colon + 2);
}

// No datagram is longer than this, so a larger buffer would only be memory
// that is never used.
constexpr size_t LargestDatagram = 65535;
// Datagrams one binding takes in a row before the loop serves the others.
constexpr int DatagramsPerTurn = 64;

} // namespace

// One binding on its loop.
class TIdUDPServer::TReader : public TIdLoopWatch {
public:
    TReader(TIdUDPServer& AServer, TIdSocketHandle& ABinding)
        : FServer(AServer), FBinding(ABinding), FLoop(TIdEventLoops::Next()) {
        const size_t size = static_cast<size_t>(std::max(FServer.BufferSize, 0));
        FRoom = std::min(size, LargestDatagram);
        FReceive.reset(new uint8_t[std::max<size_t>(FRoom, 1)]);
        FData.reserve(FRoom);
    }

    bool Start() {
        TIdSocketHandle::TUse use(FBinding);
        if (!use)
            return false;
        FHandle = use.Handle();
        FLoop.Post([this] { FWatched = FLoop.Watch(FHandle, *this, EPOLLIN); });
        return true;
    }

    // Returns once the loop will not call this reader again.
    void Stop() {
        FLoop.Post([this] {
            if (FWatched)
                FLoop.Unwatch(FHandle);
            FWatched = false;
        });
        TIdEventLoops::Sync();
    }

    void OnEvents(uint32_t) override {
        // Datagrams that arrive together are taken one after another
        // without a wait between them.
        for (int i = 0; i < DatagramsPerTurn; ++i) {
            sockaddr_storage from{};
            socklen_t length = sizeof from;
            // MSG_TRUNC makes the result the datagram's real length, so one
            // that did not fit is recognised and dropped whole.
            const ssize_t received =
                recvfrom(FHandle, FReceive.get(), FRoom, MSG_DONTWAIT | MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(&from), &length);
            if (received < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (static_cast<size_t>(received) > FRoom)
                continue;
            FData.assign(FReceive.get(), FReceive.get() + received);
            TIdSocketHandle::FromSockAddr(reinterpret_cast<sockaddr*>(&from), FBinding.PeerIP,
                                          FBinding.PeerPort);
            FBinding.IPVersion = from.ss_family == AF_INET6 ? Id_IPv6 : Id_IPv4;
            try {
                if (FServer.OnUDPRead)
                    FServer.OnUDPRead(FData, FBinding);
            } catch (const std::exception& failure) {
                Report(failure.what(), ClassName(typeid(failure)));
            } catch (...) {
                Report("Unknown failure", "unknown");
            }
        }
    }

private:
    void Report(const std::string& AMessage, const std::string& AClass) {
        if (!FServer.OnUDPException)
            return;
        try {
            FServer.OnUDPException(FBinding, AMessage, AClass);
        } catch (...) {
        }
    }

    TIdUDPServer& FServer;
    TIdSocketHandle& FBinding;
    TIdEventLoop& FLoop;
    int FHandle = -1;
    bool FWatched = false; // loop thread only
    size_t FRoom = 0;
    std::unique_ptr<uint8_t[]> FReceive;
    TIdBytes FData;
};

TIdUDPServer::TIdUDPServer() {
    IgnoreSigPipe();
}

TIdUDPServer::~TIdUDPServer() {
    Deactivate();
}

bool TIdUDPServer::Active() const {
    return FCurrentBinding && FCurrentBinding->HandleAllocated();
}

void TIdUDPServer::SetActive(bool AValue) {
    if (AValue) {
        if (Active())
            return;
        Deactivate(); // whatever is left of an activation whose socket has gone
        Activate();
    } else {
        Deactivate();
    }
}

void TIdUDPServer::Activate() {
    if (Bindings.Count() == 0) {
        Bindings.Add().IPVersion = IPVersion;
        const TIdIPVersion other = IPVersion == Id_IPv4 ? Id_IPv6 : Id_IPv4;
        const int probe = socket(TIdSocketHandle::Family(other), SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (probe >= 0) {
            close(probe);
            Bindings.Add().IPVersion = other;
        }
    }
    for (int i = 0; i < Bindings.Count(); ++i) {
        TIdSocketHandle& binding = Bindings[i];
        try {
            binding.AllocateSocket(SOCK_DGRAM | SOCK_NONBLOCK);
            binding.Bind();
        } catch (...) {
            binding.CloseSocket();
            for (int j = 0; j < i; ++j)
                Bindings[j].CloseSocket();
            FCurrentBinding = nullptr;
            throw;
        }
        if (!FCurrentBinding)
            FCurrentBinding = &binding;
    }
    for (int i = 0; i < Bindings.Count(); ++i) {
        auto reader = std::make_unique<TReader>(*this, Bindings[i]);
        if (reader->Start())
            FReaders.push_back(std::move(reader));
    }
}

void TIdUDPServer::Deactivate() {
    for (auto& reader : FReaders)
        reader->Stop();
    FReaders.clear();
    for (int i = 0; i < Bindings.Count(); ++i)
        Bindings[i].CloseSocket();
    FCurrentBinding = nullptr;
}

} // namespace kestrune
