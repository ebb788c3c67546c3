// The two-way UDP mapping: answers back to their own sender only, the idle
// end of a sender's socket, and the bound on senders.
#include "MapperTestUtil.h"

#include "mapper/PortMapper.h"
#include "mapper/UDPReplyRouter.h"

#include <gtest/gtest.h>

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

TEST(PortMapperTwoWay, AnIdleSendersSocketCloses) {
    test::TUdpEcho echo;
    TUDPReplyRouter router("127.0.0.1", 0, "127.0.0.1", echo.Port, 200, 65536, nullptr, nullptr);
    router.Start();
    EXPECT_TRUE(router.Forward("127.0.0.1", 40000, ToBytes("ping")));
    EXPECT_EQ(router.SenderCount(), 1u);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(test::WaitFor([&] { return router.SenderCount() == 0; }));
    EXPECT_GE(test::MillisecondsSince(start), 150);
    EXPECT_TRUE(router.Forward("127.0.0.1", 40000, ToBytes("again")));
    EXPECT_EQ(router.SenderCount(), 1u);
}

TEST(PortMapperTwoWay, TheSenderBeyondTheBoundIsDropped) {
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
    const std::string last =
        "[Dns] Denied: 127.0.0.1:" + std::to_string(test::LocalPort(senders.back().Get()));
    // Counted, then logged.
    ASSERT_TRUE(test::WaitFor([&] { return rig.Mapper.mDrop == 1 && rig.Host.Count(last) == 1; }));
    EXPECT_EQ(rig.Mapper.mOnTotal, static_cast<int64_t>(TUDPReplyRouter::MaxSenders));
    // The first sender is still served.
    ASSERT_TRUE(test::SendDatagram(senders.front().Get(), rig.Port, "again"));
    bool answered = false;
    for (int i = 0; i < 3 && !answered; ++i)
        answered = test::ReceiveDatagram(senders.front().Get()).Data == "again";
    EXPECT_TRUE(answered);
}

} // namespace
} // namespace kestrune
