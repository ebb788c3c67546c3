// HTTP proxying on a proxy server's own port: the protocol chosen by the
// first byte, CONNECT, requests in absolute form with their bodies and
// answers, kept connections, and the proxy's own answers.
#include "ProxyTestUtil.h"

#include "proxy/ProxyServer.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

using test::Hex;
using test::PortBytes;
using test::TargetRule;
using test::TFd;

struct TRig {
    TRig() : Service(Host) {
        Service.mName = "Web";
        Service.mHost = "127.0.0.1";
        Service.mPort = 0;
        Service.mHTTP = true;
    }
    void Start() {
        Service.Start();
        ASSERT_TRUE(Service.Listening());
        Port = Service.BoundPort();
    }
    test::TRecorderHost Host;
    TProxyServer Service;
    uint16_t Port = 0;
};

// What has arrived on AFd, once something has (empty at its end or after
// ATimeout).
std::string Some(int AFd, int ATimeout = 2000) {
    pollfd pfd{AFd, POLLIN, 0};
    if (poll(&pfd, 1, ATimeout) <= 0)
        return std::string();
    char chunk[65536];
    const ssize_t got = recv(AFd, chunk, sizeof chunk, 0);
    return got > 0 ? std::string(chunk, static_cast<size_t>(got)) : std::string();
}

// An origin of the test's own: it reads each request (head and body, as
// framed by Content-Length or chunked) on a kept connection, records it,
// and answers "you sent N bytes" with the request's target.
class TOrigin {
public:
    TOrigin() : FServer([this](int AFd) { Serve(AFd); }) {}
    uint16_t Port() const { return FServer.Port; }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> lock(FLock);
        return FRequests;
    }
    int Connections() const { return FServer.Accepted; }

private:
    void Serve(int AFd) {
        std::string pending;
        for (;;) {
            size_t end;
            while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
                const std::string part = Some(AFd);
                if (part.empty())
                    return;
                pending += part;
            }
            std::string request = pending.substr(0, end + 4);
            pending.erase(0, end + 4);
            std::string body;
            if (request.find("Transfer-Encoding: chunked") != std::string::npos) {
                // Chunks as they come, up to the last one and its empty line.
                while (pending.find("\r\n0\r\n\r\n") == std::string::npos &&
                       pending.rfind("0\r\n\r\n", 0) != 0) {
                    const std::string part = Some(AFd);
                    if (part.empty())
                        return;
                    pending += part;
                }
                const size_t last = pending.rfind("0\r\n\r\n");
                body = pending.substr(0, last + 5);
                pending.erase(0, last + 5);
            } else if (const size_t at = request.find("Content-Length: ");
                       at != std::string::npos) {
                const size_t length = std::stoul(request.substr(at + 16));
                while (pending.size() < length) {
                    const std::string part = Some(AFd);
                    if (part.empty())
                        return;
                    pending += part;
                }
                body = pending.substr(0, length);
                pending.erase(0, length);
            }
            {
                std::lock_guard<std::mutex> lock(FLock);
                FRequests.push_back(request + body);
            }
            const std::string target =
                request.substr(request.find(' ') + 1,
                               request.find(' ', request.find(' ') + 1) - request.find(' ') - 1);
            const std::string text = target + ": you sent " + std::to_string(body.size());
            test::SendAll(AFd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(text.size()) +
                                   "\r\nKeep-Alive: timeout=5\r\nConnection: keep-alive\r\n\r\n" +
                                   text);
        }
    }

    std::mutex FLock;
    std::vector<std::string> FRequests;
    test::TLoopbackServer FServer;
};

// Reads one HTTP answer (head and Content-Length body) from AFd.
std::string Answer(int AFd) {
    std::string text;
    while (text.find("\r\n\r\n") == std::string::npos) {
        const std::string part = test::Recv(AFd, 1, 3000);
        if (part.empty())
            return text;
        text += part;
    }
    const size_t at = text.find("Content-Length: ");
    if (at != std::string::npos)
        text += test::Recv(AFd, std::stoul(text.substr(at + 16)), 3000);
    return text;
}

