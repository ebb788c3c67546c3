// The relay between a client connection and a remote one.
#include "NetTestUtil.h"
#include "WaitFor.h"

#include "net/Relay.h"

#include <gtest/gtest.h>

#include <netinet/tcp.h>
#include <sys/ioctl.h>

#include <cstdint>
#include <future>

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using test::TFd;

// user <-> [client connection | relay | remote connection] <-> target
struct TRelayRig {
    TRelayRig() {
        auto [clientEnd, userEnd] = test::TcpPair();
        auto [remoteEnd, targetEnd] = test::TcpPair();
        Client = test::Wrap(std::move(clientEnd));
        Remote = test::Wrap(std::move(remoteEnd));
        User = std::move(userEnd);
        Target = std::move(targetEnd);
        Client->OnWork = [this](TIdComponent&, TWorkMode AMode, int64_t ACount) {
            EXPECT_EQ(AMode, wmWrite);
            Blocks.push_back(ACount);
        };
    }
    std::future<TIdRelay::TIdRelayEnd> Start(size_t AClientBlock = 32768,
                                             size_t ARemoteBlock = 65536) {
        Relay = std::make_unique<TIdRelay>(*Client, *Remote, AClientBlock, ARemoteBlock);
        Relay->OnClientData = ClientHook;
        return std::async(std::launch::async, [this] { return Relay->Run(); });
    }
    int64_t Reported() const {
        int64_t total = 0;
        for (int64_t block : Blocks)
            total += block;
        return total;
    }

    std::unique_ptr<TIdTCPConnection> Client, Remote;
    TFd User, Target;
    std::vector<int64_t> Blocks; // written on the relay's thread, read after it ends
    std::function<void(TIdBytes&)> ClientHook;
    std::unique_ptr<TIdRelay> Relay;
};

