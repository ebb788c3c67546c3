#include "base/Validation.h"

#include "base/IpAddress.h"
#include "base/Text.h"
#include "base/Upstream.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

namespace kestrune {

namespace {

// The address pattern, compiled once. A compiled pattern may be shared by
// any number of threads; only the match data is per call.
class TIpPattern {
public:
    TIpPattern() {
        int error = 0;
        PCRE2_SIZE offset = 0;
        // No UTF or UCP mode: \d is then exactly [0-9], so digits of other
        // scripts fail. DOLLAR_ENDONLY keeps "$" from accepting a trailing
        // newline, which would be text after the address.
        mCode = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(Source), PCRE2_ZERO_TERMINATED,
                              PCRE2_DOLLAR_ENDONLY, &error, &offset, nullptr);
        if (mCode == nullptr)
            throw std::logic_error("the IP address pattern does not compile");
    }
    ~TIpPattern() { pcre2_code_free(mCode); }
    TIpPattern(const TIpPattern&) = delete;
    TIpPattern& operator=(const TIpPattern&) = delete;

    bool Matches(std::string_view text) const {
        std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)> data(
            pcre2_match_data_create_from_pattern(mCode, nullptr), &pcre2_match_data_free);
        if (!data)
            throw std::bad_alloc();
        const int rc = pcre2_match(mCode, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0,
                                   0, data.get(), nullptr);
        return rc >= 0;
    }

private:
    static constexpr const char* Source = R"(^\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3}$)";
    pcre2_code* mCode = nullptr;
};

const TIpPattern& IpPattern() {
    static const TIpPattern pattern;
    return pattern;
}

// The messages quote the clashing entry where the pattern says "%s".
std::string Format(std::string_view pattern, std::string_view name) {
    std::string text(pattern);
    const auto at = text.find("%s");
    if (at != std::string::npos)
        text.replace(at, 2, name);
    return text;
}

constexpr std::string_view InvalidIp = "Invalid IP address specified.";
constexpr std::string_view InvalidPort = "Invalid port number specified.";
constexpr std::string_view NameVsProxy = "Specified name conflicts with existing proxy server: %s";
constexpr std::string_view NameVsMapper = "Specified name conflicts with existing port mapper: %s";
constexpr std::string_view NameVsAccess =
    "Specified name conflicts with existing access restriction: %s";
constexpr std::string_view PortVsProxy = "Specified port conflicts with existing proxy server: %s";
constexpr std::string_view PortVsMapper = "Specified port conflicts with existing port mapper: %s";
constexpr std::string_view PortVsAccess =
    "Specified port conflicts with existing access restriction: %s";

constexpr std::string_view InvalidVia = "Invalid upstream proxy specified.";

constexpr const char* NameEdit = "NameLabeledEdit";
constexpr const char* ViaEdit = "ViaLabeledEdit";

// A loop goes through the service's own Via when it has one; else through
// where it listens or forwards to.
std::string_view RoutedFocus(std::string_view via, std::string_view otherwise) {
    const auto upstream = ParseVia(via);
    return upstream && upstream->Kind != TUpstream::Direct ? ViaEdit : otherwise;
}

TSaveCheck Fail(TSaveCheck check, std::string_view message, std::string_view focus) {
    check.mMessage = message;
    check.mFocus = focus;
    return check;
}

// Steps 1 and 2 of every Save: the name as the field must show it, and
// whether it may be used at all.
TSaveCheck CheckNameSteps(std::string_view field, TEntryKind kind) {
    TSaveCheck check;
    check.mName = TrimName(LimitNameLength(field));
    if (check.mName.empty())
        return Fail(check, "Name not specified.", NameEdit);
    if (IsReservedName(kind, check.mName))
        return Fail(check, "Name is reserved.", NameEdit);
    return check;
}

template <typename TEntry>
const TEntry* FirstNameClash(std::span<const TEntry> list, std::string_view name,
                             std::size_t skip) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i != skip && SameName(list[i].mName, name))
            return &list[i];
    }
    return nullptr;
}

// The addresses of this machine, listed the first time they are needed: the
// look-up is a system call, and most checks never get that far.
class TLocalAddresses {
public:
    bool Contains(const TIpAddress& address) {
        if (!mList)
            mList = LocalAddresses();
        return std::find(mList->begin(), mList->end(), address) != mList->end();
    }

private:
    std::optional<std::vector<TIpAddress>> mList;
};

