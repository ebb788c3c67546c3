#include "net/IOHandlerStack.h"

#include "net/Exception.h"

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
    FReset = false;
    FOpened = true;
}

bool TIdIOHandlerStack::Close() {
    // Marked closed before the socket goes, so that a woken reader already
    // sees a closed handler.
    const bool wasOpen = FOpened.exchange(false);
    FBinding->CloseSocket();
    return wasOpen;
}

void TIdIOHandlerStack::RaiseClosed() const {
    if (!FOpened)
        throw EIdNotConnected();
    throw EIdClosedSocket();
}

bool TIdIOHandlerStack::Connected() const {
    if (FBinding->HandleAllocated() && FOpened && !FClosedGracefully)
        return true;
    return !InputBuffer.Empty();
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
    if (!FOpened)
        RaiseClosed();
    while (ASize > 0) {
        ssize_t sent;
        int error = 0;
        {
            TIdSocketHandle::TUse use(*FBinding);
            if (!use)
                RaiseClosed();
            do {
                sent = send(use.Handle(), AData, ASize, MSG_NOSIGNAL | MSG_DONTWAIT);
            } while (sent < 0 && errno == EINTR);
            if (sent < 0)
                error = errno;
        }
        // The messages written this way are the few bytes of a protocol's
        // answers, which a fresh connection always has room for: one that
        // has none is not one to wait for.
        if (sent <= 0) {
            if (!FBinding->HandleAllocated())
                RaiseClosed();
            Close();
            throw EIdSocketError(sent < 0 ? error : EPIPE);
        }
        AData += sent;
        ASize -= static_cast<size_t>(sent);
        DoWork(wmWrite, sent);
    }
}

} // namespace kestrune
