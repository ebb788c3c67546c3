#include "base/Settings.h"

#include "base/IpAddress.h"
#include "base/Text.h"
#include "base/Validation.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune {

namespace {

constexpr const char* OptionsSection = "Kestrune";

// Entry sections take a key's first line.
std::optional<std::string_view> Key(const TIniSection& section, std::string_view key) {
    return section.Value(key, TIniOccurrence::First);
}

int32_t WholeOr(const TIniSection& section, std::string_view key, int32_t fallback) {
    const auto text = Key(section, key);
    if (!text)
        return fallback;
    return ParseWholeNumber(*text).value_or(fallback);
}

bool Is(const TIniSection& section, std::string_view key, std::string_view value) {
    const auto text = Key(section, key);
    return text && *text == value;
}

std::string Text(const TIniSection& section, std::string_view key) {
    const auto text = Key(section, key);
    return text ? std::string(*text) : std::string();
}

std::string YesNo(bool on) {
    return on ? TAccessRule::Yes : TAccessRule::No;
}
std::string OneZero(bool on) {
    return on ? "1" : "0";
}

// A value read from the file is held to the range the dialog allows: out of
// it, sizes and times overflow, and a huge buffer can exhaust memory.
int32_t RangedOr(const TIniSection& section, std::string_view key, int32_t fallback,
                 TValueRange range, const std::string& where,
                 const std::function<void(const std::string&)>& log) {
    const int32_t value = WholeOr(section, key, fallback);
    const int32_t ranged = std::clamp(value, range.Min, range.Max);
    if (ranged != value)
        log("Value out of range while loading " + where + " " + std::string(key) + "=" +
            std::to_string(value) + ", using " + std::to_string(ranged));
    return ranged;
}

// `where` is the kind's plural and the section name: "proxy servers: Office".
void ReadValues(const TIniSection& section, TServiceValues& v, const std::string& where,
                const std::function<void(const std::string&)>& log) {
    v.mEnable = !Is(section, "Enable", "0");
    v.mQueue = RangedOr(section, "Queue", 15, TServiceValues::QueueRange, where, log);
    v.mLimit = RangedOr(section, "Limit", 0, TServiceValues::LimitRange, where, log);
    v.mBuffer = RangedOr(section, "Buffer", 64, TServiceValues::BufferRange, where, log);
    v.mWait = RangedOr(section, "Wait", 5, TServiceValues::WaitRange, where, log);
}

void WriteValues(TIniSection& section, const TServiceValues& v) {
    section.Add("Queue", std::to_string(v.mQueue));
    section.Add("Limit", std::to_string(v.mLimit));
    section.Add("Buffer", std::to_string(v.mBuffer));
    section.Add("Wait", std::to_string(v.mWait));
}

// Whether a section passed its load checks; a refusal is logged and noted.
bool Accepted(const TLoadCheck& check, const std::string& name, TLoadedSettings& out,
              const std::function<void(const std::string&)>& log) {
    if (check.mLoad)
        return true;
    if (!check.mLogLine.empty())
        log(check.mLogLine);
    out.Skipped.push_back({name, !check.mLogLine.empty()});
    return false;
}

void ReadOptions(const TIniSection& section, TOptions& o) {
    o.Placed = true;
    o.Top = section.ReadInteger("Top", 0);
    o.Left = section.ReadInteger("Left", 0);
    o.Width = std::max(section.ReadInteger("Width", 0), 0);
    o.Height = std::max(section.ReadInteger("Height", 0), 0);
    o.Time = section.ReadString("Time", o.Time, TIniOccurrence::Last);
    o.Run = section.ReadInteger("Run", o.Run ? 1 : 0) != 0;
    o.Hide = section.ReadInteger("Hide", o.Hide ? 1 : 0) != 0;
    o.Tray = section.ReadInteger("Tray", o.Tray ? 1 : 0) != 0;
    o.Confirm = section.ReadInteger("Confirm", o.Confirm ? 1 : 0) != 0;
    o.Minimize = section.ReadInteger("Minimize", o.Minimize ? 1 : 0) != 0;
    o.Page = section.ReadInteger("Page", 0);
    o.Metrics = section.ReadString("Metrics", "", TIniOccurrence::Last);
}

// The keys that later versions added are written only when set, so that a
// file without them reads and writes back as it was.
void AddIfSet(TIniSection& section, const std::string& key, const std::string& value) {
    if (!value.empty())
        section.Add(key, value);
}

void AddRoute(TIniSection& section, const std::string& outHost, const std::string& via) {
    AddIfSet(section, "OutHost", outHost);
    AddIfSet(section, "Via", via);
}

// The run-time code compares with "same" as it is written.
std::string OutHostText(const std::string& text) {
    return SameIgnoringCase(text, "same") ? "same" : text;
}

std::string ListenAddress(const TProxyServerSettings& s) {
    const bool v6 = s.mHost.find(':') != std::string::npos;
    return (v6 ? "[" + s.mHost + "]" : s.mHost) + ":" + std::to_string(s.mPort);
}

// Anyone who can reach the server may use it: it listens beyond the
// loopback, asks no login, and no enabled rule names its port, or its own
// address when it listens on one address. (A rule that names the port is
// taken as the operator's decision about who may use it, whatever it says.)
bool IsOpenProxy(const TProxyServerSettings& s, const std::vector<TAccessRule>& rules) {
    const auto host = TIpAddress::Parse(s.mHost);
    if (!s.mEnable || !s.mUser.empty() || !host || host->IsLoopback())
        return false;
    return std::none_of(rules.begin(), rules.end(), [&](const TAccessRule& r) {
        if (r.mEnable != TAccessRule::Yes)
            return false;
        if (ReadPortText(r.mOwnPort, -1) == s.mPort)
            return true;
        const auto own = TIpAddress::Parse(r.mOwnHost);
        return !host->IsAny() && own && own->Unmapped() == host->Unmapped();
    });
}

// The loaded entries as the conflict rules see them.
struct TLoadedLists {
    std::vector<TServiceEntry> Proxies;
    std::vector<TServiceEntry> Mappers;
    const std::vector<TAccessRule>* Rules = nullptr;
    TEntryLists View() const { return {Proxies, Mappers, *Rules}; }
};

} // namespace

