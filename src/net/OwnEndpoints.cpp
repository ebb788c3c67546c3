#include "net/OwnEndpoints.h"

#include "base/IpAddress.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace kestrune {

namespace {

// Entries by protocol and own port, so that a look-up costs the same
// however many connections are open.
struct TRegistry {
    std::mutex Lock;
    std::unordered_multimap<uint32_t, const TIdOwnEndpoints::TEntry*> Entries;
};

uint32_t Key(TIdOwnEndpoints::TProtocol AProtocol, TIdPort APort) {
    return static_cast<uint32_t>(AProtocol) << 16 | APort;
}

TRegistry& Registry() {
    static TRegistry registry;
    return registry;
}

std::optional<TIpAddress> Address(const std::string& AText) {
    const auto address = TIpAddress::Parse(AText);
    if (!address)
        return std::nullopt;
    return address->Unmapped();
}

bool Same(const std::string& A, const std::optional<TIpAddress>& B) {
    const auto a = Address(A);
    return a && B && *a == *B;
}

// A connect to "any" reaches the loopback address of its family.
std::string Reached(const std::string& AIP) {
    const auto address = Address(AIP);
    if (!address || !address->IsAny())
        return AIP;
    return address->Family() == TIpAddress::V6 ? "::1" : "127.0.0.1";
}

} // namespace

TIdOwnEndpoints::TEntry::TEntry(TProtocol AProtocol, std::string AIP, TIdPort APort,
                                std::string ARemoteIP, TIdPort ARemotePort)
    : FProtocol(AProtocol), FIP(std::move(AIP)), FPort(APort), FRemoteIP(std::move(ARemoteIP)),
      FRemotePort(ARemotePort) {
    std::lock_guard<std::mutex> lock(Registry().Lock);
    Registry().Entries.emplace(Key(FProtocol, FPort), this);
}

TIdOwnEndpoints::TEntry::~TEntry() {
    std::lock_guard<std::mutex> lock(Registry().Lock);
    auto [from, to] = Registry().Entries.equal_range(Key(FProtocol, FPort));
    for (auto it = from; it != to; ++it) {
        if (it->second == this) {
            Registry().Entries.erase(it);
            return;
        }
    }
}

TIdOwnEndpoints::TEntryPtr TIdOwnEndpoints::AddDatagram(const std::string& AIP, TIdPort APort) {
    return std::make_unique<TEntry>(UDP, AIP, APort, std::string(), 0);
}

TIdOwnEndpoints::TEntryPtr TIdOwnEndpoints::AddConnection(const std::string& ALocalIP,
                                                          TIdPort ALocalPort,
                                                          const std::string& ARemoteIP,
                                                          TIdPort ARemotePort) {
    return std::make_unique<TEntry>(TCP, ALocalIP, ALocalPort, Reached(ARemoteIP), ARemotePort);
}

bool TIdOwnEndpoints::MadeConnection(const std::string& APeerIP, TIdPort APeerPort,
                                     const std::string& ALocalIP, TIdPort ALocalPort) {
    const auto peer = Address(APeerIP);
    const auto local = Address(ALocalIP);
    std::lock_guard<std::mutex> lock(Registry().Lock);
    auto [from, to] = Registry().Entries.equal_range(Key(TCP, APeerPort));
    return std::any_of(from, to, [&](const auto& item) {
        const TEntry& e = *item.second;
        return e.FRemotePort == ALocalPort && Same(e.FIP, peer) && Same(e.FRemoteIP, local);
    });
}

bool TIdOwnEndpoints::SentDatagram(const std::string& AIP, TIdPort APort) {
    const auto address = Address(AIP);
    if (!address)
        return false;
    bool wildcard = false;
    {
        std::lock_guard<std::mutex> lock(Registry().Lock);
        auto [from, to] = Registry().Entries.equal_range(Key(UDP, APort));
        for (auto it = from; it != to; ++it) {
            const auto own = Address(it->second->FIP);
            if (!own)
                continue;
            if (*own == *address)
                return true;
            wildcard = wildcard || (own->IsAny() && own->Family() == address->Family());
        }
    }
    // Only a port shared with an "any" binding costs a look at the machine's
    // addresses.
    if (!wildcard)
        return false;
    if (address->IsLoopback())
        return true;
    const auto local = LocalAddresses();
    return std::find(local.begin(), local.end(), *address) != local.end();
}

} // namespace kestrune
