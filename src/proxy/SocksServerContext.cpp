#include "proxy/SocksServerContext.h"

namespace kestrune {

TIdSocksServerContext::TIdSocksServerContext(TIdCustomTCPServer& AServer,
                                             std::unique_ptr<TIdTCPConnection> AConnection)
    : TIdServerContext(AServer, std::move(AConnection)) {}

TIdSocksServerContext::~TIdSocksServerContext() = default;

bool TIdSocksServerContext::Close() {
    // The client goes first, so that nothing the command still does sends
    // a refusal to a client that was dropped.
    bool wasOpen = false;
    if (TIdTCPConnection* connection = Connection(); connection && connection->IOHandler())
        wasOpen = connection->IOHandler()->Close();
    Abandon();
    return wasOpen;
}

void TIdSocksServerContext::Abandon() {
    FRequestTimer.Cancel();
    FLookup.Cancel();
    if (FTarget)
        FTarget->Abort();
    if (FListener)
        FListener->Abort();
    if (FAssociation)
        FAssociation->Close();
    if (FHttp)
        FHttp->Close();
}

} // namespace kestrune