TListRow ProxyServerRow(const TProxyServerSettings& s) {
    std::string version = s.mFive && s.mFour ? "Both" : s.mFour ? "4" : "5";
    if (s.mHTTP)
        version += "+HTTP";
    return {{s.mName, s.mHost, std::to_string(s.mPort), version, YesNo(s.mEnable)}};
}

TListRow PortMapperRow(const TPortMapperSettings& s) {
    const char* protocol = s.mTCP && s.mUDP ? "Both" : s.mUDP ? "UDP" : "TCP";
    return {{s.mName, s.mOwnHost, std::to_string(s.mOwnPort), protocol, YesNo(s.mEnable)}};
}

TLoadedSettings ReadSettings(const TIniFile& file, const TOptions& options,
                             const std::function<void(const std::string&)>& log) {
    TLoadedSettings out;
    out.Options = options;
    TLoadedLists lists;
    lists.Rules = &out.AccessRules;
    for (const TIniSection& section : file.Sections()) {
        const std::string& name = section.Name;
        if (name.empty())
            continue;
        if (name == OptionsSection) {
            ReadOptions(section, out.Options);
            continue;
        }
        // Another spelling of the options section's name would be joined
        // with it at the next save and the entry lost: such a section is
        // never an entry.
        if (SameName(name, OptionsSection))
            continue;
        const auto type = Key(section, "Type");
        if (!type)
            continue;
        if (*type == "Proxy") {
            const auto host = Key(section, "Host");
            const auto port = Key(section, "Port");
            const std::string outHost = Text(section, "OutHost");
            const std::string via = Text(section, "Via");
            if (!Accepted(CheckLoadedProxyServer(name, host, port, lists.View(), outHost, via),
                          name, out, log))
                continue;
            TProxyServerSettings s;
            ReadValues(section, s, "proxy servers: " + name, log);
            s.mFour = Is(section, "Four", "1");
            s.mFive = !(Is(section, "Five", "0") && s.mFour);
            s.mUDP = Is(section, "UDP", "1");
            s.mName = name;
            s.mHost = std::string(*host);
            s.mPort = ReadPortText(*port, 0);
            s.mUser = Text(section, "User");
            s.mPass = Text(section, "Pass");
            s.mOutHost = OutHostText(outHost);
            s.mVia = via;
            s.mHTTP = Is(section, "HTTP", "1");
            TListRow row = ProxyServerRow(s);
            row.Columns[2] = std::string(*port); // the row shows the text as read
            lists.Proxies.push_back({s.mName, s.mHost, row.Columns[2], s.mVia});
            out.ProxyServers.push_back({std::move(s), std::move(row)});
        } else if (*type == "Mapper") {
            const auto ownHost = Key(section, "OwnHost");
            const auto ownPort = Key(section, "OwnPort");
            const auto mapHost = Key(section, "MapHost");
            const auto mapPort = Key(section, "MapPort");
            const std::string outHost = Text(section, "OutHost");
            const std::string via = Text(section, "Via");
            if (!Accepted(CheckLoadedPortMapper(name, ownHost, ownPort, mapHost, mapPort,
                                                lists.View(), outHost, via),
                          name, out, log))
                continue;
            TPortMapperSettings s;
            ReadValues(section, s, "port mappers: " + name, log);
            s.mUDP = Is(section, "UDP", "1");
            s.mTCP = !(Is(section, "TCP", "0") && s.mUDP);
            s.mTwoWay = Is(section, "TwoWay", "1");
            s.mName = name;
            s.mOwnHost = std::string(*ownHost);
            s.mOwnPort = ReadPortText(*ownPort, 0);
            s.mMapHost = std::string(*mapHost);
            s.mMapPort = ReadPortText(*mapPort, 0);
            s.mOutHost = OutHostText(outHost);
            s.mVia = via;
            TListRow row = PortMapperRow(s);
            row.Columns[2] = std::string(*ownPort);
            lists.Mappers.push_back(
                {s.mName, s.mOwnHost, row.Columns[2], s.mVia, s.mMapHost, std::string(*mapPort)});
            out.PortMappers.push_back({std::move(s), std::move(row)});
        } else if (*type == "Access") {
            const auto ownHost = Key(section, "OwnHost");
            const auto ownPort = Key(section, "OwnPort");
            const auto remHost = Key(section, "RemHost");
            const auto remPort = Key(section, "RemPort");
            const auto action = Key(section, "Action");
            const std::string toHost = Text(section, "ToHost");
            const std::string toPort = Text(section, "ToPort");
            const std::string via = Text(section, "Via");
            if (!Accepted(CheckLoadedAccessRule(name, ownHost, ownPort, remHost, remPort, action,
                                                lists.View(), toHost, toPort, via),
                          name, out, log))
                continue;
            TAccessRule rule;
            rule.mName = name;
            rule.mOwnHost = std::string(*ownHost);
            // Rules are matched against the plain decimal text of a port and
            // saved in that form, so a hand-written "080" is read as "80":
            // otherwise it would never match now and differ after a save.
            rule.mOwnPort = PlainPortText(*ownPort);
            rule.mRemHost = std::string(*remHost);
            rule.mRemPort = PlainPortText(*remPort);
            rule.mAction = *action == "Deny" ? TAccessRule::Deny : TAccessRule::Allow;
            rule.mEnable = Is(section, "Enable", "0") ? TAccessRule::No : TAccessRule::Yes;
            rule.mToHost = toHost;
            rule.mToPort = toPort.empty() ? std::string() : PlainPortText(toPort);
            rule.mVia = via;
            out.AccessRules.push_back(std::move(rule));
        }
    }
    for (const TLoadedProxyServer& proxy : out.ProxyServers)
        if (IsOpenProxy(proxy.Settings, out.AccessRules))
            log("[" + proxy.Settings.mName + "] Open to everyone: listens on " +
                ListenAddress(proxy.Settings) + " without a login or an access rule");
    return out;
}

