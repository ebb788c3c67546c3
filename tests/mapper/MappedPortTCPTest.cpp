// The mapped TCP port on its own: the order of its events, the blocks its
// handlers see, and how a mapping ends.
#include "MapperTestUtil.h"

#include "mapper/MappedPortTCP.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <atomic>
#include <future>

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using test::TFd;

int Pending(TIdSocketHandle& ABinding) {
    TIdSocketHandle::TUse use(ABinding);
    int pending = 0;
    if (!use || ioctl(use.Handle(), FIONREAD, &pending) != 0)
        return -1;
    return pending;
}

// client -> [TIdMappedPortTCP] -> target listener
struct TMappedRig {
    explicit TMappedRig(uint16_t ATargetPort = 0, int ABufferSize = 65536) {
        TIdSocketHandle& binding = Server.Bindings.Add();
        binding.IP = "127.0.0.1";
        binding.Port = 0;
        Server.MappedHost = "127.0.0.1";
        Server.MappedPort = ATargetPort ? ATargetPort : test::LocalPort(Target.Get());
        Server.BufferSize = ABufferSize;
    }
    ~TMappedRig() { Server.SetActive(false); }
    uint16_t Start() {
        Server.SetActive(true);
        return Server.Bindings[0].Port;
    }
    void Event(const std::string& AText) {
        std::lock_guard<std::mutex> lock(Lock);
        Events.push_back(AText);
    }
    std::vector<std::string> TakeEvents() {
        std::lock_guard<std::mutex> lock(Lock);
        return Events;
    }
    size_t EventCount() {
        std::lock_guard<std::mutex> lock(Lock);
        return Events.size();
    }

    TFd Target = test::Listener(64);
    std::mutex Lock;
    std::vector<std::string> Events;
    TIdMappedPortTCP Server;
};

std::string Text(const TIdBytes& ABytes) {
    return std::string(ABytes.begin(), ABytes.end());
}

TEST(MappedPortTCP, EventsComeInOrderAndTheClientsBlockGoesFirst) {
    TMappedRig rig;
    std::atomic<bool> remoteSent{false};
    rig.Server.OnBeforeConnect = [&](TIdContext& AContext) {
        auto& context = static_cast<TIdMappedPortContext&>(AContext);
        rig.Event(context.OutboundClient() ? "before (outbound exists)" : "before");
    };
    rig.Server.OnConnect = [&](TIdContext& AContext) {
        TIdTCPClient* outbound = static_cast<TIdMappedPortContext&>(AContext).OutboundClient();
        rig.Event(outbound && outbound->Port == rig.Server.MappedPort &&
                          outbound->Host == "127.0.0.1" && !outbound->Connected()
                      ? "connect"
                      : "connect (outbound not prepared)");
    };
    rig.Server.OnOutboundConnect = [&](TIdContext& AContext) {
        auto& context = static_cast<TIdMappedPortContext&>(AContext);
        rig.Event("outbound connect");
        // Hold the relay back until both sides have data waiting.
        test::WaitFor([&] {
            return remoteSent && Pending(context.OutboundClient()->IOHandler()->Binding()) > 0 &&
                   Pending(*context.Binding()) > 0;
        });
    };
    rig.Server.OnExecute = [&](TIdContext& AContext) {
        rig.Event("client " + Text(static_cast<TIdMappedPortContext&>(AContext).FNetData));
    };
    rig.Server.OnOutboundData = [&](TIdContext& AContext) {
        rig.Event("remote " + Text(static_cast<TIdMappedPortContext&>(AContext).FNetData));
    };
    rig.Server.OnOutboundDisconnect = [&](TIdContext&) { rig.Event("outbound disconnect"); };
    rig.Server.OnDisconnect = [&](TIdContext&) { rig.Event("disconnect"); };
    const uint16_t port = rig.Start();

    TFd client = test::Connect(port);
    test::SendAll(client.Get(), "A");
    TFd remote = test::AcceptWithin(rig.Target.Get());
    ASSERT_GE(remote.Get(), 0);
    test::SendAll(remote.Get(), "B");
    remoteSent = true;
    char byte = 0;
    ASSERT_EQ(recv(remote.Get(), &byte, 1, 0), 1);
    EXPECT_EQ(byte, 'A');
    remote.Reset();
    // The remote's byte and then its end reach the client; the client's
    // close ends the mapping.
    EXPECT_EQ(test::ReadAll(client.Get()), "B");
    client.Reset();
    ASSERT_TRUE(test::WaitFor([&] { return rig.EventCount() >= 7; }));
    EXPECT_EQ(rig.TakeEvents(),
              (std::vector<std::string>{"before", "connect", "outbound connect", "client A",
                                        "remote B", "outbound disconnect", "disconnect"}));
}

