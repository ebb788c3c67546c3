#include "net/OwnEndpoints.h"

#include "base/IpAddress.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace kestrune {

namespace {

struct TRegistry {
    std::mutex Lock;
    std::vector<const TIdOwnEndpoints::TEntry*> Entries;
};

TRegistry& Registry() {
    static TRegistry registry;
    return registry;
}

} // namespace

TIdOwnEndpoints::TEntry::TEntry(TProtocol AProtocol, std::string AIP, TIdPort APort)
    : FProtocol(AProtocol), FIP(std::move(AIP)), FPort(APort) {
    std::lock_guard<std::mutex> lock(Registry().Lock);
    Registry().Entries.push_back(this);
}

TIdOwnEndpoints::TEntry::~TEntry() {
    std::lock_guard<std::mutex> lock(Registry().Lock);
    auto& entries = Registry().Entries;
    entries.erase(std::find(entries.begin(), entries.end(), this));
}

TIdOwnEndpoints::TEntryPtr TIdOwnEndpoints::Add(TProtocol AProtocol, const std::string& AIP,
                                                TIdPort APort) {
    return std::make_unique<TEntry>(AProtocol, AIP, APort);
}

bool TIdOwnEndpoints::Contains(TProtocol AProtocol, const std::string& AIP, TIdPort APort) {
    const auto peer = TIpAddress::Parse(AIP);
    if (!peer)
        return false;
    const TIpAddress address = peer->Unmapped();
    bool wildcard = false;
    {
        std::lock_guard<std::mutex> lock(Registry().Lock);
        for (const TEntry* entry : Registry().Entries) {
            if (entry->FProtocol != AProtocol || entry->FPort != APort)
                continue;
            const auto own = TIpAddress::Parse(entry->FIP);
            if (!own)
                continue;
            if (own->Unmapped() == address)
                return true;
            wildcard = wildcard || (own->IsAny() && own->Family() == address.Family());
        }
    }
    // Only a port shared with an "any" binding costs a look at the machine's
    // addresses.
    if (!wildcard)
        return false;
    if (address.IsLoopback())
        return true;
    const auto local = LocalAddresses();
    return std::find(local.begin(), local.end(), address) != local.end();
}

} // namespace kestrune