std::string Body(const std::string& AAnswer) {
    const size_t end = AAnswer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : AAnswer.substr(end + 4);
}

TEST(HttpProxy, TheFirstByteChoosesTheProtocol) {
    test::TLoopbackServer echo(test::Echo);
    TOrigin origin;
    TRig rig;
    rig.Start();
    // SOCKS5 as before, on the same port.
    TFd socks = test::Connect(rig.Port);
    test::SendAll(socks.Get(), Hex("05 01 00 05 01 00 01 7f 00 00 01") + PortBytes(echo.Port));
    EXPECT_EQ(test::Recv(socks.Get(), 12).substr(0, 4), Hex("05 00 05 00"));
    // A letter: HTTP.
    TFd http = test::Connect(rig.Port);
    test::SendAll(http.Get(), "GET http://127.0.0.1:" + std::to_string(origin.Port()) +
                                  "/a HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(Body(Answer(http.Get())), "/a: you sent 0");
    // Anything else closes without a byte; so does a letter with HTTP off.
    TFd other = test::Connect(rig.Port);
    test::SendAll(other.Get(), "\x16\x03\x01");
    EXPECT_EQ(test::ReadAll(other.Get()), "");
    TRig off;
    off.Service.mHTTP = false;
    off.Start();
    TFd letter = test::Connect(off.Port);
    test::SendAll(letter.Get(), "GET http://127.0.0.1/ HTTP/1.1\r\n\r\n");
    EXPECT_EQ(test::ReadAll(letter.Get()), "");
}

TEST(HttpProxy, ConnectOpensATunnelWithWhatFollowsTheRequest) {
    test::TLoopbackServer echo(test::Echo);
    TRig rig;
    rig.Start();
    TFd client = test::Connect(rig.Port);
    const std::string authority = "127.0.0.1:" + std::to_string(echo.Port);
    // The first tunnel bytes come right after the head.
    test::SendAll(client.Get(),
                  "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\nearly");
    EXPECT_EQ(test::Recv(client.Get(), 39), "HTTP/1.1 200 Connection established\r\n\r\n");
    EXPECT_EQ(test::Recv(client.Get(), 5), "early");
    test::SendAll(client.Get(), "later");
    EXPECT_EQ(test::Recv(client.Get(), 5), "later");
    ASSERT_TRUE(test::WaitFor([&] { return rig.Service.mTrafTotal == 10; }));
}

TEST(HttpProxy, RequestsGoToTheirOriginWithoutHopByHopFieldsAndBothConnectionsAreKept) {
    TOrigin origin;
    TRig rig;
    rig.Start();
    const std::string base = "http://127.0.0.1:" + std::to_string(origin.Port());
    TFd client = test::Connect(rig.Port);
    // Hop-by-hop fields, one named by Connection, and a Content-Length body.
    test::SendAll(client.Get(), "POST " + base +
                                    "/form?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                    "Connection: keep-alive, X-Hop\r\nX-Hop: 1\r\n"
                                    "Proxy-Connection: keep-alive\r\nKeep-Alive: 300\r\n"
                                    "TE: trailers\r\nUpgrade: h2c\r\nX-Kept: yes\r\n"
                                    "Content-Length: 5\r\n\r\nhello");
    const std::string first = Answer(client.Get());
    EXPECT_EQ(Body(first), "/form?x=1: you sent 5");
    EXPECT_NE(first.find("Via: 1.1 kestrune"), std::string::npos) << first;
    // The client's connection stays for a chunked request, to the same
    // origin connection.
    test::SendAll(client.Get(), "PUT " + base +
                                    "/up HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                    "Transfer-Encoding: chunked\r\n\r\n"
                                    "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n");
    EXPECT_EQ(Body(Answer(client.Get())), "/up: you sent 20");
    const std::vector<std::string> seen = origin.Requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].substr(0, seen[0].find("\r\n")), "POST /form?x=1 HTTP/1.1");
    for (const char* gone : {"Connection:", "X-Hop", "Proxy-Connection", "Keep-Alive",
                             "TE:", "Upgrade", "Proxy-Authorization"})
        EXPECT_EQ(seen[0].find(gone), std::string::npos) << gone << " in " << seen[0];
    EXPECT_NE(seen[0].find("X-Kept: yes"), std::string::npos);
    EXPECT_NE(seen[0].find("Via: 1.1 kestrune"), std::string::npos);
    EXPECT_EQ(seen[0].substr(seen[0].size() - 5), "hello");
    EXPECT_NE(seen[1].find("3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n"), std::string::npos);
    EXPECT_EQ(origin.Connections(), 1);
    // Bytes to the client are its traffic; one client connection for both.
    EXPECT_TRUE(test::WaitFor([&] { return rig.Service.mTrafTotal > 0; }));
    EXPECT_EQ(rig.Service.mOnTotal, 1);
}