// Whether a connection to `target` arrives at a service listening on
// `listen`: the same address, or an address of this machine (the loopback,
// and "any", which reaches it) while the service listens on "any" of that
// family.
bool ConnectReaches(const TIpAddress& listen, const TIpAddress& to, TLocalAddresses& local) {
    const TIpAddress target = to.Unmapped();
    if (target.Family() != listen.Family())
        return false;
    if (target == listen || (target.IsAny() && (listen.IsAny() || listen.IsLoopback())))
        return true;
    if (!listen.IsAny())
        return false;
    return target.IsLoopback() || local.Contains(target);
}

int PortOf(std::string_view text) {
    return ReadPortText(text, -1);
}

std::string_view WithoutFinalDot(std::string_view name) {
    if (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    return name;
}

// What a chain knows of the requests that travel it, from a rule's target or
// from a port mapper's remote end.
struct TTargetSpan {
    std::string_view Host; // an address, a pattern, or empty for any
    int Port = 0;          // 0 for any
    bool Exact = false;    // a port mapper's remote end: this address, and no name
};

TTargetSpan SpanOf(const TAccessRule& rule) {
    return {rule.mToHost, std::max(PortOf(rule.mToPort), 0), false};
}

// Whether one request may fall under both.
bool SpansOverlap(const TTargetSpan& a, const TTargetSpan& b) {
    if (a.Port != 0 && b.Port != 0 && a.Port != b.Port)
        return false;
    if (a.Host.empty() || b.Host.empty())
        return true;
    const auto x = TIpAddress::Parse(a.Host);
    const auto y = TIpAddress::Parse(b.Host);
    if (x && y)
        return RuleAddressCovers(a.Host, *y) || RuleAddressCovers(b.Host, *x);
    if (!x && !y)
        return HostNamePatternsOverlap(a.Host, b.Host);
    // A name may resolve to any address; an exact target has no name.
    return !(x ? a : b).Exact;
}

bool Guards(const TAccessRule& rule, const TServiceEntry& proxy) {
    const auto host = TIpAddress::Parse(proxy.mHost);
    return host && PortOf(rule.mOwnPort) == PortOf(proxy.mPort) &&
           RuleAddressCovers(rule.mOwnHost, *host);
}

// The chains that start at one service or rule, followed depth first with
// the services passed so far on the path.
class TRouteWalk {
public:
    explicit TRouteWalk(const TEntryLists& lists) : mLists(lists) {}

    bool FromProxyServer(std::size_t index) {
        Start({false, index});
        return Expand(mPath.front(), {});
    }
    bool FromPortMapper(std::size_t index) {
        Start({true, index});
        return Expand(mPath.front(), {});
    }
    bool FromRule(const TAccessRule& rule, std::size_t proxy) {
        Start({false, proxy});
        return Follow(rule.mVia, {SpanOf(rule)});
    }

private:
    struct TNode {
        bool Mapper = false;
        std::size_t Index = 0;
        bool operator==(const TNode&) const = default;
    };
    using TSpans = std::vector<TTargetSpan>;

    void Start(const TNode& node) {
        mPath.clear();
        mPath.push_back(node);
        mThroughVia.assign(1, false);
        mSteps = 0;
    }

    // Every path is at most as long as the services are many, but the paths
    // through many rules can be many; past this many steps the walk gives
    // up and answers "loop", the answer that cannot turn into one.
    static constexpr int MaxSteps = 10000;

    bool Expand(const TNode& node, const TSpans& spans) {
        if (node.Mapper) {
            const TServiceEntry& mapper = mLists.mPortMappers[node.Index];
            return Follow(mapper.mVia, {{mapper.mMapHost, PortOf(mapper.mMapPort), true}});
        }
        const TServiceEntry& proxy = mLists.mProxyServers[node.Index];
        for (const TAccessRule& rule : mLists.mAccessRules) {
            if (rule.mAction != TAccessRule::Allow || !rule.NamesTarget() || !Guards(rule, proxy))
                continue;
            const TTargetSpan span = SpanOf(rule);
            if (!std::all_of(spans.begin(), spans.end(),
                             [&](const TTargetSpan& s) { return SpansOverlap(s, span); }))
                continue;
            TSpans narrower = spans;
            narrower.push_back(span);
            // A rule without a Via of its own takes the service's.
            if (Follow(rule.mVia.empty() ? proxy.mVia : rule.mVia, narrower))
                return true;
        }
        return Follow(proxy.mVia, spans);
    }

    bool Follow(std::string_view via, const TSpans& spans) {
        const auto upstream = ParseVia(via);
        if (!upstream)
            return false;
        if (upstream->Kind != TUpstream::Direct)
            return Walk(upstream->Host, upstream->Port, spans, true);
        // A direct connection goes where the request asks; only a port
        // mapper's request is known, and what arrives there is its
        // client's, about which nothing is known.
        for (const TTargetSpan& span : spans)
            if (span.Exact)
                return Walk(span.Host, span.Port, {}, false);
        return false;
    }

    // `viaStep`: the connection to host:port is one to an upstream proxy.
    bool Walk(std::string_view host, int port, const TSpans& spans, bool viaStep) {
        const auto node = Listener(host, port);
        if (!node)
            return false;
        const auto seen = std::find(mPath.begin(), mPath.end(), *node);
        if (seen != mPath.end()) {
            // Port mappers that forward to each other with no upstream in
            // between are caught as they run, as before there were
            // upstreams; such settings load as they always did.
            const auto from = mThroughVia.begin() + (seen - mPath.begin()) + 1;
            return viaStep || std::find(from, mThroughVia.end(), true) != mThroughVia.end();
        }
        if (++mSteps > MaxSteps)
            return true;
        mPath.push_back(*node);
        mThroughVia.push_back(viaStep);
        const bool loop = Expand(*node, spans);
        mPath.pop_back();
        mThroughVia.pop_back();
        return loop;
    }

    std::optional<TNode> Listener(std::string_view host, int port) {
        std::vector<TIpAddress> targets;
        if (SameIgnoringCase(host, "localhost"))
            targets = {*TIpAddress::Parse("127.0.0.1"), *TIpAddress::Parse("::1")};
        else if (const auto address = TIpAddress::Parse(host))
            targets = {*address};
        auto reaches = [&](const TServiceEntry& service) {
            const auto listen = TIpAddress::Parse(service.mHost);
            return listen && PortOf(service.mPort) == port &&
                   std::any_of(targets.begin(), targets.end(), [&](const TIpAddress& target) {
                       return ConnectReaches(*listen, target, mLocal);
                   });
        };
        for (std::size_t i = 0; i < mLists.mProxyServers.size(); ++i)
            if (reaches(mLists.mProxyServers[i]))
                return TNode{false, i};
        for (std::size_t i = 0; i < mLists.mPortMappers.size(); ++i)
            if (reaches(mLists.mPortMappers[i]))
                return TNode{true, i};
        return std::nullopt;
    }

    const TEntryLists& mLists;
    TLocalAddresses mLocal;
    std::vector<TNode> mPath;
    // Whether the step into the node at the same place of mPath was one to
    // an upstream proxy.
    std::vector<bool> mThroughVia;
    int mSteps = 0;
};

// A copy of `list` with `entry` in the row being edited, or appended when
// there is none; and the row it is in.
template <typename TEntry>
std::pair<std::vector<TEntry>, std::size_t> WithEntry(std::span<const TEntry> list, TEntry entry,
                                                      std::optional<std::size_t> editRow) {
    std::vector<TEntry> out(list.begin(), list.end());
    if (editRow && *editRow < out.size()) {
        out[*editRow] = std::move(entry);
        return {std::move(out), *editRow};
    }
    out.push_back(std::move(entry));
    return {std::move(out), out.size() - 1};
}

TLoadCheck Skip() {
    return {false, {}};
}
TLoadCheck Refuse(std::string_view line, std::string_view name) {
    return {false, std::string(line) + std::string(name)};
}

} // namespace

