// The UDP listening server: datagram sizes, senders, bind failures,
// deactivation under traffic, SendTo and failures inside the handler.
#include "NetTestUtil.h"
#include "WaitFor.h"

#include "net/Exception.h"
#include "net/UDPServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using test::TFd;

struct TDatagram {
    std::string Data;
    std::string PeerIP;
    TIdPort PeerPort;
};

TFd UdpSocket(uint16_t APort = 0) {
    TFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr = test::Loopback(APort);
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        fd.Reset();
    return fd;
}

void SendDatagram(int AFd, uint16_t APort, const std::string& AData) {
    sockaddr_in addr = test::Loopback(APort);
    sendto(AFd, AData.data(), AData.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
}

struct TUDPFixture : ::testing::Test {
    TUDPFixture() {
        Server.Bindings.Add().IP = "127.0.0.1";
        Server.OnUDPRead = [this](const TIdBytes& AData, TIdSocketHandle& ABinding) {
            std::lock_guard<std::mutex> guard(Lock);
            Received.push_back(
                {std::string(AData.begin(), AData.end()), ABinding.PeerIP, ABinding.PeerPort});
        };
    }
    ~TUDPFixture() override { Server.SetActive(false); }
    uint16_t Port() { return Server.Bindings[0].Port; }
    size_t Count() {
        std::lock_guard<std::mutex> guard(Lock);
        return Received.size();
    }

    TIdUDPServer Server;
    std::mutex Lock;
    std::vector<TDatagram> Received;
};

TEST_F(TUDPFixture, DatagramSizesAndSendersArriveInOrder) {
    Server.BufferSize = 1000;
    Server.SetActive(true);
    ASSERT_TRUE(Server.Active());
    TFd first = UdpSocket();
    TFd second = UdpSocket();
    SendDatagram(first.Get(), Port(), std::string(1000, 'a'));
    SendDatagram(first.Get(), Port(), std::string(1001, 'b')); // dropped without any event
    SendDatagram(second.Get(), Port(), "");
    SendDatagram(first.Get(), Port(), "last");
    ASSERT_TRUE(test::WaitFor([&] { return Count() == 3; }));

    std::lock_guard<std::mutex> guard(Lock);
    EXPECT_EQ(Received[0].Data, std::string(1000, 'a'));
    EXPECT_EQ(Received[0].PeerPort, test::LocalPort(first.Get()));
    EXPECT_EQ(Received[1].Data, "");
    EXPECT_EQ(Received[1].PeerPort, test::LocalPort(second.Get()));
    EXPECT_EQ(Received[1].PeerIP, "127.0.0.1");
    EXPECT_EQ(Received[2].Data, "last");
    EXPECT_EQ(Received[2].PeerPort, test::LocalPort(first.Get()));
}

TEST_F(TUDPFixture, BindConflictThenRecovery) {
    TFd holder = UdpSocket();
    Server.Bindings[0].Port = test::LocalPort(holder.Get());
    try {
        Server.SetActive(true);
        FAIL() << "bound a port in use";
    } catch (const EIdCouldNotBindSocket& error) {
        EXPECT_STREQ(error.what(), "Could not bind socket.");
    }
    EXPECT_FALSE(Server.Active());
    EXPECT_EQ(Server.Bindings.Count(), 1);

    holder.Reset();
    Server.SetActive(true);
    EXPECT_TRUE(Server.Active());
    TFd sender = UdpSocket();
    SendDatagram(sender.Get(), Port(), "after");
    EXPECT_TRUE(test::WaitFor([&] { return Count() == 1; }));
}

TEST_F(TUDPFixture, DeactivationUnderTrafficIsPromptAndQuiet) {
    Server.SetActive(true);
    const uint16_t port = Port();
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        TFd fd = UdpSocket();
        const auto end = std::chrono::steady_clock::now() + 3s;
        for (int i = 0; i < 200000 && !stop && std::chrono::steady_clock::now() < end; ++i)
            SendDatagram(fd.Get(), port, "flood");
    });
    ASSERT_TRUE(test::WaitFor([&] { return Count() > 100; }));
    const auto start = std::chrono::steady_clock::now();
    Server.SetActive(false);
    EXPECT_LT(test::MillisecondsSince(start), 1000);
    EXPECT_FALSE(Server.Active());
    const size_t atStop = Count();
    // The sender keeps going for a while; nothing more may be delivered.
    TFd late = UdpSocket();
    for (int i = 0; i < 100; ++i)
        SendDatagram(late.Get(), port, "late");
    stop = true;
    sender.join();
    EXPECT_EQ(Count(), atStop);
}

TEST_F(TUDPFixture, SendToLeavesFromTheBindingAndReportsItsFailures) {
    std::mutex failuresLock;
    std::vector<std::string> failures;
    Server.OnUDPRead = [&](const TIdBytes& AData, TIdSocketHandle& ABinding) {
        const std::string text(AData.begin(), AData.end());
        if (text == "big")
            ABinding.SendTo(ABinding.PeerIP, ABinding.PeerPort, TIdBytes(70000, 1));
        else if (text == "family")
            ABinding.SendTo(ABinding.PeerIP, ABinding.PeerPort, AData,
                            static_cast<TIdIPVersion>(5));
        else
            ABinding.SendTo(ABinding.PeerIP, ABinding.PeerPort, ToBytes("echo:" + text));
    };
    Server.OnUDPException = [&](TIdSocketHandle&, const std::string& AMessage,
                                const std::string& AClass) {
        std::lock_guard<std::mutex> guard(failuresLock);
        failures.push_back(AClass + ": " + AMessage);
    };
    Server.SetActive(true);
    TFd client = UdpSocket();
    SendDatagram(client.Get(), Port(), "big");
    SendDatagram(client.Get(), Port(), "family");
    SendDatagram(client.Get(), Port(), "hello");

    // The thread went on after both failures and answered from its own port.
    char answer[64];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    pollfd pfd{client.Get(), POLLIN, 0};
    ASSERT_GT(poll(&pfd, 1, 5000), 0);
    const ssize_t got = recvfrom(client.Get(), answer, sizeof answer, 0,
                                 reinterpret_cast<sockaddr*>(&from), &length);
    EXPECT_EQ(std::string(answer, static_cast<size_t>(std::max<ssize_t>(got, 0))), "echo:hello");
    EXPECT_EQ(ntohs(from.sin_port), Port());

    std::lock_guard<std::mutex> guard(failuresLock);
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0], "EIdPackageSizeTooBig: Package Size Too Big.");
    EXPECT_EQ(failures[1], "EIdIPVersionUnsupported: The requested IPVersion / Address family is "
                           "not supported.");
}

} // namespace
} // namespace kestrune
