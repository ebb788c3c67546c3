#include "base/IpAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>

namespace kestrune {

std::optional<TIpAddress> TIpAddress::Parse(std::string_view AText) {
    if (AText.find(':') != std::string_view::npos) {
        const std::string text(AText);
        in6_addr bytes{};
        if (inet_pton(AF_INET6, text.c_str(), &bytes) != 1)
            return std::nullopt;
        TIpAddress address(V6);
        for (int i = 0; i < 8; ++i)
            address.FGroups[static_cast<size_t>(i)] =
                static_cast<uint16_t>(bytes.s6_addr[2 * i] << 8 | bytes.s6_addr[2 * i + 1]);
        return address;
    }
    TIpAddress address(V4);
    size_t group = 0;
    size_t digits = 0;
    for (const char c : AText) {
        if (c == '.') {
            if (digits == 0 || ++group > 3)
                return std::nullopt;
            digits = 0;
        } else if (c >= '0' && c <= '9' && digits < 3) {
            address.FGroups[group] = static_cast<uint16_t>(address.FGroups[group] * 10 + (c - '0'));
            ++digits;
        } else {
            return std::nullopt;
        }
    }
    if (group != 3 || digits == 0)
        return std::nullopt;
    return address;
}

bool TIpAddress::IsAny() const {
    return std::all_of(FGroups.begin(), FGroups.end(), [](uint16_t g) { return g == 0; });
}

bool TIpAddress::IsLoopback() const {
    if (FFamily == V4)
        return FGroups[0] == 127;
    return Unmapped().FFamily == V4 ? Unmapped().IsLoopback()
                                    : std::all_of(FGroups.begin(), FGroups.begin() + 7,
                                                  [](uint16_t g) { return g == 0; }) &&
                                          FGroups[7] == 1;
}

TIpAddress TIpAddress::Unmapped() const {
    const bool mapped =
        FFamily == V6 &&
        std::all_of(FGroups.begin(), FGroups.begin() + 5, [](uint16_t g) { return g == 0; }) &&
        FGroups[5] == 0xFFFF;
    if (!mapped)
        return *this;
    TIpAddress v4(V4);
    v4.FGroups[0] = FGroups[6] >> 8;
    v4.FGroups[1] = FGroups[6] & 0xFF;
    v4.FGroups[2] = FGroups[7] >> 8;
    v4.FGroups[3] = FGroups[7] & 0xFF;
    return v4;
}

std::string TIpAddress::Text() const {
    char part[8];
    std::string text;
    if (FFamily == V4) {
        for (size_t i = 0; i < 4; ++i) {
            std::snprintf(part, sizeof part, i ? ".%u" : "%u", FGroups[i]);
            text += part;
        }
        return text;
    }
    // The longest run of zero groups (the first of equal ones), if two or more.
    size_t bestStart = 8, bestLength = 0;
    for (size_t i = 0; i < 8;) {
        size_t j = i;
        while (j < 8 && FGroups[j] == 0)
            ++j;
        if (j - i > bestLength && j - i >= 2) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j == i ? i + 1 : j;
    }
    const TIpAddress inner = Unmapped();
    const size_t hexGroups = inner.FFamily == V4 ? 6 : 8;
    for (size_t i = 0; i < hexGroups;) {
        if (i == bestStart) {
            text += "::";
            i += bestLength;
            continue;
        }
        if (!text.empty() && text.back() != ':')
            text += ':';
        std::snprintf(part, sizeof part, "%x", FGroups[i]);
        text += part;
        ++i;
    }
    if (inner.FFamily == V4) {
        if (text.back() != ':')
            text += ':';
        text += inner.Text();
    }
    return text;
}

std::string CanonicalAddressText(std::string_view AText) {
    const auto address = TIpAddress::Parse(AText);
    return address ? address->Text() : std::string(AText);
}

bool SameAddress(std::string_view A, std::string_view B) {
    const auto a = TIpAddress::Parse(A);
    const auto b = TIpAddress::Parse(B);
    if (a && b)
        return *a == *b;
    return A == B;
}

std::vector<TIpAddress> LocalAddresses() {
    std::vector<TIpAddress> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return out;
    for (ifaddrs* item = list; item; item = item->ifa_next) {
        if (!item->ifa_addr)
            continue;
        const int family = item->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6)
            continue;
        char text[INET6_ADDRSTRLEN] = {};
        const void* bytes = family == AF_INET
                                ? static_cast<const void*>(
                                      &reinterpret_cast<sockaddr_in*>(item->ifa_addr)->sin_addr)
                                : static_cast<const void*>(
                                      &reinterpret_cast<sockaddr_in6*>(item->ifa_addr)->sin6_addr);
        inet_ntop(family, bytes, text, sizeof text);
        if (const auto address = TIpAddress::Parse(text))
            out.push_back(*address);
    }
    freeifaddrs(list);
    return out;
}

} // namespace kestrune
