// What the settings file holds, turned into the program's values and back:
// the options, the proxy servers and port mappers with their list rows, and
// the access rules. Reading applies the load-time checks and reports the
// refused sections through `log`; neither direction touches the disk.
// Main thread only.
#pragma once

#include "base/AccessRule.h"
#include "base/IniFile.h"
#include "base/Options.h"
#include "base/ServiceSettings.h"

#include <functional>
#include <string>
#include <vector>

namespace kestrune {

struct TLoadedProxyServer {
    TProxyServerSettings Settings;
    TListRow Row;
};

struct TLoadedPortMapper {
    TPortMapperSettings Settings;
    TListRow Row;
};

// An entry section that the load checks refused; `Logged` when loading
// wrote a line for it (some checks refuse silently).
struct TSkippedSection {
    std::string Name;
    bool Logged = false;
};

struct TLoadedSettings {
    TOptions Options;
    std::vector<TSkippedSection> Skipped;
    std::vector<TLoadedProxyServer> ProxyServers;
    std::vector<TLoadedPortMapper> PortMappers;
    std::vector<TAccessRule> AccessRules;
};

// The list row of a service as its settings give it.
TListRow ProxyServerRow(const TProxyServerSettings& s);
TListRow PortMapperRow(const TPortMapperSettings& s);

// Reads every section in file order. `options` holds the defaults (the
// controls' current state) and is taken over, key by key, by an options
// section. The refused sections' log lines go to `log` in order.
TLoadedSettings ReadSettings(const TIniFile& file, const TOptions& options,
                             const std::function<void(const std::string&)>& log);

// The whole file: the options, then every proxy server, every port mapper
// and every access rule in list order.
TIniFile WriteSettings(const TOptions& options, const std::vector<TProxyServerSettings>& proxies,
                       const std::vector<TPortMapperSettings>& mappers,
                       const std::vector<TAccessRule>& rules);

// Kestrune.ini beside the running executable.
std::string SettingsPathBesideExecutable();

// Where the desktop program keeps its settings: beside the executable when
// that directory is writable (running from a build or a portable copy),
// otherwise in the user's configuration directory ($XDG_CONFIG_HOME/kestrune,
// else ~/.config/kestrune), which is created when missing.
std::string DesktopSettingsPath(const std::string& executableDir, const char* xdgConfigHome,
                                const char* home);
std::string DesktopSettingsPath();

} // namespace kestrune