std::string TrimName(std::string_view text) {
    return std::string(TrimBlanks(text));
}

std::string LimitNameLength(std::string_view text) {
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // Continuation bytes (10xxxxxx) belong to the character before them.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            continue;
        if (characters == MaxNameLength)
            return std::string(text.substr(0, i));
        ++characters;
    }
    return std::string(text);
}

bool IsReservedName(TEntryKind kind, std::string_view name) {
    if (SameName(name, "Kestrune"))
        return true;
    return kind != TEntryKind::AccessRule && name == "Total";
}

bool MatchesIpPattern(std::string_view text) {
    return IpPattern().Matches(text);
}

bool IsAddressText(std::string_view text) {
    if (text.find(':') == std::string_view::npos)
        return MatchesIpPattern(text);
    const auto address = TIpAddress::Parse(text);
    return address && address->Family() == TIpAddress::V6;
}

int ReadPortText(std::string_view text, int invalid) {
    return ParseWholeNumber(text).value_or(invalid);
}

bool IsValidPort(std::string_view text) {
    const int port = ReadPortText(text, 0);
    return port >= 1 && port <= 65535;
}

bool IsValidRulePort(std::string_view text) {
    const int port = ReadPortText(text, -1);
    return port >= 0 && port <= 65535;
}

std::string PlainPortText(std::string_view text) {
    const auto value = ParseWholeNumber(text);
    return value ? std::to_string(*value) : std::string(text);
}

