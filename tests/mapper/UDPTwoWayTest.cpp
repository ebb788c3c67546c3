// The two-way UDP mapping: answers back to their own sender only, the idle
// end of a sender's socket, the bound on senders and who gives way, and the
// rules held to answers too.
#include "MapperTestUtil.h"

#include "mapper/PortMapper.h"
#include "mapper/UDPReplyRouter.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <thread>

namespace kestrune {
namespace {

using test::TFd;

struct TTwoWayRig {
    explicit TTwoWayRig(uint16_t ATarget) {
        test::Configure(Mapper, "Dns", ATarget, false, true);
        Mapper.mTwoWay = true;
        Mapper.Start();
        Port = Mapper.UDPPort();
    }
    ~TTwoWayRig() { Mapper.Stop(); }
    test::TRecordingHost Host;
    TPortMapper Mapper{Host};
    uint16_t Port = 0;
};

TEST(PortMapperTwoWay, EachSenderGetsItsOwnAnswersOnly) {
    test::TUdpEcho echo;
    TTwoWayRig rig(echo.Port);
    ASSERT_NE(rig.Port, 0);
    TFd senders[3] = {test::UdpSocket(), test::UdpSocket(), test::UdpSocket()};
    constexpr int Rounds = 20;
    for (int round = 0; round < Rounds; ++round)
        for (int s = 0; s < 3; ++s)
            ASSERT_TRUE(test::SendDatagram(senders[s].Get(), rig.Port,
                                           "s" + std::to_string(s) + "#" + std::to_string(round)));
    for (int s = 0; s < 3; ++s) {
        for (int round = 0; round < Rounds; ++round) {
            const test::TDatagram answer = test::ReceiveDatagram(senders[s].Get());
            ASSERT_TRUE(answer.Received) << s << " " << round;
            EXPECT_EQ(answer.Data.substr(0, 3), "s" + std::to_string(s) + "#");
            EXPECT_EQ(answer.FromPort, rig.Port) << "answers come from the mapper's port";
        }
    }
    // Both directions are traffic: 60 datagrams out, 60 answers back.
    int64_t bytes = 0;
    for (int s = 0; s < 3; ++s)
        for (int round = 0; round < Rounds; ++round)
            bytes += static_cast<int64_t>(3 + std::to_string(round).size());
    EXPECT_TRUE(test::WaitFor([&] { return rig.Mapper.mTrafTotal == 2 * bytes; }));
    EXPECT_EQ(rig.Mapper.mOnTotal, 3 * Rounds);
}

TEST(PortMapperTwoWay, IdleSendersCloseAndGiveWayWhenEveryPlaceIsTaken) {
    if (!test::RaiseDescriptorLimit(4096))
        GTEST_SKIP() << "needs 4096 descriptors";
    test::TUdpEcho echo;
    {
        TUDPReplyRouter router("127.0.0.1", 0, "127.0.0.1", echo.Port, 200, 65536, nullptr,
                               nullptr);
        router.Start();
        auto forward = [&](TIdPort APort) {
            return test::OnLoop(*router.Loop(),
                                [&] { return router.Forward("127.0.0.1", APort, ToBytes("x")); });
        };
        EXPECT_TRUE(forward(40000));
        EXPECT_EQ(router.SenderCount(), 1u);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(test::WaitFor([&] { return router.SenderCount() == 0; }));
        EXPECT_GE(test::MillisecondsSince(start), 150);
        EXPECT_TRUE(forward(40000));
        EXPECT_EQ(router.SenderCount(), 1u);
    }
    // All places taken by senders that keep quiet afterwards (stale or
    // spoofed): a new one is turned away until the oldest has been quiet
    // long enough, then takes its place.
    TUDPReplyRouter router("127.0.0.1", 0, "127.0.0.1", echo.Port, 600000, 65536, nullptr, nullptr);
    router.GiveWay = std::chrono::milliseconds(300);
    router.Start();
    TIdEventLoop& loop = *router.Loop();
    const bool filled = test::OnLoop(loop, [&] {
        bool all = true;
        for (size_t i = 0; i < TUDPReplyRouter::MaxSenders; ++i)
            all = router.Forward("127.0.0.1", static_cast<TIdPort>(30000 + i), ToBytes("x")) && all;
        return all;
    });
    ASSERT_TRUE(filled);
    ASSERT_EQ(router.SenderCount(), TUDPReplyRouter::MaxSenders);
    auto newcomer = [&] {
        return test::OnLoop(loop, [&] { return router.Forward("127.0.0.1", 50000, ToBytes("n")); });
    };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(newcomer());
    EXPECT_TRUE(test::WaitFor(newcomer));
    EXPECT_GE(test::MillisecondsSince(start), 250);
    EXPECT_EQ(router.SenderCount(), TUDPReplyRouter::MaxSenders);
}

TEST(PortMapperTwoWay, TheSenderBeyondTheBoundIsToldApartFromADenial) {
    if (!test::RaiseDescriptorLimit(4096))
        GTEST_SKIP() << "needs 4096 descriptors";
    test::TUdpEcho echo;
    TTwoWayRig rig(echo.Port);
    std::vector<TFd> senders;
    for (size_t i = 0; i < TUDPReplyRouter::MaxSenders; ++i) {
        senders.push_back(test::UdpSocket());
        ASSERT_TRUE(test::SendDatagram(senders.back().Get(), rig.Port, "x"));
        // In steps the socket buffer holds, none lost on the way.
        if (i % 64 == 63) {
            ASSERT_TRUE(test::WaitFor([&] { return rig.Mapper.mOnTotal == int64_t(i + 1); }));
        }
    }
    senders.push_back(test::UdpSocket());
    ASSERT_TRUE(test::SendDatagram(senders.back().Get(), rig.Port, "x"));
    const std::string last = "[Dns] Too many senders: 127.0.0.1:" +
                             std::to_string(test::LocalPort(senders.back().Get()));
    // Counted, then logged; the rules had nothing to do with it.
    ASSERT_TRUE(test::WaitFor([&] { return rig.Mapper.mDrop == 1 && rig.Host.Count(last) == 1; }));
    EXPECT_EQ(rig.Host.Count("[Dns] Denied"), 0);
    EXPECT_EQ(rig.Mapper.mOnTotal, static_cast<int64_t>(TUDPReplyRouter::MaxSenders));
    // The first sender is still served.
    ASSERT_TRUE(test::SendDatagram(senders.front().Get(), rig.Port, "again"));
    bool answered = false;
    for (int i = 0; i < 3 && !answered; ++i)
        answered = test::ReceiveDatagram(senders.front().Get()).Data == "again";
    EXPECT_TRUE(answered);
}

// A remote that, once a source has written to it, streams a datagram to
// that source every few milliseconds (at most 2,000), until it goes.
class TStreamingRemote {
public:
    TStreamingRemote() : FSocket(test::UdpSocket()) {
        Port = test::LocalPort(FSocket.Get());
        FThread = std::thread([this] { Serve(); });
    }
    ~TStreamingRemote() {
        FStopped = true;
        FThread.join();
    }
    uint16_t Port = 0;

private:
    void Serve() {
        sockaddr_storage to{};
        socklen_t length = 0;
        for (int sent = 0; !FStopped && sent < 2000;) {
            pollfd pfd{FSocket.Get(), POLLIN, 0};
            if (poll(&pfd, 1, 5) > 0) {
                char data[64];
                length = sizeof to;
                recvfrom(FSocket.Get(), data, sizeof data, MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&to), &length);
            }
            if (length > 0 &&
                sendto(FSocket.Get(), "s", 1, 0, reinterpret_cast<sockaddr*>(&to), length) == 1)
                ++sent;
        }
    }
    TFd FSocket;
    std::atomic<bool> FStopped{false};
    std::thread FThread;
};

TEST(PortMapperTwoWay, ASenderTheRulesNoLongerAdmitGetsNoMoreAnswers) {
    TStreamingRemote remote;
    TTwoWayRig rig(remote.Port);
    TFd sender = test::UdpSocket();
    ASSERT_TRUE(test::SendDatagram(sender.Get(), rig.Port, "start"));
    ASSERT_EQ(test::ReceiveDatagram(sender.Get()).Data, "s");
    ASSERT_EQ(test::ReceiveDatagram(sender.Get()).Data, "s");
    // A reload denies it: the flow ends, although the remote goes on.
    rig.Host.SetAdmit([](const std::string&, int) { return false; });
    rig.Mapper.AccessRulesChanged();
    for (int i = 0; i < 100 && test::ReceiveDatagram(sender.Get(), 50).Received; ++i) {
    }
    EXPECT_FALSE(test::ReceiveDatagram(sender.Get(), 300).Received);
}

} // namespace
} // namespace kestrune