TIniFile WriteSettings(const TOptions& o, const std::vector<TProxyServerSettings>& proxies,
                       const std::vector<TPortMapperSettings>& mappers,
                       const std::vector<TAccessRule>& rules) {
    TIniFile file;
    TIniSection& options = file.AddSection(OptionsSection);
    options.Add("Top", std::to_string(o.Top));
    options.Add("Left", std::to_string(o.Left));
    // Only a size the window has had: a file written without one reads back
    // as it was.
    if (o.Width > 0 && o.Height > 0) {
        options.Add("Width", std::to_string(o.Width));
        options.Add("Height", std::to_string(o.Height));
    }
    options.Add("Time", o.Time);
    options.Add("Run", OneZero(o.Run));
    options.Add("Hide", OneZero(o.Hide));
    options.Add("Tray", OneZero(o.Tray));
    options.Add("Confirm", OneZero(o.Confirm));
    options.Add("Minimize", OneZero(o.Minimize));
    options.Add("Page", std::to_string(o.Page));
    if (!o.Metrics.empty()) // a file without the key is written as before
        options.Add("Metrics", o.Metrics);
    for (const auto& s : proxies) {
        TIniSection& section = file.AddSection(s.mName);
        section.Add("Type", "Proxy");
        section.Add("Host", s.mHost);
        section.Add("Port", std::to_string(s.mPort));
        section.Add("User", s.mUser);
        section.Add("Pass", s.mPass);
        WriteValues(section, s);
        section.Add("Five", OneZero(s.mFive));
        section.Add("Four", OneZero(s.mFour));
        section.Add("UDP", OneZero(s.mUDP));
        section.Add("Enable", OneZero(s.mEnable));
        AddRoute(section, s.mOutHost, s.mVia);
        if (s.mHTTP)
            section.Add("HTTP", "1");
    }
    for (const auto& s : mappers) {
        TIniSection& section = file.AddSection(s.mName);
        section.Add("Type", "Mapper");
        section.Add("OwnHost", s.mOwnHost);
        section.Add("OwnPort", std::to_string(s.mOwnPort));
        section.Add("MapHost", s.mMapHost);
        section.Add("MapPort", std::to_string(s.mMapPort));
        WriteValues(section, s);
        section.Add("TCP", OneZero(s.mTCP));
        section.Add("UDP", OneZero(s.mUDP));
        section.Add("TwoWay", OneZero(s.mTwoWay));
        section.Add("Enable", OneZero(s.mEnable));
        AddRoute(section, s.mOutHost, s.mVia);
    }
    for (const auto& r : rules) {
        TIniSection& section = file.AddSection(r.mName);
        section.Add("Type", "Access");
        section.Add("OwnHost", r.mOwnHost);
        section.Add("OwnPort", std::to_string(ReadPortText(r.mOwnPort, 0)));
        section.Add("RemHost", r.mRemHost);
        section.Add("RemPort", std::to_string(ReadPortText(r.mRemPort, 0)));
        section.Add("Action", r.mAction);
        section.Add("Enable", OneZero(r.mEnable == TAccessRule::Yes));
        AddIfSet(section, "ToHost", r.mToHost);
        AddIfSet(section, "ToPort", r.mToPort);
        AddIfSet(section, "Via", r.mVia);
    }
    return file;
}

namespace {

std::string ExecutableDir() {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return ".";
    const std::string path(exe, static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

void MakeDirs(const std::string& dir) {
    for (std::size_t i = 1; i <= dir.size(); ++i)
        if (i == dir.size() || dir[i] == '/')
            mkdir(dir.substr(0, i).c_str(), 0700);
}

} // namespace

std::string SettingsPathBesideExecutable() {
    return ExecutableDir() + "/Kestrune.ini";
}

std::string DesktopSettingsPath(const std::string& executableDir, const char* xdgConfigHome,
                                const char* home) {
    if (access(executableDir.c_str(), W_OK) == 0)
        return executableDir + "/Kestrune.ini";
    std::string base;
    if (xdgConfigHome && xdgConfigHome[0] == '/')
        base = xdgConfigHome;
    else if (home && home[0])
        base = std::string(home) + "/.config";
    else
        return executableDir + "/Kestrune.ini";
    const std::string dir = base + "/kestrune";
    MakeDirs(dir);
    return dir + "/Kestrune.ini";
}

std::string DesktopSettingsPath() {
    return DesktopSettingsPath(ExecutableDir(), std::getenv("XDG_CONFIG_HOME"),
                               std::getenv("HOME"));
}

} // namespace kestrune