bool IsOutHostText(std::string_view text) {
    return text.empty() || SameIgnoringCase(text, "same") || IsAddressText(text);
}

bool IsHostNamePattern(std::string_view text) {
    if (text.empty() || text.size() > 253)
        return false;
    if (text.find_first_not_of("0123456789.") == std::string_view::npos)
        return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.' || c == '*';
    });
}

bool IsTargetHostText(std::string_view text) {
    return text.empty() || IsAddressText(text) || IsHostNamePattern(text);
}

bool IsValidTargetPort(std::string_view text) {
    return text.empty() || IsValidRulePort(text);
}

bool IsViaText(std::string_view text) {
    return ParseVia(text).has_value();
}

bool RuleAddressCovers(std::string_view rule, const TIpAddress& address) {
    const auto parsed = TIpAddress::Parse(rule);
    if (!parsed)
        return false;
    const TIpAddress own = parsed->Unmapped();
    const TIpAddress other = address.Unmapped();
    if (own.IsAny())
        return own.Family() == TIpAddress::V4 || other.Family() == TIpAddress::V6;
    return own == other;
}

bool MatchesHostNamePattern(std::string_view pattern, std::string_view name) {
    pattern = WithoutFinalDot(pattern);
    name = WithoutFinalDot(name);
    // Each '*' may take any run; on a mismatch the last one takes one more
    // character. Linear in the name for each star, with no recursion.
    std::size_t p = 0, n = 0, star = std::string_view::npos, taken = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            taken = n;
        } else if (p < pattern.size() && LowerAscii(pattern[p]) == LowerAscii(name[n])) {
            ++p;
            ++n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++taken;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool HostNamePatternsOverlap(std::string_view a, std::string_view b) {
    a = WithoutFinalDot(a);
    b = WithoutFinalDot(b);
    // common[i][j]: some text matches both a[i..] and b[j..]. Filled from
    // the ends, each cell from the cells after it.
    const std::size_t width = b.size() + 1;
    std::vector<char> common((a.size() + 1) * width, 0);
    auto at = [&](std::size_t i, std::size_t j) -> char& { return common[i * width + j]; };
    for (std::size_t i = a.size() + 1; i-- > 0;)
        for (std::size_t j = b.size() + 1; j-- > 0;) {
            const bool moreA = i < a.size(), moreB = j < b.size();
            if (!moreA && !moreB)
                at(i, j) = 1;
            else if (moreA && a[i] == '*')
                at(i, j) = at(i + 1, j) || (moreB && at(i, j + 1));
            else if (moreB && b[j] == '*')
                at(i, j) = at(i, j + 1) || (moreA && at(i + 1, j));
            else
                at(i, j) =
                    moreA && moreB && LowerAscii(a[i]) == LowerAscii(b[j]) && at(i + 1, j + 1);
        }
    return at(0, 0) != 0;
}

bool SameName(std::string_view a, std::string_view b) {
    return SameIgnoringCase(a, b);
}

bool ListenOverlaps(std::string_view hostA, std::string_view portA, std::string_view hostB,
                    std::string_view portB) {
    // By number where both are numbers: "080" and "80" are one port to the
    // system, and the file is written with "80", so a text comparison would
    // let both entries load now and drop one of them at the next start.
    const int a = ReadPortText(portA, -1);
    const int b = ReadPortText(portB, -2);
    if (portA != portB && a != b)
        return false;
    // As addresses: "010.0.0.1" is "10.0.0.1" to the system. Each family's
    // "any" covers only its own family, since an IPv6 listener serves IPv6
    // only.
    const auto x = TIpAddress::Parse(hostA);
    const auto y = TIpAddress::Parse(hostB);
    if (!x || !y)
        return hostA == hostB;
    return x->Family() == y->Family() && (x->IsAny() || y->IsAny() || *x == *y);
}

bool ForwardsToItself(std::string_view ownHost, std::string_view ownPort, std::string_view mapHost,
                      std::string_view mapPort) {
    if (ReadPortText(ownPort, -1) != ReadPortText(mapPort, -2))
        return false;
    const auto own = TIpAddress::Parse(ownHost);
    const auto map = TIpAddress::Parse(mapHost);
    TLocalAddresses local;
    return own && map && ConnectReaches(*own, *map, local);
}

const TServiceEntry* FindNameClash(std::span<const TServiceEntry> list, std::string_view name,
                                   std::size_t skip) {
    return FirstNameClash(list, name, skip);
}

const TAccessRule* FindNameClash(std::span<const TAccessRule> list, std::string_view name,
                                 std::size_t skip) {
    return FirstNameClash(list, name, skip);
}

const TServiceEntry* FindListenOverlap(std::span<const TServiceEntry> list, std::string_view host,
                                       std::string_view port, std::size_t skip) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i != skip && ListenOverlaps(host, port, list[i].mHost, list[i].mPort))
            return &list[i];
    }
    return nullptr;
}

