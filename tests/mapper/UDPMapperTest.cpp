// The port mapper's one-way datagram forwarding, and the two protocols
// side by side.
#include "MapperTestUtil.h"

#include "mapper/PortMapper.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

using test::TFd;

class PortMapperUDP : public ::testing::Test {
protected:
    PortMapperUDP() { test::Configure(Mapper, "Udp", test::LocalPort(Remote.Get()), false, true); }
    ~PortMapperUDP() override { Mapper.Stop(); }

    uint16_t Start() {
        Mapper.Start();
        EXPECT_TRUE(Mapper.Listening());
        return Mapper.UDPPort();
    }

    TFd Remote = test::UdpSocket();
    TFd Sender = test::UdpSocket();
    test::TRecordingHost Host;
    TPortMapper Mapper{Host};
};

TEST_F(PortMapperUDP, AnOutgoingAddressIsWhereDatagramsLeaveFrom) {
    Mapper.mOutHost = "127.0.0.7";
    const uint16_t port = Start();
    ASSERT_TRUE(test::SendDatagram(Sender.Get(), port, "hello"));
    const test::TDatagram got = test::ReceiveDatagram(Remote.Get());
    EXPECT_EQ(got.Data, "hello");
    EXPECT_EQ(got.FromIP, "127.0.0.7");
}

TEST_F(PortMapperUDP, DatagramsLeaveFromTheMappersPortUnchanged) {
    const uint16_t port = Start();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(test::SendDatagram(Sender.Get(), port, "first"));
    ASSERT_TRUE(test::SendDatagram(Sender.Get(), port, "second"));
    for (const char* expected : {"first", "second"}) {
        const test::TDatagram datagram = test::ReceiveDatagram(Remote.Get());
        ASSERT_TRUE(datagram.Received);
        EXPECT_EQ(datagram.Data, expected);
        EXPECT_EQ(datagram.FromPort, port);
    }
    EXPECT_EQ(Mapper.mOnTotal, 2);
    EXPECT_EQ(Mapper.mTrafTotal, 11);
    EXPECT_EQ(Mapper.mTraf, 11);
    EXPECT_EQ(Mapper.mOnline, 0);
    EXPECT_EQ(Host.Lines(), std::vector<std::string>{"[Udp] Started"});
}

TEST_F(PortMapperUDP, FourKilobyteBufferPasses4096BytesAndDrops4097Silently) {
    Mapper.mBuffer = 4;
    const uint16_t port = Start();
    const std::string fits = test::Pattern(4096);
    ASSERT_TRUE(test::SendDatagram(Sender.Get(), port, fits));
    ASSERT_TRUE(test::SendDatagram(Sender.Get(), port, test::Pattern(4097)));
    ASSERT_TRUE(test::SendDatagram(Sender.Get(), port, "after"));
    test::TDatagram datagram = test::ReceiveDatagram(Remote.Get());
    EXPECT_TRUE(datagram.Data == fits);
    // The next one to arrive is the marker: the oversized datagram vanished.
    datagram = test::ReceiveDatagram(Remote.Get());
    EXPECT_EQ(datagram.Data, "after");
    EXPECT_EQ(Mapper.mOnTotal, 2);
    EXPECT_EQ(Mapper.mTrafTotal, 4096 + 5);
    EXPECT_EQ(Mapper.mDrop, 0);
    EXPECT_EQ(Host.Lines().size(), 1u);
}

TEST_F(PortMapperUDP, HugeBufferStillForwardsTheLargestDatagram) {
    // 2,100,000 KB overflows 32-bit byte counts; the mapper must still
    // take every datagram, and not allocate gigabytes for it.
    Mapper.mBuffer = 2100000;
    const uint16_t port = Start();
    const std::string largest = test::Pattern(65507);
    ASSERT_TRUE(test::SendDatagram(Sender.Get(), port, largest));
    EXPECT_TRUE(test::ReceiveDatagram(Remote.Get()).Data == largest);
}

TEST_F(PortMapperUDP, EmptyDatagramIsCountedAndForwarded) {
    const uint16_t port = Start();
    ASSERT_TRUE(test::SendDatagram(Sender.Get(), port, ""));
    const test::TDatagram datagram = test::ReceiveDatagram(Remote.Get());
    EXPECT_TRUE(datagram.Received);
    EXPECT_EQ(datagram.Data, "");
    EXPECT_EQ(Mapper.mOnTotal, 1);
    EXPECT_EQ(Mapper.mTrafTotal, 0);
}

