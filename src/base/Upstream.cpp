#include "base/Upstream.h"

#include "base/IpAddress.h"
#include "base/Text.h"

namespace kestrune {

namespace {

// "%XX" stands for the byte XX; a '%' without two hexadecimal digits after
// it makes the text unreadable.
std::optional<std::string> PercentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = DigitValue(text[i + 1], 16);
        const int low = DigitValue(text[i + 2], 16);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

bool IsNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

// Labels of letters, digits, '-' and '_' between single dots. A label's
// length is left to the resolver, which refuses one that is too long.
bool IsHostName(std::string_view host) {
    if (host.empty() || host.size() > 253)
        return false;
    std::size_t label = 0;
    for (const char c : host) {
        if (c == '.') {
            if (label == 0)
                return false;
            label = 0;
        } else if (IsNameCharacter(c)) {
            ++label;
        } else {
            return false;
        }
    }
    return label > 0;
}

// An IPv4 address as the system connects to it: four numbers of 0 to 255.
std::optional<TIpAddress> StrictIpv4(std::string_view host) {
    const auto address = TIpAddress::Parse(host);
    if (!address || address->Family() != TIpAddress::V4)
        return std::nullopt;
    // Text() keeps a group above 255 as it was written, which a connect
    // could never reach.
    const std::string text = address->Text();
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t dot = std::min(text.find('.', start), text.size());
        if (dot - start > 3 ||
            ParseWholeNumber(text.substr(start, dot - start)).value_or(256) > 255)
            return std::nullopt;
        start = dot + 1;
    }
    return address;
}

// The range of the password inside a Via text: after the first ':' of the
// part between "://" and the last '@'. Empty when there is none.
std::pair<std::size_t, std::size_t> PasswordRange(std::string_view text) {
    const std::size_t scheme = text.find("://");
    const std::size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
    const std::size_t at = text.rfind('@');
    if (at == std::string_view::npos || at < start)
        return {0, 0};
    const std::size_t colon = text.find(':', start);
    if (colon == std::string_view::npos || colon > at)
        return {0, 0};
    return {colon + 1, at};
}

} // namespace

std::optional<TUpstream> ParseVia(std::string_view text) {
    TUpstream out;
    if (text.empty() || SameIgnoringCase(text, "direct"))
        return out;
    // Blanks and control characters belong percent-encoded in a Via; raw,
    // they would be lost or changed by the settings file.
    for (const char c : text)
        if (static_cast<unsigned char>(c) <= 32 || c == 0x7F)
            return std::nullopt;
    const std::size_t schemeEnd = text.find("://");
    if (schemeEnd == std::string_view::npos)
        return std::nullopt;
    const std::string scheme = LowerAscii(text.substr(0, schemeEnd));
    if (scheme == "socks5")
        out.Kind = TUpstream::Socks5;
    else if (scheme == "socks4a")
        out.Kind = TUpstream::Socks4a;
    else if (scheme == "http")
        out.Kind = TUpstream::Http;
    else
        return std::nullopt;
    std::string_view rest = text.substr(schemeEnd + 3);

    // The last '@' ends the login, so that a password may hold a raw '@'.
    const std::size_t at = rest.rfind('@');
    if (at != std::string_view::npos) {
        if (out.Kind == TUpstream::Socks4a)
            return std::nullopt;
        const std::string_view login = rest.substr(0, at);
        const std::size_t colon = login.find(':');
        if (colon == std::string_view::npos)
            return std::nullopt;
        auto user = PercentDecoded(login.substr(0, colon));
        auto password = PercentDecoded(login.substr(colon + 1));
        if (!user || !password || user->empty() || password->empty())
            return std::nullopt;
        // RFC 1929 carries each in at most 255 bytes; Basic cannot tell a
        // ':' in the user name from the one that ends it.
        if (out.Kind == TUpstream::Socks5 && (user->size() > 255 || password->size() > 255))
            return std::nullopt;
        if (out.Kind == TUpstream::Http && user->find(':') != std::string::npos)
            return std::nullopt;
        out.User = std::move(*user);
        out.Password = std::move(*password);
        rest = rest.substr(at + 1);
    }

    std::string_view host;
    std::string_view port;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find("]:");
        if (close == std::string_view::npos)
            return std::nullopt;
        const auto address = TIpAddress::Parse(rest.substr(1, close - 1));
        if (!address || address->Family() != TIpAddress::V6)
            return std::nullopt;
        out.Host = address->Text();
        port = rest.substr(close + 2);
    } else {
        const std::size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos)
            return std::nullopt;
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (host.find_first_not_of("0123456789.") == std::string_view::npos) {
            // Digits and dots only: an IPv4 address or nothing (never a name).
            const auto address = StrictIpv4(host);
            if (!address)
                return std::nullopt;
            out.Host = address->Text();
        } else if (IsHostName(host)) {
            out.Host = std::string(host);
        } else {
            return std::nullopt;
        }
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != port.npos)
        return std::nullopt;
    const int32_t number = ParseWholeNumber(port).value_or(0);
    if (number < 1 || number > 65535)
        return std::nullopt;
    out.Port = static_cast<uint16_t>(number);
    return out;
}

std::string ViaWithoutPassword(std::string_view text) {
    const auto [from, to] = PasswordRange(text);
    if (from == to)
        return std::string(text);
    return std::string(text.substr(0, from)) + "***" + std::string(text.substr(to));
}

std::string ViaWithPasswordDots(std::string_view text, std::string_view dot) {
    const auto [from, to] = PasswordRange(text);
    std::string out(text.substr(0, from));
    for (std::size_t i = from; i < to; ++i)
        // One dot for each character: UTF-8 continuation bytes add none.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
            out += dot;
    out += text.substr(to);
    return out;
}

} // namespace kestrune
