// SOCKS5 UDP ASSOCIATE through the proxy server service, byte for byte:
// the reply, datagrams to IPv4, IPv6 and named targets and their answers,
// who may use the association, its end, its limits and its counting.
#include "ProxyTestUtil.h"

#include "proxy/ProxyServer.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using test::Hex;
using test::PortBytes;
using test::TFd;
using test::ToHex;

struct TUdpRig {
    TUdpRig() : Service(Host) {
        Service.mName = "Office";
        Service.mHost = "127.0.0.1";
        Service.mPort = 0;
        Service.mUDP = true;
        Service.mQueue = 400;
    }
    void Start() {
        Service.Start();
        ASSERT_TRUE(Service.Listening());
    }
    // A control connection through the greeting and [5, ASSOCIATE, 0, IPv4,
    // 0.0.0.0, APort]; the reply's ten bytes.
    std::string Associate(TFd& AControl, uint16_t APort = 0) {
        AControl = test::Connect(Service.BoundPort());
        test::SendAll(AControl.Get(), Hex("05 01 00 05 03 00 01 00 00 00 00") + PortBytes(APort));
        const std::string reply = test::Recv(AControl.Get(), 12);
        return reply.size() == 12 ? reply.substr(2) : reply;
    }
    static uint16_t PortOf(const std::string& AReply) {
        return static_cast<uint16_t>((uint8_t(AReply[8]) << 8) | uint8_t(AReply[9]));
    }

    test::TRecorderHost Host;
    TProxyServer Service;
};