const TAccessRule* FindDuplicateRule(std::span<const TAccessRule> list, const TAccessRule& rule,
                                     std::size_t skip) {
    // Numbers compare as numbers, so that "080" and "80" or "010.0.0.1" and
    // "10.0.0.1" are one rule, as evaluation sees them.
    auto samePort = [](std::string_view a, std::string_view b) {
        return a == b || PlainPortText(a) == PlainPortText(b);
    };
    // Once a target is named, no target port is any port, as "0" is.
    auto targetPort = [](const TAccessRule& r) -> std::string {
        return r.NamesTarget() && r.mToPort.empty() ? TAccessRule::AnyPort : r.mToPort;
    };
    auto sameTarget = [&](const TAccessRule& a) {
        if (a.NamesTarget() != rule.NamesTarget() || !samePort(targetPort(a), targetPort(rule)))
            return false;
        if (TIpAddress::Parse(a.mToHost) || TIpAddress::Parse(rule.mToHost))
            return SameAddress(a.mToHost, rule.mToHost);
        return SameIgnoringCase(WithoutFinalDot(a.mToHost), WithoutFinalDot(rule.mToHost));
    };
    for (std::size_t i = 0; i < list.size(); ++i) {
        const TAccessRule& other = list[i];
        if (i != skip && SameAddress(other.mOwnHost, rule.mOwnHost) &&
            samePort(other.mOwnPort, rule.mOwnPort) && SameAddress(other.mRemHost, rule.mRemHost) &&
            samePort(other.mRemPort, rule.mRemPort) && sameTarget(other))
            return &other;
    }
    return nullptr;
}

bool ProxyServerForwardsToItself(const TEntryLists& lists, std::size_t index) {
    return index < lists.mProxyServers.size() && TRouteWalk(lists).FromProxyServer(index);
}

bool PortMapperForwardsToItself(const TEntryLists& lists, std::size_t index) {
    return index < lists.mPortMappers.size() && TRouteWalk(lists).FromPortMapper(index);
}

const TServiceEntry* AccessRuleForwardsToItself(const TEntryLists& lists, const TAccessRule& rule) {
    if (rule.mAction != TAccessRule::Allow || !rule.NamesTarget() || rule.mVia.empty())
        return nullptr;
    TRouteWalk walk(lists);
    for (std::size_t i = 0; i < lists.mProxyServers.size(); ++i)
        if (Guards(rule, lists.mProxyServers[i]) && walk.FromRule(rule, i))
            return &lists.mProxyServers[i];
    return nullptr;
}

TSaveCheck CheckProxyServerSave(const TProxyServerFields& fields, const TEntryLists& existing,
                                std::optional<std::size_t> editRow) {
    TSaveCheck check = CheckNameSteps(fields.mName, TEntryKind::ProxyServer);
    if (!check.Passed())
        return check;
    const std::string& name = check.mName;
    if (!IsAddressText(fields.mHost))
        return Fail(check, InvalidIp, "HostComboBox");
    if (!IsValidPort(fields.mPort))
        return Fail(check, InvalidPort, "PortLabeledEdit");
    if (!fields.mUser.empty() && fields.mPass.empty())
        return Fail(check, "Password not specified.", "PasswordLabeledEdit");
    if (fields.mUser.empty() && !fields.mPass.empty())
        return Fail(check, "Username not specified.", "UsernameLabeledEdit");
    if (fields.mVersion < 0 || fields.mVersion > 2)
        return Fail(check, "None of versions selected.", "VersionComboBox");
    if (!IsOutHostText(fields.mOutHost))
        return Fail(check, InvalidIp, "OutHostComboBox");
    if (!IsViaText(fields.mVia))
        return Fail(check, InvalidVia, ViaEdit);

    const std::size_t own = editRow.value_or(NoRow);
    if (const auto* e = FindNameClash(existing.mProxyServers, name, own))
        return Fail(check, Format(NameVsProxy, e->mName), NameEdit);
    if (const auto* e = FindNameClash(existing.mPortMappers, name))
        return Fail(check, Format(NameVsMapper, e->mName), NameEdit);
    if (const auto* e = FindNameClash(existing.mAccessRules, name))
        return Fail(check, Format(NameVsAccess, e->mName), NameEdit);
    if (const auto* e = FindListenOverlap(existing.mProxyServers, fields.mHost, fields.mPort, own))
        return Fail(check, Format(PortVsProxy, e->mName), "PortLabeledEdit");
    if (const auto* e = FindListenOverlap(existing.mPortMappers, fields.mHost, fields.mPort))
        return Fail(check, Format(PortVsMapper, e->mName), "PortLabeledEdit");
    {
        const auto [proxies, row] =
            WithEntry(existing.mProxyServers,
                      TServiceEntry{name, fields.mHost, fields.mPort, fields.mVia}, editRow);
        if (ProxyServerForwardsToItself({proxies, existing.mPortMappers, existing.mAccessRules},
                                        row))
            return Fail(check, "Specified proxy server forwards to itself.",
                        RoutedFocus(fields.mVia, "PortLabeledEdit"));
    }
    if (editRow && *editRow >= existing.mProxyServers.size())
        return Fail(check, "Proxy server not found.", "");
    return check;
}