TEST(HttpProxy, TheProxysOwnAnswers) {
    TOrigin origin;
    const std::string base = "http://127.0.0.1:" + std::to_string(origin.Port());
    // The status line of each answer to ARequest, which closes the connection.
    auto status = [](uint16_t APort, const std::string& ARequest) {
        TFd client = test::Connect(APort);
        test::SendAll(client.Get(), ARequest);
        const std::string answer = test::ReadAll(client.Get());
        return answer.substr(0, answer.find("\r\n"));
    };
    {
        TRig rig;
        rig.Service.mUser = "alice";
        rig.Service.mPass = "s3cret";
        rig.Start();
        const std::string request = "GET " + base + "/ HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        // No credentials, wrong ones, the right ones ("alice:s3cret").
        TFd asked = test::Connect(rig.Port);
        test::SendAll(asked.Get(), request + "\r\n");
        const std::string challenge = test::ReadAll(asked.Get());
        EXPECT_EQ(challenge.substr(0, challenge.find("\r\n")),
                  "HTTP/1.1 407 Proxy Authentication Required");
        EXPECT_NE(challenge.find("Proxy-Authenticate: Basic realm=\"Kestrune\""),
                  std::string::npos);
        EXPECT_EQ(status(rig.Port, request + "Proxy-Authorization: Basic YWxpY2U6d3Jvbmc=\r\n\r\n"),
                  "HTTP/1.1 407 Proxy Authentication Required");
        TFd good = test::Connect(rig.Port);
        test::SendAll(good.Get(), request + "Proxy-Authorization: Basic YWxpY2U6czNjcmV0\r\n\r\n");
        EXPECT_EQ(Body(Answer(good.Get())), "/: you sent 0");
        ASSERT_TRUE(test::WaitFor([&] { return rig.Host.Count("Authenticat") == 2; }));
        EXPECT_EQ(rig.Host.Count("Authentication failed: 127.0.0.1:"), 1);
        EXPECT_TRUE(rig.Host.Has("[Web] Authenticated: 127.0.0.1:" +
                                 std::to_string(test::LocalPort(good.Get()))));
    }
    TRig rig;
    rig.Host.SetTargetRules(
        {TargetRule("NoOrigin", "127.0.0.1", std::to_string(origin.Port()), "Deny")});
    rig.Start();
    const int connections = origin.Connections();
    EXPECT_EQ(status(rig.Port, "GET " + base + "/ HTTP/1.1\r\n\r\n"), "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(origin.Connections(), connections);
    EXPECT_EQ(status(rig.Port, "GET http://127.0.0.1:" + std::to_string(test::ClosedPort()) +
                                   "/ HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 502 Bad Gateway");
    EXPECT_EQ(status(rig.Port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"),
              "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(status(rig.Port, "GET " + base + "/ HTTP/1.1\r\nX-Big: " + std::string(70000, 'b') +
                                   "\r\n\r\n"),
              "HTTP/1.1 431 Request Header Fields Too Large");
}

} // namespace
} // namespace kestrune
