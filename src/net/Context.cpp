#include "net/Context.h"

#include <algorithm>

namespace kestrune {

TIdContext::TIdContext(std::unique_ptr<TIdTCPConnection> AConnection)
    : FConnection(std::move(AConnection)) {}

TIdContext::~TIdContext() = default;

TIdSocketHandle* TIdContext::Binding() const {
    if (!FConnection || !FConnection->Socket())
        return nullptr;
    return &FConnection->Socket()->Binding();
}

void TIdServerContext::HandOver(std::unique_ptr<TIdRelay> ARelay,
                                TIdRelay::TIdRelayEndEvent AOnEnd) {
    FRelay = std::move(ARelay);
    FOnRelayEnd = std::move(AOnEnd);
    FRelaying = FRelay.get();
}

void TIdContextList::Add(TIdContext* AContext) {
    std::lock_guard<std::mutex> lock(FLock);
    FItems.push_back(AContext);
}

bool TIdContextList::AddBelow(TIdContext* AContext, int AMax) {
    std::lock_guard<std::mutex> lock(FLock);
    if (AMax > 0 && FItems.size() >= static_cast<size_t>(AMax))
        return false;
    FItems.push_back(AContext);
    return true;
}

void TIdContextList::Remove(TIdContext* AContext) {
    std::lock_guard<std::mutex> lock(FLock);
    FItems.erase(std::remove(FItems.begin(), FItems.end(), AContext), FItems.end());
}

} // namespace kestrune