TSaveCheck CheckPortMapperSave(const TPortMapperFields& fields, const TEntryLists& existing,
                               std::optional<std::size_t> editRow) {
    TSaveCheck check = CheckNameSteps(fields.mName, TEntryKind::PortMapper);
    if (!check.Passed())
        return check;
    const std::string& name = check.mName;
    if (!IsAddressText(fields.mOwnHost))
        return Fail(check, InvalidIp, "OwnHostComboBox");
    if (!IsAddressText(fields.mMapHost))
        return Fail(check, InvalidIp, "MapHostComboBox");
    if (!IsValidPort(fields.mOwnPort))
        return Fail(check, InvalidPort, "OwnPortLabeledEdit");
    if (!IsValidPort(fields.mMapPort))
        return Fail(check, InvalidPort, "MapPortLabeledEdit");
    if (fields.mProtocol < 0 || fields.mProtocol > 2)
        return Fail(check, "None of protocols selected.", "ProtocolComboBox");
    if (!IsOutHostText(fields.mOutHost))
        return Fail(check, InvalidIp, "OutHostComboBox");
    if (!IsViaText(fields.mVia))
        return Fail(check, InvalidVia, ViaEdit);
    if (ForwardsToItself(fields.mOwnHost, fields.mOwnPort, fields.mMapHost, fields.mMapPort))
        return Fail(check, "Specified remote address is the port mapper's own listening address.",
                    "MapHostComboBox");

    const std::size_t own = editRow.value_or(NoRow);
    if (const auto* e = FindNameClash(existing.mPortMappers, name, own))
        return Fail(check, Format(NameVsMapper, e->mName), NameEdit);
    if (const auto* e = FindNameClash(existing.mProxyServers, name))
        return Fail(check, Format(NameVsProxy, e->mName), NameEdit);
    if (const auto* e = FindNameClash(existing.mAccessRules, name))
        return Fail(check, Format(NameVsAccess, e->mName), NameEdit);
    if (const auto* e =
            FindListenOverlap(existing.mPortMappers, fields.mOwnHost, fields.mOwnPort, own))
        return Fail(check, Format(PortVsMapper, e->mName), "OwnPortLabeledEdit");
    if (const auto* e = FindListenOverlap(existing.mProxyServers, fields.mOwnHost, fields.mOwnPort))
        return Fail(check, Format(PortVsProxy, e->mName), "OwnPortLabeledEdit");
    {
        const auto [mappers, row] =
            WithEntry(existing.mPortMappers,
                      TServiceEntry{name, fields.mOwnHost, fields.mOwnPort, fields.mVia,
                                    fields.mMapHost, fields.mMapPort},
                      editRow);
        if (PortMapperForwardsToItself({existing.mProxyServers, mappers, existing.mAccessRules},
                                       row))
            return Fail(check, "Specified port mapper forwards to itself.",
                        RoutedFocus(fields.mVia, "MapHostComboBox"));
    }
    if (editRow && *editRow >= existing.mPortMappers.size())
        return Fail(check, "Port mapper not found.", "");
    return check;
}

