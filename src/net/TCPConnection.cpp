#include "net/TCPConnection.h"

namespace kestrune {

TIdTCPConnection::TIdTCPConnection(std::unique_ptr<TIdIOHandlerStack> AIOHandler) {
    SetIOHandler(std::move(AIOHandler));
}

TIdTCPConnection::~TIdTCPConnection() {
    if (FIOHandler)
        FIOHandler->Close();
}

void TIdTCPConnection::SetIOHandler(std::unique_ptr<TIdIOHandlerStack> AIOHandler) {
    FIOHandler = std::move(AIOHandler);
    if (FIOHandler)
        FIOHandler->WorkTarget = this;
}

std::unique_ptr<TIdIOHandlerStack> TIdTCPConnection::ReleaseIOHandler() {
    if (FIOHandler)
        FIOHandler->WorkTarget = nullptr;
    return std::move(FIOHandler);
}

bool TIdTCPConnection::Connected() const {
    return FIOHandler && FIOHandler->Connected();
}

void TIdTCPConnection::Disconnect() {
    if (!FIOHandler)
        return;
    if (FIOHandler->Close() && OnDisconnected)
        OnDisconnected(*this);
}

} // namespace kestrune
