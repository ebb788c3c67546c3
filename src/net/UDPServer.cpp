#include "net/UDPServer.h"

#include "net/Exception.h"
#include "net/TCPClient.h"

#include <cxxabi.h>
#include <poll.h>
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

} // namespace

TIdUDPListenerThread::TIdUDPListenerThread(TIdUDPServer& AServer, TIdSocketHandle& ABinding)
    : FServer(AServer), FBinding(ABinding) {}

TIdUDPListenerThread::~TIdUDPListenerThread() {
    TerminateAndWait();
}

void TIdUDPListenerThread::Start() {
    FThread = std::thread([this] { Run(); });
}

void TIdUDPListenerThread::TerminateAndWait() {
    FStopped = true;
    FBinding.CloseSocket();
    if (FThread.joinable())
        FThread.join();
}

void TIdUDPListenerThread::Run() {
    try {
        Receive();
    } catch (...) {
        // Out of memory: this binding stops receiving; nothing may end the process.
    }
    FBinding.CloseSocket();
}

void TIdUDPListenerThread::Receive() {
    // No datagram is longer than this, so a larger buffer would only be
    // memory that is never used.
    constexpr size_t LargestDatagram = 65535;
    const size_t size = static_cast<size_t>(std::max(FServer.BufferSize, 0));
    const size_t room = std::min(size, LargestDatagram);
    FReceive.reset(new uint8_t[std::max<size_t>(room, 1)]);
    FBuffer.reserve(room);
    // Datagrams that arrive together are taken one after another without a
    // wait between them; the wait comes when the socket has none left.
    bool more = false;
    while (!FStopped) {
        ssize_t received;
        sockaddr_storage from{};
        {
            TIdSocketHandle::TUse use(FBinding);
            if (!use)
                break;
            if (!more && (WaitSocketOrWakeUp(use.Handle(), POLLIN, FStop, -1) <= 0 || FStopped ||
                          !FBinding.HandleAllocated()))
                break;
            socklen_t length = sizeof from;
            // MSG_TRUNC makes the result the datagram's real length, so one
            // that did not fit is recognised and dropped whole.
            received = recvfrom(use.Handle(), FReceive.get(), room, MSG_DONTWAIT | MSG_TRUNC,
                                reinterpret_cast<sockaddr*>(&from), &length);
            more = received >= 0 || errno == EINTR;
        }
        if (received < 0 || static_cast<size_t>(received) > room)
            continue;
        FBuffer.assign(FReceive.get(), FReceive.get() + received);
        TIdSocketHandle::FromSockAddr(reinterpret_cast<sockaddr*>(&from), FBinding.PeerIP,
                                      FBinding.PeerPort);
        FBinding.IPVersion = from.ss_family == AF_INET6 ? Id_IPv6 : Id_IPv4;
        try {
            if (FServer.OnUDPRead)
                FServer.OnUDPRead(*this, FBuffer, FBinding);
        } catch (const std::exception& failure) {
            ReportFailure(failure.what(), ClassName(typeid(failure)));
        } catch (...) {
            ReportFailure("Unknown failure", "unknown");
        }
    }
}

void TIdUDPListenerThread::ReportFailure(const std::string& AMessage, const std::string& AClass) {
    if (!FServer.OnUDPException)
        return;
    try {
        FServer.OnUDPException(*this, FBinding, AMessage, AClass);
    } catch (...) {
    }
}

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
    std::lock_guard<std::mutex> lock(FListenerLock);
    if (Bindings.Count() == 0) {
        Bindings.Add().IPVersion = IPVersion;
        const TIdIPVersion other = IPVersion == Id_IPv4 ? Id_IPv6 : Id_IPv4;
        const int probe = socket(TIdSocketHandle::Family(other), SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (probe >= 0) {
            close(probe);
            Bindings.Add().IPVersion = other;
        }
    }
    FStop = std::make_shared<TIdWakeUp>();
    for (int i = 0; i < Bindings.Count(); ++i) {
        TIdSocketHandle& binding = Bindings[i];
        try {
            binding.AllocateSocket(SOCK_DGRAM);
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
        auto thread = std::make_unique<TIdUDPListenerThread>(*this, Bindings[i]);
        thread->FStop = FStop;
        try {
            thread->Start();
        } catch (...) {
            continue; // that binding stays bound without a thread
        }
        FListenerThreads.push_back(std::move(thread));
    }
}

void TIdUDPServer::Deactivate() {
    std::lock_guard<std::mutex> lock(FListenerLock);
    if (FStop)
        FStop->Signal();
    for (auto& thread : FListenerThreads)
        thread->TerminateAndWait();
    FListenerThreads.clear();
    for (int i = 0; i < Bindings.Count(); ++i)
        Bindings[i].CloseSocket();
    FCurrentBinding = nullptr;
}

} // namespace kestrune
