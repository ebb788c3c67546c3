#include "net/IOHandlerStack.h"

#include "net/Exception.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace kestrune {

TIdIOHandlerStack::TIdIOHandlerStack() : FBinding(std::make_unique<TIdSocketHandle>()) {}

TIdIOHandlerStack::~TIdIOHandlerStack() {
    Close();
}

void TIdIOHandlerStack::Open() {
    FClosedGracefully = false;
    FOpened = true;
}

bool TIdIOHandlerStack::Close() {
    // Marked closed before the socket goes, so that a woken reader already
    // sees a closed handler.
    const bool wasOpen = FOpened.exchange(false);
    FBinding->CloseSocket();
    TIdWakeUpPtr signal;
    {
        std::lock_guard<std::mutex> lock(FCloseSignalLock);
        signal = FCloseSignal;
    }
    if (signal)
        signal->Signal();
    return wasOpen;
}

void TIdIOHandlerStack::DisarmCloseSignal() {
    std::lock_guard<std::mutex> lock(FCloseSignalLock);
    FCloseSignal.reset();
}

TIdWakeUpPtr TIdIOHandlerStack::ArmCloseSignal() {
    auto signal = std::make_shared<TIdWakeUp>();
    std::lock_guard<std::mutex> lock(FCloseSignalLock);
    FCloseSignal = signal;
    return signal;
}

int TIdIOHandlerStack::ResolveTimeout(int ATimeout) const {
    if (ATimeout == IdTimeoutDefault)
        ATimeout = ReadTimeout > 0 ? ReadTimeout : IdTimeoutInfinite;
    return ATimeout == IdTimeoutInfinite || ATimeout < 0 ? -1 : ATimeout;
}

void TIdIOHandlerStack::RaiseClosed() const {
    if (!FOpened)
        throw EIdNotConnected();
    throw EIdClosedSocket();
}

void TIdIOHandlerStack::CheckForDisconnect(bool ARaiseExceptionIfDisconnected, bool AIgnoreBuffer) {
    const bool graceful = FClosedGracefully;
    if (!graceful && FBinding->HandleAllocated())
        return;
    if (graceful)
        FBinding->CloseSocket();
    if (ARaiseExceptionIfDisconnected && (AIgnoreBuffer || InputBuffer.Empty()))
        throw EIdConnClosedGracefully();
}

int TIdIOHandlerStack::ReadFromSource(bool ARaiseExceptionIfDisconnected, int ATimeout,
                                      bool ARaiseExceptionOnTimeout) {
    const int timeout = ResolveTimeout(ATimeout);
    CheckForDisconnect(ARaiseExceptionIfDisconnected, false);
    if (!FBinding->HandleAllocated()) {
        if (ARaiseExceptionIfDisconnected)
            throw EIdNotConnected();
        return 0;
    }
    const size_t want = static_cast<size_t>(std::max(RecvBufferSize, 1));
    for (;;) {
        int received = 0;
        int error = 0;
        {
            TIdSocketHandle::TUse use(*FBinding);
            if (!use) {
                if (ARaiseExceptionIfDisconnected)
                    RaiseClosed();
                return 0;
            }
            pollfd pfd{use.Handle(), POLLIN, 0};
            int ready;
            do {
                ready = poll(&pfd, 1, timeout);
            } while (ready < 0 && errno == EINTR);
            if (ready == 0) {
                if (ARaiseExceptionOnTimeout)
                    throw EIdReadTimeout();
                return -1;
            }
            if (!FOpened || !FBinding->HandleAllocated()) {
                if (ARaiseExceptionIfDisconnected)
                    RaiseClosed();
                return 0;
            }
            const ssize_t got =
                recv(use.Handle(), InputBuffer.PrepareAppend(want), want, MSG_DONTWAIT);
            if (got < 0) {
                error = errno;
                if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)
                    continue;
                received = -1;
            } else {
                received = static_cast<int>(got);
            }
        }
        if (received > 0) {
            InputBuffer.Commit(static_cast<size_t>(received));
        } else if (received == 0) {
            FClosedGracefully = true;
        } else {
            if (error == ETIMEDOUT) {
                if (ARaiseExceptionOnTimeout)
                    throw EIdReadTimeout();
                return -1;
            }
            FClosedGracefully = true;
            Close();
            if (ARaiseExceptionIfDisconnected && InputBuffer.Empty())
                throw EIdSocketError(error);
            return 0;
        }
        CheckForDisconnect(ARaiseExceptionIfDisconnected, false);
        return received;
    }
}

void TIdIOHandlerStack::WaitForBytes(size_t ACount) {
    while (InputBuffer.Size() < ACount) {
        ReadFromSource(false, IdTimeoutDefault, true);
        // A peer that closed before sending enough ends the read here.
        CheckForDisconnect(true, true);
    }
}

uint8_t TIdIOHandlerStack::ReadByte() {
    uint8_t value = 0;
    WaitForBytes(1);
    InputBuffer.ExtractTo(&value, 1);
    return value;
}