TEST(MappedPortTCP, OutboundDisconnectFiresOnlyWhenTheRemoteSideEnds) {
    TMappedRig rig;
    std::atomic<int> outboundEnds{0}, ends{0};
    rig.Server.OnOutboundDisconnect = [&](TIdContext&) { ++outboundEnds; };
    rig.Server.OnDisconnect = [&](TIdContext&) { ++ends; };
    const uint16_t port = rig.Start();
    linger hard{1, 0};
    // A client that resets ends the mapping from the client's side...
    // A byte through shows the relay running, past the outbound connect.
    auto relaying = [&](const TFd& AClient, const TFd& ARemote) {
        char byte = 'x';
        test::SendAll(AClient.Get(), "x");
        return recv(ARemote.Get(), &byte, 1, 0) == 1;
    };
    TFd client = test::Connect(port);
    TFd remote = test::AcceptWithin(rig.Target.Get());
    ASSERT_TRUE(relaying(client, remote));
    setsockopt(client.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    client.Reset();
    EXPECT_TRUE(test::PeerClosed(remote.Get()));
    ASSERT_TRUE(test::WaitFor([&] { return ends == 1; }));
    EXPECT_EQ(outboundEnds, 0);
    // ...a remote that resets ends it from the remote's side.
    client = test::Connect(port);
    remote = test::AcceptWithin(rig.Target.Get());
    ASSERT_TRUE(relaying(client, remote));
    setsockopt(remote.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    remote.Reset();
    EXPECT_TRUE(test::PeerClosed(client.Get()));
    ASSERT_TRUE(test::WaitFor([&] { return ends == 2; }));
    EXPECT_EQ(outboundEnds, 1);
}

TEST(MappedPortTCP, OnExecuteMayRewriteBlocksAndAnEmptiedBlockIsDropped) {
    TMappedRig rig;
    std::atomic<int> blocks{0};
    rig.Server.OnExecute = [&](TIdContext& AContext) {
        TIdBytes& block = static_cast<TIdMappedPortContext&>(AContext).FNetData;
        if (Text(block) == "drop")
            block.clear();
        for (uint8_t& c : block)
            c = static_cast<uint8_t>(std::toupper(c));
        ++blocks;
    };
    TFd client = test::Connect(rig.Start());
    TFd remote = test::AcceptWithin(rig.Target.Get());
    ASSERT_GE(remote.Get(), 0);
    for (const char* block : {"hello", "drop", "end"}) {
        const int before = blocks;
        test::SendAll(client.Get(), block);
        ASSERT_TRUE(test::WaitFor([&] { return blocks > before; }));
    }
    shutdown(client.Get(), SHUT_WR);
    EXPECT_EQ(test::ReadAll(remote.Get()), "HELLOEND");
}

TEST(MappedPortTCP, RemoteBurstReachesTheClientInBlocksOfAtMostBufferSize) {
    TMappedRig rig;
    std::mutex lock;
    std::vector<int64_t> reported;
    rig.Server.OnConnect = [&](TIdContext& AContext) {
        AContext.Connection()->OnWork = [&](TIdComponent&, TWorkMode AMode, int64_t ACount) {
            if (AMode != wmWrite)
                return;
            std::lock_guard<std::mutex> guard(lock);
            reported.push_back(ACount);
        };
    };
    rig.Server.OnOutboundConnect = [&](TIdContext& AContext) {
        // The burst is waiting whole before the first read, so reads are as
        // large as the buffer allows.
        auto& context = static_cast<TIdMappedPortContext&>(AContext);
        test::WaitFor(
            [&] { return Pending(context.OutboundClient()->IOHandler()->Binding()) >= 65536; });
    };
    TFd client = test::Connect(rig.Start());
    TFd remote = test::AcceptWithin(rig.Target.Get());
    ASSERT_GE(remote.Get(), 0);
    const std::string burst = test::Pattern(200000);
    auto sender = std::async(std::launch::async, [&] {
        test::SendAll(remote.Get(), burst);
        remote.Reset();
    });
    EXPECT_TRUE(test::ReadAll(client.Get()) == burst);
    sender.get();
    client.Reset();
    ASSERT_TRUE(test::WaitFor([&] { return rig.Server.Contexts.Count() == 0; }));
    std::lock_guard<std::mutex> guard(lock);
    int64_t total = 0;
    for (int64_t block : reported) {
        EXPECT_LE(block, 65536);
        total += block;
    }
    EXPECT_EQ(total, 200000);
    ASSERT_FALSE(reported.empty());
    EXPECT_EQ(*std::max_element(reported.begin(), reported.end()), 65536);
}

TEST(MappedPortTCP, DataSentDuringTheOutboundConnectIsForwardedOnceItIsUp) {
    TMappedRig rig;
    std::atomic<bool> clientSent{false};
    // OnConnect fires just before the outbound connect starts.
    rig.Server.OnConnect = [&](TIdContext&) { test::WaitFor([&] { return clientSent.load(); }); };
    TFd client = test::Connect(rig.Start());
    test::SendAll(client.Get(), "early bytes");
    clientSent = true;
    TFd remote = test::AcceptWithin(rig.Target.Get());
    ASSERT_GE(remote.Get(), 0);
    shutdown(client.Get(), SHUT_WR);
    EXPECT_EQ(test::ReadAll(remote.Get()), "early bytes");
}

TEST(MappedPortTCP, FailedOutboundConnectClosesTheClientWithBalancedEvents) {
    uint16_t closedPort;
    {
        TFd probe = test::Listener();
        closedPort = test::LocalPort(probe.Get());
    }
    TMappedRig rig(closedPort);
    rig.Server.OnConnect = [&](TIdContext&) { rig.Event("connect"); };
    rig.Server.OnOutboundConnect = [&](TIdContext&) { rig.Event("outbound connect"); };
    rig.Server.OnDisconnect = [&](TIdContext&) { rig.Event("disconnect"); };
    TFd client = test::Connect(rig.Start());
    test::SendAll(client.Get(), "lost");
    EXPECT_TRUE(test::PeerClosed(client.Get()));
    ASSERT_TRUE(test::WaitFor([&] { return rig.Server.Contexts.Count() == 0; }));
    EXPECT_EQ(rig.TakeEvents(), (std::vector<std::string>{"connect", "disconnect"}));
}

TEST(MappedPortTCP, TerminateAndDeactivationEndAConnectInProgressAtOnce) {
    test::TBlackhole blackhole;
    TMappedRig rig(blackhole.Port);
    std::atomic<int> connecting{0};
    rig.Server.OnConnect = [&](TIdContext&) { ++connecting; };
    const uint16_t port = rig.Start();

    TFd first = test::Connect(port);
    ASSERT_TRUE(test::WaitFor([&] { return connecting == 1; }));
    auto start = std::chrono::steady_clock::now();
    int terminated = 0;
    auto& contexts = rig.Server.Contexts.LockList();
    for (TIdContext* context : contexts)
        terminated += static_cast<TIdMappedPortContext*>(context)->Terminate() ? 1 : 0;
    rig.Server.Contexts.UnlockList();
    EXPECT_EQ(terminated, 1);
    EXPECT_TRUE(test::PeerClosed(first.Get(), 2000));
    EXPECT_TRUE(test::WaitFor([&] { return rig.Server.Contexts.Count() == 0; }, 2s));
    EXPECT_LT(test::MillisecondsSince(start), 1500);

    TFd second = test::Connect(port);
    ASSERT_TRUE(test::WaitFor([&] { return connecting == 2; }));
    start = std::chrono::steady_clock::now();
    rig.Server.SetActive(false);
    EXPECT_LT(test::MillisecondsSince(start), 1500);
    EXPECT_TRUE(test::PeerClosed(second.Get(), 2000));
}

} // namespace
} // namespace kestrune
