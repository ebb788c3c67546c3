// Feeds arbitrary bytes to the settings reader. What is read must survive a
// save and a second read unchanged: the file the program writes is the file
// it reads back.
#include "base/Settings.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace kestrune;

namespace {

// The file as written, shown when the second read differs.
std::string gWritten;

void Same(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "ini_fuzz: %s differs after a save; written:\n%s\n", what,
                     gWritten.c_str());
        std::abort();
    }
}

std::vector<TProxyServerSettings> Proxies(const TLoadedSettings& d) {
    std::vector<TProxyServerSettings> out;
    for (const auto& p : d.ProxyServers)
        out.push_back(p.Settings);
    return out;
}

std::vector<TPortMapperSettings> Mappers(const TLoadedSettings& d) {
    std::vector<TPortMapperSettings> out;
    for (const auto& m : d.PortMappers)
        out.push_back(m.Settings);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const TIniFile file = TIniFile::Parse(bytes);
    std::vector<std::string> log;
    const TLoadedSettings first =
        ReadSettings(file, TOptions{}, [&](const std::string& line) { log.push_back(line); });
    const std::string written =
        WriteSettings(first.Options, Proxies(first), Mappers(first), first.AccessRules).ToBytes();
    gWritten = written;
    const TLoadedSettings second =
        ReadSettings(TIniFile::Parse(written), TOptions{}, [](const std::string&) {});
    Same(second.ProxyServers.size() == first.ProxyServers.size(), "proxy server count");
    Same(second.PortMappers.size() == first.PortMappers.size(), "port mapper count");
    Same(second.AccessRules.size() == first.AccessRules.size(), "access rule count");
    for (size_t i = 0; i < first.ProxyServers.size(); ++i) {
        const auto& a = first.ProxyServers[i].Settings;
        const auto& b = second.ProxyServers[i].Settings;
        Same(a.mName == b.mName && a.mHost == b.mHost && a.mPort == b.mPort && a.mUser == b.mUser &&
                 a.mPass == b.mPass && a.mQueue == b.mQueue && a.mLimit == b.mLimit &&
                 a.mBuffer == b.mBuffer && a.mWait == b.mWait && a.mEnable == b.mEnable &&
                 a.mFive == b.mFive && a.mFour == b.mFour && a.mOutHost == b.mOutHost &&
                 a.mVia == b.mVia && a.mHTTP == b.mHTTP,
             "a proxy server");
    }
    for (size_t i = 0; i < first.PortMappers.size(); ++i) {
        const auto& a = first.PortMappers[i].Settings;
        const auto& b = second.PortMappers[i].Settings;
        Same(a.mName == b.mName && a.mOwnHost == b.mOwnHost && a.mOwnPort == b.mOwnPort &&
                 a.mMapHost == b.mMapHost && a.mMapPort == b.mMapPort && a.mTCP == b.mTCP &&
                 a.mUDP == b.mUDP && a.mEnable == b.mEnable && a.mOutHost == b.mOutHost &&
                 a.mVia == b.mVia,
             "a port mapper");
    }
    for (size_t i = 0; i < first.AccessRules.size(); ++i) {
        const auto& a = first.AccessRules[i];
        const auto& b = second.AccessRules[i];
        Same(a.mName == b.mName && a.mOwnHost == b.mOwnHost && a.mRemHost == b.mRemHost &&
                 a.mAction == b.mAction && a.mEnable == b.mEnable && a.mToHost == b.mToHost &&
                 a.mToPort == b.mToPort && a.mVia == b.mVia,
             "an access rule");
    }
    return 0;
}