TEST(UdpAssociate, RequestsAndAnswersForEveryKindOfTarget) {
    TUdpRig rig;
    rig.Start();
    test::TUdpEcho echo;
    TFd control;
    const std::string reply = rig.Associate(control);
    // [5, succeeded, 0, IPv4, 127.0.0.1, port]: the address the client came by
    ASSERT_EQ(ToHex(reply.substr(0, 8)), "05 00 00 01 7f 00 00 01");
    const uint16_t relay = TUdpRig::PortOf(reply);
    ASSERT_NE(relay, 0);
    EXPECT_TRUE(rig.Host.Has("[Office] UDP associate: 127.0.0.1:" +
                             std::to_string(test::LocalPort(control.Get()))));

    TFd client = test::UdpSocket();
    // [0 0, FRAG=0, IPv4 127.0.0.1, port] "query": the answer names the target.
    const std::string toEcho = Hex("00 00 00 01 7f 00 00 01") + PortBytes(echo.Port);
    test::SendDatagram(client.Get(), relay, toEcho + "query");
    EXPECT_EQ(test::ReceiveDatagram(client.Get()).Data, toEcho + "query");
    // [0 0 0, DOMAIN, 9] "localhost" port: answered from 127.0.0.1.
    test::SendDatagram(client.Get(), relay,
                       Hex("00 00 00 03 09") + "localhost" + PortBytes(echo.Port) + "name");
    EXPECT_EQ(test::ReceiveDatagram(client.Get()).Data, toEcho + "name");
    // An IPv4 target written as a mapped IPv6 address is that IPv4 target,
    // and its answer names it as such.
    test::SendDatagram(client.Get(), relay,
                       Hex("00 00 00 04 00 00 00 00 00 00 00 00 00 00 ff ff 7f 00 00 01") +
                           PortBytes(echo.Port) + "mapped");
    EXPECT_EQ(test::ReceiveDatagram(client.Get()).Data, toEcho + "mapped");

    test::TUdpEcho echo6(AF_INET6);
    if (echo6.Ok) {
        // [0 0 0, IPv6 ::1, port]
        const std::string toSix =
            Hex("00 00 00 04") + std::string(15, '\0') + Hex("01") + PortBytes(echo6.Port);
        test::SendDatagram(client.Get(), relay, toSix + "six");
        EXPECT_EQ(test::ReceiveDatagram(client.Get()).Data, toSix + "six");
    }

    // Fragments are dropped, and so is anything from another port than the
    // client's first datagram came from.
    const int before = echo.Received;
    test::SendDatagram(client.Get(), relay,
                       Hex("00 00 01 01 7f 00 00 01") + PortBytes(echo.Port) + "frag");
    TFd stranger = test::UdpSocket();
    test::SendDatagram(stranger.Get(), relay, toEcho + "stranger");
    EXPECT_EQ(test::ReceiveDatagram(stranger.Get(), 300).Data, "");
    test::SendDatagram(client.Get(), relay, toEcho + "after");
    EXPECT_EQ(test::ReceiveDatagram(client.Get()).Data, toEcho + "after");
    EXPECT_EQ(echo.Received, before + 1);

    // Bytes written to the client are its traffic; the association is one
    // connection while it lives.
    EXPECT_EQ(rig.Service.mOnline, 1);
    EXPECT_TRUE(test::WaitFor([&] { return rig.Service.mTrafTotal > 0; }));

    // The end of the control connection closes the relay's socket at once.
    control.Reset();
    ASSERT_TRUE(test::WaitFor([&] { return rig.Host.Count("Disconnected") == 1; }));
    TFd probe(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr = test::Loopback(relay);
    connect(probe.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    EXPECT_TRUE(test::WaitFor([&] {
        send(probe.Get(), "x", 1, 0);
        char byte;
        return recv(probe.Get(), &byte, 1, MSG_DONTWAIT) < 0 && errno == ECONNREFUSED;
    })) << "the relay port still answers";
    EXPECT_EQ(rig.Service.mOnline, 0);
}

// [0 0 0, DOMAIN, length] name port DATA
std::string ToName(const std::string& AName, uint16_t APort, const std::string& AData) {
    return Hex("00 00 00 03") + std::string(1, static_cast<char>(AName.size())) + AName +
           PortBytes(APort) + AData;
}

TEST(UdpAssociate, LookupsNeverHoldUpTheRestAndEndWithTheControlConnection) {
    test::TSilentNameServer names;
    TUdpRig rig;
    rig.Start();
    test::TUdpEcho echo;
    TFd control;
    const uint16_t relay = TUdpRig::PortOf(rig.Associate(control));
    TFd client = test::UdpSocket();
    const std::string toEcho = Hex("00 00 00 01 7f 00 00 01") + PortBytes(echo.Port);
    // Six names that never resolve: four are looked up at once, the fifth
    // and sixth are dropped and counted.
    for (int i = 0; i < 6; ++i)
        test::SendDatagram(client.Get(), relay,
                           ToName("n" + std::to_string(i) + ".unanswered.test", 53, "q"));
    // Meanwhile an address target is served at once.
    test::SendDatagram(client.Get(), relay, toEcho + "meanwhile");
    EXPECT_EQ(test::ReceiveDatagram(client.Get(), 1000).Data, toEcho + "meanwhile");
    EXPECT_TRUE(test::WaitFor([&] { return rig.Service.mDrop == 2; }));
    ASSERT_TRUE(test::WaitFor([&] { return names.Queries() >= 4; }));
    // The control connection ends: so does the association, lookups and all.
    const auto start = std::chrono::steady_clock::now();
    control.Reset();
    ASSERT_TRUE(test::WaitFor([&] { return rig.Host.Count("Disconnected") == 1; }));
    // At once, not after a lookup's time limit (seconds), on however busy
    // a machine.
    EXPECT_LT(test::MillisecondsSince(start), 1000);
    EXPECT_EQ(rig.Service.mOnline, 0);
    const int asked = names.Queries();
    test::WaitFor([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(names.Queries(), asked) << "abandoned lookups go on asking";
}

TEST(UdpAssociate, ANameThatFailedIsNotAskedForAgainAtOnce) {
    test::TNoSuchNameServer names;
    TUdpRig rig;
    rig.Start();
    TFd control;
    const uint16_t relay = TUdpRig::PortOf(rig.Associate(control));
    TFd client = test::UdpSocket();
    // The trailing dot keeps the resolver from trying the system's search
    // domains too.
    test::SendDatagram(client.Get(), relay, ToName("gone.unanswered.test.", 53, "first"));
    ASSERT_TRUE(test::WaitFor([&] { return rig.Service.mDrop == 1; }));
    const int asked = names.Queries.load();
    EXPECT_GT(asked, 0);
    for (int i = 0; i < 3; ++i)
        test::SendDatagram(client.Get(), relay, ToName("gone.unanswered.test.", 53, "again"));
    EXPECT_TRUE(test::WaitFor([&] { return rig.Service.mDrop == 4; }));
    EXPECT_EQ(names.Queries.load(), asked);
}

TEST(UdpAssociate, RefusedWhenOffAndBeyondTheLimit) {
    {
        TUdpRig rig;
        rig.Service.mUDP = false;
        rig.Start();
        TFd control;
        // [5, command not supported, 0, IPv4, 0.0.0.0, 0]
        EXPECT_EQ(ToHex(rig.Associate(control)), "05 07 00 01 00 00 00 00 00 00");
    }
    TUdpRig rig;
    rig.Start();
    std::vector<TFd> open(TIdSocksServer::MaxAssociations);
    for (TFd& control : open)
        ASSERT_EQ(rig.Associate(control).substr(0, 2), Hex("05 00"));
    TFd extra;
    // [5, general failure, ...]
    EXPECT_EQ(ToHex(rig.Associate(extra)), "05 01 00 01 00 00 00 00 00 00");
    open.pop_back();
    ASSERT_TRUE(
        test::WaitFor([&] { return rig.Service.mOnline == TIdSocksServer::MaxAssociations - 1; }));
    EXPECT_EQ(rig.Associate(extra).substr(0, 2), Hex("05 00"));
}

TEST(UdpAssociate, ARequestedPortIsHeldToAndAnIdleAssociationEnds) {
    TUdpRig rig;
    rig.Start();
    test::TUdpEcho echo;
    TFd client = test::UdpSocket();
    TFd other = test::UdpSocket();
    TFd control;
    const uint16_t relay = TUdpRig::PortOf(rig.Associate(control, test::LocalPort(client.Get())));
    const std::string toEcho = Hex("00 00 00 01 7f 00 00 01") + PortBytes(echo.Port);
    // The port the request named is the only one that may use it.
    test::SendDatagram(other.Get(), relay, toEcho + "other");
    test::SendDatagram(client.Get(), relay, toEcho + "mine");
    EXPECT_EQ(test::ReceiveDatagram(client.Get()).Data, toEcho + "mine");
    EXPECT_EQ(test::ReceiveDatagram(other.Get(), 200).Data, "");
    EXPECT_EQ(echo.Received, 1);

    // Without a datagram either way for its limit, it ends with its control
    // connection.
    TIdSocksServer server;
    TIdSocketHandle& binding = server.Bindings.Add();
    binding.IP = "127.0.0.1";
    server.AllowUdpAssociate = true;
    server.UdpIdleTimeout = 200;
    server.SetActive(true);
    TFd idle = test::Connect(server.Bindings[0].Port);
    test::SendAll(idle.Get(), Hex("05 01 00 05 03 00 01 00 00 00 00 00 00"));
    EXPECT_EQ(test::Recv(idle.Get(), 12).substr(0, 4), Hex("05 00 05 00"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(test::PeerClosed(idle.Get(), 3000));
    EXPECT_GE(test::MillisecondsSince(start), 150);
}

} // namespace
} // namespace kestrune