void TIdIOHandlerStack::ReadBytes(TIdBytes& ABuffer, size_t ACount, bool AAppend) {
    WaitForBytes(ACount);
    if (!AAppend)
        ABuffer.clear();
    InputBuffer.ExtractToBytes(ABuffer, static_cast<long long>(ACount));
}

std::string TIdIOHandlerStack::ReadString(size_t ACount) {
    WaitForBytes(ACount);
    std::string text = BytesToString(InputBuffer.Data(), ACount);
    InputBuffer.Remove(ACount);
    return text;
}

std::string TIdIOHandlerStack::ReadLn(const std::string& ATerminator, int ATimeout,
                                      int AMaxLineLength) {
    const std::string terminator = ATerminator.empty() ? std::string("\n") : ATerminator;
    const bool dropCR = terminator == "\n";
    const size_t maxLength =
        static_cast<size_t>(AMaxLineLength < 0 ? MaxLineLength : AMaxLineLength);
    size_t searchFrom = 0;
    for (;;) {
        const long long found = InputBuffer.IndexOf(terminator, searchFrom);
        if (found >= 0) {
            size_t length = static_cast<size_t>(found);
            if (length > maxLength)
                throw EIdReadLnMaxLineLengthExceeded();
            std::string line = BytesToString(InputBuffer.Data(), length);
            InputBuffer.Remove(length + terminator.size());
            if (dropCR && !line.empty() && line.back() == '\r')
                line.pop_back();
            return line;
        }
        const size_t size = InputBuffer.Size();
        if (size > maxLength)
            throw EIdReadLnMaxLineLengthExceeded();
        searchFrom = size >= terminator.size() ? size - (terminator.size() - 1) : 0;
        CheckForDisconnect(true, true);
        if (ReadFromSource(true, ATimeout, false) < 0)
            return std::string();
    }
}

bool TIdIOHandlerStack::Connected() {
    ReadFromSource(false, 0, false);
    if (FBinding->HandleAllocated() && FOpened && !(FClosedGracefully && InputBuffer.Empty()))
        return true;
    return !InputBuffer.Empty();
}

bool TIdIOHandlerStack::CheckForDataOnSource(int ATimeout) {
    const size_t before = InputBuffer.Size();
    if (!Connected())
        return false;
    if (InputBuffer.Size() > before)
        return true;
    ReadFromSource(false, ATimeout, false);
    return InputBuffer.Size() > before;
}

bool TIdIOHandlerStack::StillConnected() {
    const bool buffered = !InputBuffer.Empty();
    TIdSocketHandle::TUse use(*FBinding);
    if (!use || !FOpened)
        return buffered;
    pollfd pfd{use.Handle(), POLLIN | POLLRDHUP, 0};
    if (poll(&pfd, 1, 0) <= 0)
        return true;
    if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))
        return false;
    if (pfd.revents & POLLRDHUP) {
        int pending = 0;
        if (ioctl(use.Handle(), FIONREAD, &pending) == 0 && pending == 0)
            return buffered;
    }
    return true;
}

void TIdIOHandlerStack::Write(const TIdBytes& ABuffer) {
    WriteDirect(ABuffer.data(), ABuffer.size());
}

void TIdIOHandlerStack::Write(const std::string& AText) {
    WriteDirect(reinterpret_cast<const uint8_t*>(AText.data()), AText.size());
}

void TIdIOHandlerStack::Write(const uint8_t* AData, size_t ASize) {
    BeginWork(wmWrite, static_cast<int64_t>(ASize));
    try {
        const size_t chunk = static_cast<size_t>(std::max(SendBufferSize, 1));
        for (size_t done = 0; done < ASize;) {
            const size_t part = std::min(chunk, ASize - done);
            WriteDirect(AData + done, part);
            done += part;
        }
    } catch (...) {
        EndWork(wmWrite);
        throw;
    }
    EndWork(wmWrite);
}

void TIdIOHandlerStack::WriteDirect(const uint8_t* AData, size_t ASize) {
    CheckForDisconnect(true, true);
    while (ASize > 0) {
        ssize_t sent;
        int error = 0;
        {
            TIdSocketHandle::TUse use(*FBinding);
            if (!use)
                RaiseClosed();
            do {
                sent = send(use.Handle(), AData, ASize, MSG_NOSIGNAL);
            } while (sent < 0 && errno == EINTR);
            if (sent < 0)
                error = errno;
        }
        if (sent < 0) {
            if (!FBinding->HandleAllocated())
                RaiseClosed();
            if (error != ETIMEDOUT) {
                FClosedGracefully = true;
                Close();
            }
            throw EIdSocketError(error);
        }
        if (sent == 0)
            FClosedGracefully = true;
        CheckForDisconnect(true, true);
        AData += sent;
        ASize -= static_cast<size_t>(sent);
        DoWork(wmWrite, sent);
    }
}

} // namespace kestrune
