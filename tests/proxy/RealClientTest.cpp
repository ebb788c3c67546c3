// The proxy service with the clients people use: curl in every SOCKS mode
// fetching a page from a local HTTP server, and ncat carrying an
// interactive exchange.
#include "ProxyTestUtil.h"

#include "proxy/ProxyServer.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

using test::TFd;

struct TClientRig {
    TClientRig(bool AFive, bool AFour, const std::string& AUser, const std::string& APass)
        : Service(Host) {
        Service.mName = "Clients";
        Service.mHost = "127.0.0.1";
        Service.mPort = 0;
        Service.mFive = AFive;
        Service.mFour = AFour;
        Service.mUser = AUser;
        Service.mPass = APass;
        Service.Start();
        Proxy = "127.0.0.1:" + std::to_string(Service.BoundPort());
    }
    // curl's body output and exit code for one fetch through the proxy.
    std::pair<int, std::string> Curl(const std::vector<std::string>& AProxyArgs,
                                     const std::string& AUrl) {
        std::vector<std::string> args = {"curl", "-q", "-s", "--max-time", "15"};
        args.insert(args.end(), AProxyArgs.begin(), AProxyArgs.end());
        args.push_back(AUrl);
        return test::Run(args);
    }

    test::TRecorderHost Host;
    TProxyServer Service;
    std::string Proxy;
};

const char* const Page = "Kestrune test page\n";

TEST(RealClients, CurlThroughSocks5AndSocks5Hostname) {
    if (!test::HaveTool("curl"))
        GTEST_SKIP() << "curl is not installed";
    test::TLoopbackServer http(test::HttpPage(Page));
    const std::string byAddress = "http://127.0.0.1:" + std::to_string(http.Port) + "/";
    const std::string byName = "http://LocalHost:" + std::to_string(http.Port) + "/";
    {
        TClientRig rig(true, false, "", "");
        EXPECT_EQ(rig.Curl({"--socks5", rig.Proxy}, byAddress),
                  std::make_pair(0, std::string(Page)));
        EXPECT_EQ(rig.Curl({"--socks5-hostname", rig.Proxy}, byName),
                  std::make_pair(0, std::string(Page)));
        EXPECT_EQ(rig.Service.mOnTotal, 2);
    }
    TClientRig rig(true, false, "alice", "s3cret");
    EXPECT_EQ(rig.Curl({"--socks5", rig.Proxy, "--proxy-user", "alice:s3cret"}, byAddress),
              std::make_pair(0, std::string(Page)));
    EXPECT_EQ(rig.Curl({"--socks5-hostname", rig.Proxy, "--proxy-user", "alice:s3cret"}, byName),
              std::make_pair(0, std::string(Page)));
    EXPECT_EQ(rig.Host.Count("] Authenticated: 127.0.0.1:"), 2);

    const auto [code, body] =
        rig.Curl({"--socks5-hostname", rig.Proxy, "--proxy-user", "alice:wrong"}, byName);
    EXPECT_NE(code, 0);
    EXPECT_EQ(body, "");
    const auto [plainCode, plainBody] = rig.Curl({"--socks5", rig.Proxy}, byAddress);
    EXPECT_NE(plainCode, 0);
    EXPECT_EQ(plainBody, "");
    EXPECT_TRUE(test::WaitFor([&] { return rig.Host.Count("Disconnected") == 4; }));
    EXPECT_EQ(rig.Host.Count(" @ alice"), 1);
    EXPECT_EQ(rig.Host.Count("wrong"), 0);
    EXPECT_EQ(rig.Service.mDrop, 1);
    EXPECT_EQ(http.Accepted, 4);
}

TEST(RealClients, CurlThroughSocks4AndSocks4a) {
    if (!test::HaveTool("curl"))
        GTEST_SKIP() << "curl is not installed";
    test::TLoopbackServer http(test::HttpPage(Page));
    TClientRig rig(false, true, "", "");
    EXPECT_EQ(
        rig.Curl({"--socks4", rig.Proxy}, "http://127.0.0.1:" + std::to_string(http.Port) + "/"),
        std::make_pair(0, std::string(Page)));
    EXPECT_EQ(
        rig.Curl({"--socks4a", rig.Proxy}, "http://localhost:" + std::to_string(http.Port) + "/"),
        std::make_pair(0, std::string(Page)));
    EXPECT_EQ(rig.Service.mOnTotal, 2);
    EXPECT_EQ(http.Accepted, 2);
}

TEST(RealClients, NcatCarriesAnInteractiveExchange) {
    if (!test::HaveTool("ncat"))
        GTEST_SKIP() << "ncat is not installed";
    test::TLoopbackServer echo(test::Echo);
    TClientRig rig(true, false, "alice", "s3cret");
    test::TChild ncat({"ncat", "--proxy", rig.Proxy, "--proxy-type", "socks5", "--proxy-auth",
                       "alice:s3cret", "127.0.0.1", std::to_string(echo.Port)});
    for (const std::string line : {"hello\n", "second line\n", "and a third\n"}) {
        ncat.Write(line);
        EXPECT_EQ(test::Recv(ncat.Out.Get(), line.size()), line);
    }
    ncat.CloseInput();
    EXPECT_EQ(ncat.ReadToEnd(5000), "");
    EXPECT_EQ(ncat.Wait(10000), 0);
    EXPECT_TRUE(test::WaitFor([&] { return rig.Host.Count("Disconnected") == 1; }));
    EXPECT_EQ(rig.Host.Count("Authenticated"), 1);
    // The three echoed lines and nothing else.
    EXPECT_EQ(rig.Service.mTrafTotal, 30);
}

} // namespace
} // namespace kestrune