TSaveCheck CheckAccessRuleSave(const TAccessRuleFields& fields, const TEntryLists& existing,
                               std::optional<std::size_t> editRow) {
    TSaveCheck check = CheckNameSteps(fields.mName, TEntryKind::AccessRule);
    if (!check.Passed())
        return check;
    const std::string& name = check.mName;
    if (!IsAddressText(fields.mOwnHost))
        return Fail(check, InvalidIp, "OwnHostComboBox");
    if (!IsAddressText(fields.mRemHost))
        return Fail(check, InvalidIp, "RemoteHostComboBox");
    if (!IsValidPort(fields.mOwnPort))
        return Fail(check, InvalidPort, "OwnPortLabeledEdit");
    if (!IsValidRulePort(fields.mRemPort))
        return Fail(check, InvalidPort, "RemotePortLabeledEdit");
    if (fields.mAction < 0 || fields.mAction > 1)
        return Fail(check, "None of actions selected.", "ActionComboBox");
    if (!IsTargetHostText(fields.mToHost))
        return Fail(check, "Invalid target host specified.", "ToHostComboBox");
    if (!IsValidTargetPort(fields.mToPort))
        return Fail(check, InvalidPort, "ToPortLabeledEdit");
    if (!IsViaText(fields.mVia))
        return Fail(check, InvalidVia, ViaEdit);
    const TAccessRule rule{name,
                           fields.mOwnHost,
                           fields.mOwnPort,
                           fields.mRemHost,
                           fields.mRemPort,
                           fields.mAction == 0 ? TAccessRule::Allow : TAccessRule::Deny,
                           TAccessRule::Yes,
                           fields.mToHost,
                           fields.mToPort,
                           fields.mVia};
    // A Via routes the targets an Allow rule lets through; a client rule
    // has no target to route, and a Deny lets nothing through.
    if (!rule.mVia.empty() && !rule.NamesTarget())
        return Fail(check, "Upstream proxy needs a target.", "ToHostComboBox");
    if (!rule.mVia.empty() && fields.mAction != 0)
        return Fail(check, "Upstream proxy needs the action Allow.", "ActionComboBox");

    const std::size_t own = editRow.value_or(NoRow);
    if (const auto* e = FindNameClash(existing.mAccessRules, name, own))
        return Fail(check, Format(NameVsAccess, e->mName), NameEdit);
    if (const auto* e = FindNameClash(existing.mProxyServers, name))
        return Fail(check, Format(NameVsProxy, e->mName), NameEdit);
    if (const auto* e = FindNameClash(existing.mPortMappers, name))
        return Fail(check, Format(NameVsMapper, e->mName), NameEdit);
    if (const auto* e = FindDuplicateRule(existing.mAccessRules, rule, own))
        return Fail(check, Format(PortVsAccess, e->mName), "OwnPortLabeledEdit");
    if (!rule.mVia.empty()) {
        // The list as it would stand, for the walk from the rule's upstream.
        const auto [rules, row] = WithEntry(existing.mAccessRules, rule, editRow);
        if (const auto* e = AccessRuleForwardsToItself(
                {existing.mProxyServers, existing.mPortMappers, rules}, rules[row]))
            return Fail(
                check,
                Format("Specified upstream proxy forwards back to proxy server: %s", e->mName),
                ViaEdit);
    }
    return check;
}

TLoadCheck CheckLoadedProxyServer(std::string_view name, std::optional<std::string_view> host,
                                  std::optional<std::string_view> port, const TEntryLists& loaded,
                                  std::string_view outHost, std::string_view via) {
    if (name.empty() || !host || !port)
        return Skip();
    if (!IsAddressText(*host) || !IsValidPort(*port))
        return Skip();
    if (FindNameClash(loaded.mProxyServers, name))
        return Refuse("Duplicate proxy server name while loading proxy servers: ", name);
    if (FindNameClash(loaded.mPortMappers, name))
        return Refuse("Duplicate port mapper name while loading proxy servers: ", name);
    if (FindNameClash(loaded.mAccessRules, name))
        return Refuse("Duplicate access restriction name while loading proxy servers: ", name);
    if (FindListenOverlap(loaded.mProxyServers, *host, *port))
        return Refuse("Proxy server port conflict while loading proxy servers: ", name);
    if (FindListenOverlap(loaded.mPortMappers, *host, *port))
        return Refuse("Port mapper port conflict while loading proxy servers: ", name);
    if (!IsOutHostText(outHost))
        return Refuse("Invalid outgoing address while loading proxy servers: ", name);
    if (!IsViaText(via))
        return Refuse("Invalid upstream proxy while loading proxy servers: ", name);
    const auto [proxies, row] = WithEntry(
        loaded.mProxyServers,
        TServiceEntry{std::string(name), std::string(*host), std::string(*port), std::string(via)},
        std::nullopt);
    if (ProxyServerForwardsToItself({proxies, loaded.mPortMappers, loaded.mAccessRules}, row))
        return Refuse("Proxy server forwards to itself while loading proxy servers: ", name);
    return {};
}