TEST_F(PortMapperUDP, DatagramWhoseSendFailsStaysCountedAndTheNextIsHandled) {
    Mapper.mMapHost = "256.0.0.1"; // no address: every send fails
    const uint16_t port = Start();
    ASSERT_TRUE(test::SendDatagram(Sender.Get(), port, "lost"));
    ASSERT_TRUE(test::SendDatagram(Sender.Get(), port, "lost too"));
    EXPECT_TRUE(test::WaitFor([&] { return Mapper.mOnTotal == 2 && Mapper.mTrafTotal == 12; }));
    EXPECT_EQ(Host.Lines(), std::vector<std::string>{"[Udp] Started"});
}

TEST_F(PortMapperUDP, RefusedSenderGetsOneDeniedLinePerDatagram) {
    TFd admitted = test::UdpSocket();
    const int refusedPort = test::LocalPort(Sender.Get());
    Host.Admit = [&](const std::string&, int APort) { return APort != refusedPort; };
    const uint16_t port = Start();
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(test::SendDatagram(Sender.Get(), port, "refused"));
    ASSERT_TRUE(test::SendDatagram(admitted.Get(), port, "admitted"));
    // Datagrams are handled in arrival order, so the first one through is
    // the admitted sender's.
    EXPECT_EQ(test::ReceiveDatagram(Remote.Get()).Data, "admitted");
    const std::string denied = "[Udp] Denied: 127.0.0.1:" + std::to_string(refusedPort);
    EXPECT_EQ(Host.Count(denied), 5);
    EXPECT_EQ(Mapper.mDrop, 5);
    EXPECT_EQ(Mapper.mOnTotal, 1);
    EXPECT_EQ(Mapper.mTrafTotal, 8);
}

TEST_F(PortMapperUDP, FailedUdpActivationAfterTcpLogsListenFailedThenStopped) {
    // The UDP port is taken while TCP's same port is free.
    auto [freedTcp, occupant] = test::TcpAndUdpOnOnePort();
    ASSERT_GE(occupant.Get(), 0);
    const uint16_t port = test::LocalPort(occupant.Get());
    freedTcp.Reset();
    Mapper.mOwnPort = port;
    Mapper.mTCP = true;
    Mapper.Start();
    const std::string failed = "[Udp] Listen failed: 127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(Host.Lines(), (std::vector<std::string>{failed, "[Udp] Stopped"}));
    EXPECT_FALSE(Mapper.Listening());
    // Nothing of the attempt is left listening on TCP.
    EXPECT_LT(test::Connect(port).Get(), 0);

    occupant.Reset();
    Mapper.Start();
    EXPECT_EQ(Host.Lines().back(), "[Udp] Started");
    EXPECT_EQ(Mapper.TCPPort(), port);
    EXPECT_EQ(Mapper.UDPPort(), port);
}

TEST_F(PortMapperUDP, DropClosesTheUdpSideUntilTheNextStartWhileTcpListens) {
    // Both protocols go to the same remote port number.
    auto [tcpTarget, udpTarget] = test::TcpAndUdpOnOnePort();
    ASSERT_GE(udpTarget.Get(), 0);
    Remote = std::move(udpTarget);
    Mapper.mMapPort = test::LocalPort(tcpTarget.Get());
    Mapper.mTCP = true;
    Start();
    const uint16_t port = Mapper.UDPPort();
    ASSERT_EQ(Mapper.TCPPort(), port);
    // Both protocols share the counters; only TCP is online.
    ASSERT_TRUE(test::SendDatagram(Sender.Get(), port, "x"));
    ASSERT_TRUE(test::ReceiveDatagram(Remote.Get()).Received);
    TFd client = test::Connect(port);
    TFd remote = test::AcceptWithin(tcpTarget.Get());
    ASSERT_GE(remote.Get(), 0);
    ASSERT_TRUE(Host.WaitCount("[Udp] Connected: ", 1));
    EXPECT_EQ(Mapper.mOnTotal, 2);
    EXPECT_EQ(Mapper.mOnline, 1);

    Mapper.Drop();
    EXPECT_TRUE(Mapper.Listening());
    EXPECT_EQ(Mapper.UDPPort(), 0);
    EXPECT_EQ(Mapper.mDrop, 1);
    EXPECT_TRUE(test::PeerClosed(client.Get()));
    // The UDP port is free again: nothing holds it.
    {
        TFd probe(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in addr = test::Loopback(port);
        EXPECT_EQ(bind(probe.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }
    TFd again = test::Connect(port);
    EXPECT_GE(again.Get(), 0);

    Mapper.Stop();
    Mapper.Start();
    const uint16_t restarted = Mapper.UDPPort();
    ASSERT_NE(restarted, 0);
    ASSERT_TRUE(test::SendDatagram(Sender.Get(), restarted, "y"));
    EXPECT_EQ(test::ReceiveDatagram(Remote.Get()).Data, "y");
}

} // namespace
} // namespace kestrune