TEST(Relay, BulkBothWaysAtOnceArrivesUnchangedInReportedBlocks) {
    TRelayRig rig;
    auto relay = rig.Start(32768, 65536);
    const std::string up = test::RandomBytes(3 << 20, 1);
    const std::string down = test::RandomBytes(3 << 20, 2);
    // Both peers write everything before reading anything: a relay that
    // blocked on one direction would deadlock here.
    auto atTarget = std::async(std::launch::async, [&] {
        test::SendAll(rig.Target.Get(), down);
        shutdown(rig.Target.Get(), SHUT_WR);
        return test::ReadAll(rig.Target.Get());
    });
    auto atUser = std::async(std::launch::async, [&] {
        test::SendAll(rig.User.Get(), up);
        shutdown(rig.User.Get(), SHUT_WR);
        return test::ReadAll(rig.User.Get());
    });
    EXPECT_TRUE(atTarget.get() == up);
    EXPECT_TRUE(atUser.get() == down);
    ASSERT_EQ(relay.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(relay.get(), TIdRelay::reFinished);
    EXPECT_EQ(rig.Reported(), static_cast<int64_t>(down.size()));
    for (int64_t block : rig.Blocks) {
        EXPECT_GT(block, 0);
        EXPECT_LE(block, 65536);
    }
}

TEST(Relay, HalfCloseStillGetsTheWholeAnswer) {
    TRelayRig rig;
    auto relay = rig.Start();
    test::SendAll(rig.User.Get(), "request");
    shutdown(rig.User.Get(), SHUT_WR);
    // The target sees the request and then the end of stream...
    EXPECT_EQ(test::ReadAll(rig.Target.Get()), "request");
    // ...and its answer, sent with an immediate close, reaches the user whole.
    const std::string answer = test::RandomBytes(200000, 3);
    test::SendAll(rig.Target.Get(), answer);
    rig.Target.Reset();
    EXPECT_TRUE(test::ReadAll(rig.User.Get()) == answer);
    ASSERT_EQ(relay.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(relay.get(), TIdRelay::reFinished);
}

TEST(Relay, WhatCameBeforeAResetArrivesWholeAndThenTheResetEachWay) {
    const std::string bytes = test::RandomBytes(1000, 3);
    // Repeated: the bytes and the reset reach the relay together or apart.
    for (int round = 0; round < 10; ++round) {
        for (const bool fromTarget : {true, false}) {
            TRelayRig rig;
            auto relay = rig.Start();
            TFd& sender = fromTarget ? rig.Target : rig.User;
            TFd& reader = fromTarget ? rig.User : rig.Target;
            test::SendAll(sender.Get(), bytes);
            test::Reset(sender);
            const test::TStreamEnd seen = test::ReadToEnd(reader.Get());
            EXPECT_EQ(seen.Data.size(), bytes.size()) << "round " << round;
            EXPECT_TRUE(seen.Data == bytes);
            EXPECT_EQ(seen.Error, ECONNRESET) << "round " << round;
            ASSERT_EQ(relay.wait_for(5s), std::future_status::ready);
            EXPECT_EQ(relay.get(), TIdRelay::reError);
        }
    }
    // A server that answers an upload it refuses and closes with the upload
    // unread resets its connection: the answer still arrives, then the reset.
    TRelayRig rig;
    auto relay = rig.Start();
    test::SendAll(rig.User.Get(), std::string(1 << 16, 'u'));
    char some[4096];
    ASSERT_GT(recv(rig.Target.Get(), some, sizeof some, 0), 0);
    ASSERT_TRUE(test::WaitFor([&] {
        int unread = 0;
        return ioctl(rig.Target.Get(), FIONREAD, &unread) == 0 && unread > 0;
    }));
    test::SendAll(rig.Target.Get(), "HTTP/1.1 413 Payload Too Large\r\n\r\n");
    rig.Target.Reset(); // unread input: the system resets the connection
    const test::TStreamEnd seen = test::ReadToEnd(rig.User.Get());
    EXPECT_EQ(seen.Data, "HTTP/1.1 413 Payload Too Large\r\n\r\n");
    EXPECT_EQ(seen.Error, ECONNRESET);
    ASSERT_EQ(relay.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(relay.get(), TIdRelay::reError);
}

TEST(Relay, CloseFromAnotherThreadEndsItAtOnce) {
    TRelayRig rig;
    test::SendAll(rig.User.Get(), "x");
    auto relay = rig.Start();
    // Once a byte has passed, the relay is in its wait on both sockets.
    char byte;
    ASSERT_EQ(recv(rig.Target.Get(), &byte, 1, 0), 1);
    const auto start = std::chrono::steady_clock::now();
    rig.Client->Disconnect();
    ASSERT_EQ(relay.wait_for(2s), std::future_status::ready);
    EXPECT_LT(test::MillisecondsSince(start), 1000);
    EXPECT_EQ(relay.get(), TIdRelay::reClosed);
    EXPECT_TRUE(test::PeerClosed(rig.Target.Get()));
}

TEST(Relay, BufferedInputGoesFirstAndTheClientHookMayChangeOrDropBlocks) {
    TRelayRig rig;
    // What the request exchange read ahead of the relay waits in the input buffer.
    rig.Client->IOHandler()->InputBuffer.Append(reinterpret_cast<const uint8_t*>("bc"), 2);
    rig.ClientHook = [](TIdBytes& ABlock) {
        if (std::string(ABlock.begin(), ABlock.end()) == "drop") {
            ABlock.clear();
            return;
        }
        for (uint8_t& byte : ABlock)
            byte = static_cast<uint8_t>(std::toupper(byte));
    };
    auto relay = rig.Start();
    // Each exchange below is answered before the next, so blocks stay apart.
    std::string seen;
    ASSERT_TRUE(test::WaitFor([&] {
        char chunk[16];
        const ssize_t got = recv(rig.Target.Get(), chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0)
            seen.append(chunk, static_cast<size_t>(got));
        return seen == "BC";
    }));
    test::SendAll(rig.User.Get(), "drop");
    test::SendAll(rig.Target.Get(), "sync");
    char sync[4];
    ASSERT_EQ(recv(rig.User.Get(), sync, 4, MSG_WAITALL), 4);
    test::SendAll(rig.User.Get(), "end");
    shutdown(rig.User.Get(), SHUT_WR);
    EXPECT_EQ(test::ReadAll(rig.Target.Get()), "END");
    rig.Target.Reset();
    ASSERT_EQ(relay.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(relay.get(), TIdRelay::reFinished);
}

TEST(Relay, RelayedSocketsProbeForAVanishedPeerButNeverCutAPausedOne) {
    TRelayRig rig;
    auto relay = rig.Start();
    // Probes after 60 s of silence, every 10 s, 6 of them; no limit on
    // unacknowledged data, which would cut a reader that only pauses.
    const std::vector<std::pair<int, int>> wanted = {{SOL_SOCKET, SO_KEEPALIVE},
                                                     {IPPROTO_TCP, TCP_KEEPIDLE},
                                                     {IPPROTO_TCP, TCP_KEEPINTVL},
                                                     {IPPROTO_TCP, TCP_KEEPCNT},
                                                     {IPPROTO_TCP, TCP_USER_TIMEOUT}};
    auto options = [&](TIdTCPConnection& AConnection) {
        TIdSocketHandle::TUse use(AConnection.IOHandler()->Binding());
        std::vector<int> values;
        for (auto [level, name] : wanted) {
            int value = -1;
            socklen_t size = sizeof value;
            getsockopt(use.Handle(), level, name, &value, &size);
            values.push_back(value);
        }
        return values;
    };
    const std::vector<int> expected{1, 60, 10, 6, 0};
    EXPECT_TRUE(test::WaitFor([&] { return options(*rig.Client) == expected; }));
    EXPECT_EQ(options(*rig.Remote), expected);
    rig.Client->Disconnect();
    ASSERT_EQ(relay.wait_for(5s), std::future_status::ready);
}

TEST(Relay, SlowReaderThrottlesTheSenderWhileTheRelayHoldsOneBlock) {
    TRelayRig rig;
    // Blocks this large from the remote side pass through a pipe in bulk.
    constexpr size_t Block = 1 << 20;
    auto relay = rig.Start(65536, Block);
    constexpr size_t Total = 100u << 20;
    const std::string chunk = test::RandomBytes(1 << 20, 5);
    std::atomic<size_t> sent{0};
    // The target sends 100 MB while the user reads nothing.
    test::TBlockedThread sender([&] {
        for (size_t done = 0; done < Total; done += chunk.size()) {
            test::SendAll(rig.Target.Get(), chunk);
            sent += chunk.size();
        }
        shutdown(rig.Target.Get(), SHUT_WR);
    });
    // Throttled: the sender sleeps in a send that makes no more progress.
    // Staying still for a while is the thing tested: a relay that kept
    // reading would let the sender on within it.
    size_t last = SIZE_MAX;
    auto still = std::chrono::steady_clock::now();
    EXPECT_TRUE(test::WaitFor([&] {
        const size_t now = sent;
        if (now != last) {
            last = now;
            still = std::chrono::steady_clock::now();
        }
        return !sender.Done() && std::chrono::steady_clock::now() - still >= 300ms;
    }));
    EXPECT_LT(sent.load(), Total / 2);
    // What the relay holds is one block, not what the sender pushed.
    EXPECT_GT(TIdRelay::BytesHeld(), 0);
    EXPECT_LE(TIdRelay::BytesHeld(), static_cast<int64_t>(Block));

    // Once the user reads, everything arrives in order.
    size_t received = 0;
    bool same = true;
    char buffer[65536];
    for (;;) {
        pollfd pfd{rig.User.Get(), POLLIN, 0};
        if (poll(&pfd, 1, 5000) <= 0)
            break;
        const ssize_t got = recv(rig.User.Get(), buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        for (ssize_t i = 0; i < got && same; ++i)
            same = buffer[i] == chunk[(received + static_cast<size_t>(i)) % chunk.size()];
        received += static_cast<size_t>(got);
    }
    sender.Join();
    EXPECT_EQ(received, Total);
    EXPECT_TRUE(same);
    rig.Client->Disconnect();
    ASSERT_EQ(relay.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(rig.Reported(), static_cast<int64_t>(Total));
    EXPECT_EQ(TIdRelay::BytesHeld(), 0);
}

} // namespace
} // namespace kestrune