TLoadCheck CheckLoadedPortMapper(std::string_view name, std::optional<std::string_view> ownHost,
                                 std::optional<std::string_view> ownPort,
                                 std::optional<std::string_view> mapHost,
                                 std::optional<std::string_view> mapPort, const TEntryLists& loaded,
                                 std::string_view outHost, std::string_view via) {
    if (name.empty() || !ownHost || !ownPort || !mapHost || !mapPort)
        return Skip();
    if (!IsAddressText(*ownHost) || !IsAddressText(*mapHost))
        return Skip();
    if (!IsValidPort(*ownPort) || !IsValidPort(*mapPort))
        return Skip();
    if (FindNameClash(loaded.mPortMappers, name))
        return Refuse("Duplicate port mapper name while loading port mappers: ", name);
    if (FindNameClash(loaded.mProxyServers, name))
        return Refuse("Duplicate proxy server name while loading port mappers: ", name);
    if (FindNameClash(loaded.mAccessRules, name))
        return Refuse("Duplicate access restriction name while loading port mappers: ", name);
    if (FindListenOverlap(loaded.mPortMappers, *ownHost, *ownPort))
        return Refuse("Port mapper port conflict while loading port mappers: ", name);
    if (FindListenOverlap(loaded.mProxyServers, *ownHost, *ownPort))
        return Refuse("Proxy server port conflict while loading port mappers: ", name);
    if (!IsOutHostText(outHost))
        return Refuse("Invalid outgoing address while loading port mappers: ", name);
    if (!IsViaText(via))
        return Refuse("Invalid upstream proxy while loading port mappers: ", name);
    const auto [mappers, row] =
        WithEntry(loaded.mPortMappers,
                  TServiceEntry{std::string(name), std::string(*ownHost), std::string(*ownPort),
                                std::string(via), std::string(*mapHost), std::string(*mapPort)},
                  std::nullopt);
    if (ForwardsToItself(*ownHost, *ownPort, *mapHost, *mapPort) ||
        PortMapperForwardsToItself({loaded.mProxyServers, mappers, loaded.mAccessRules}, row))
        return Refuse("Port mapper forwards to itself while loading port mappers: ", name);
    return {};
}

TLoadCheck CheckLoadedAccessRule(std::string_view name, std::optional<std::string_view> ownHost,
                                 std::optional<std::string_view> ownPort,
                                 std::optional<std::string_view> remHost,
                                 std::optional<std::string_view> remPort,
                                 std::optional<std::string_view> action, const TEntryLists& loaded,
                                 std::string_view toHost, std::string_view toPort,
                                 std::string_view via) {
    if (name.empty() || !ownHost || !ownPort || !remHost || !remPort || !action)
        return Skip();
    if (!IsAddressText(*ownHost) || !IsAddressText(*remHost))
        return Skip();
    if (!IsValidPort(*ownPort) || !IsValidRulePort(*remPort))
        return Skip();
    if (FindNameClash(loaded.mAccessRules, name))
        return Refuse("Duplicate access restriction name while loading access restrictions: ",
                      name);
    if (FindNameClash(loaded.mProxyServers, name))
        return Refuse("Duplicate proxy server name while loading access restrictions: ", name);
    if (FindNameClash(loaded.mPortMappers, name))
        return Refuse("Duplicate port mapper name while loading access restrictions: ", name);
    if (!IsTargetHostText(toHost) || !IsValidTargetPort(toPort))
        return Refuse("Invalid target while loading access restrictions: ", name);
    const TAccessRule rule{std::string(name),
                           std::string(*ownHost),
                           std::string(*ownPort),
                           std::string(*remHost),
                           std::string(*remPort),
                           *action == TAccessRule::Deny ? TAccessRule::Deny : TAccessRule::Allow,
                           TAccessRule::Yes,
                           std::string(toHost),
                           std::string(toPort),
                           std::string(via)};
    if (!IsViaText(via) ||
        (!via.empty() && (!rule.NamesTarget() || rule.mAction != TAccessRule::Allow)))
        return Refuse("Invalid upstream proxy while loading access restrictions: ", name);
    if (FindDuplicateRule(loaded.mAccessRules, rule))
        return Refuse("Access restriction port conflict while loading access restrictions: ", name);
    if (!rule.mVia.empty()) {
        const auto [rules, row] = WithEntry(loaded.mAccessRules, rule, std::nullopt);
        if (AccessRuleForwardsToItself({loaded.mProxyServers, loaded.mPortMappers, rules},
                                       rules[row]))
            return Refuse("Access rule forwards to itself while loading access rules: ", name);
    }
    return {};
}

} // namespace kestrune
