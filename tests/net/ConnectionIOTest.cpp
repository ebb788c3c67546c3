// Reads, writes, work reporting and closing of one TCP connection.
#include "NetTestUtil.h"
#include "WaitFor.h"

#include "net/Exception.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <future>
#include <thread>

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using test::MessageOf;
using test::TFd;

struct TConnectionPair {
    TConnectionPair() {
        auto [mine, theirs] = test::TcpPair();
        Connection = test::Wrap(std::move(mine));
        Peer = std::move(theirs);
    }
    TIdIOHandlerStack& IO() { return *Connection->IOHandler(); }
    std::unique_ptr<TIdTCPConnection> Connection;
    TFd Peer;
};

TEST(ConnectionIO, PeerThatSendsAndClosesStaysConnectedUntilTheBytesAreRead) {
    TConnectionPair pair;
    test::SendAll(pair.Peer.Get(), "hello");
    pair.Peer.Reset();
    ASSERT_TRUE(test::WaitFor([&] {
        pair.Connection->Connected();
        return pair.IO().ClosedGracefully();
    }));
    EXPECT_TRUE(pair.Connection->Connected());
    EXPECT_EQ(pair.IO().ReadString(3), "hel");
    EXPECT_TRUE(pair.Connection->Connected());
    EXPECT_EQ(pair.IO().ReadString(2), "lo");
    EXPECT_FALSE(pair.Connection->Connected());
    EXPECT_EQ(MessageOf<EIdConnClosedGracefully>([&] { pair.IO().ReadByte(); }),
              "Connection Closed Gracefully.");
    EXPECT_EQ(MessageOf<EIdConnClosedGracefully>([&] { pair.IO().Write(ToBytes("x")); }),
              "Connection Closed Gracefully.");
}

TEST(ConnectionIO, ExactReadRaisesWhenThePeerClosesTooEarly) {
    TConnectionPair pair;
    test::SendAll(pair.Peer.Get(), "abc");
    pair.Peer.Reset();
    TIdBytes bytes;
    EXPECT_EQ(MessageOf<EIdConnClosedGracefully>([&] { pair.IO().ReadBytes(bytes, 4); }),
              "Connection Closed Gracefully.");
    // The three bytes are still there for a shorter read.
    pair.IO().ReadBytes(bytes, 3);
    EXPECT_EQ(bytes, ToBytes("abc"));
}

TEST(ConnectionIO, PeerResetMakesConnectedFalseWithoutRaising) {
    TConnectionPair pair;
    linger hard{1, 0};
    setsockopt(pair.Peer.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    pair.Peer.Reset();
    bool connected = true;
    EXPECT_NO_THROW(
        EXPECT_TRUE(test::WaitFor([&] { return !(connected = pair.Connection->Connected()); })));
    EXPECT_FALSE(connected);
}

TEST(ConnectionIO, CheckForDataOnSourceWaitsItsTimeOrUntilBytesArrive) {
    TConnectionPair pair;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pair.IO().CheckForDataOnSource(25));
    const auto idle = test::MillisecondsSince(start);
    EXPECT_GE(idle, 24);
    EXPECT_LT(idle, 1000);

    start = std::chrono::steady_clock::now();
    auto waiting =
        std::async(std::launch::async, [&] { return pair.IO().CheckForDataOnSource(10000); });
    test::SendAll(pair.Peer.Get(), "x");
    EXPECT_TRUE(waiting.get());
    EXPECT_LT(test::MillisecondsSince(start), 2000);
    EXPECT_EQ(pair.IO().InputBuffer.Size(), 1u);
}

TEST(ConnectionIO, ReadLnTerminatorsAndLimits) {
    TConnectionPair pair;
    test::SendAll(pair.Peer.Get(), std::string("abc\r\0def\r\nghi\n", 14));
    // [a b c CR NUL] [d e f CR LF] [g h i LF]
    EXPECT_EQ(pair.IO().ReadLn(std::string(1, '\0')), "abc\r");
    EXPECT_EQ(pair.IO().ReadLn(), "def");
    EXPECT_EQ(pair.IO().ReadLn("\n"), "ghi");
    EXPECT_TRUE(pair.IO().InputBufferIsEmpty());

    // Nothing comes: the time-out gives an empty line, not a failure.
    EXPECT_EQ(pair.IO().ReadLn("\n", 30), "");

    pair.IO().MaxLineLength = 10;
    test::SendAll(pair.Peer.Get(), std::string(20, 'x'));
    EXPECT_EQ(MessageOf<EIdReadLnMaxLineLengthExceeded>([&] { pair.IO().ReadLn(); }),
              "Max line length exceeded.");
}

TEST(ConnectionIO, ReadTimeoutLimitsExactReads) {
    TConnectionPair pair;
    pair.IO().ReadTimeout = 50;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(MessageOf<EIdReadTimeout>([&] { pair.IO().ReadByte(); }), "Read timed out.");
    EXPECT_GE(test::MillisecondsSince(start), 45);
}

TEST(ConnectionIO, BlockWriteReportsRunningTotalsAndByteWriteReportsNothing) {
    TConnectionPair pair;
    std::vector<std::pair<TWorkMode, int64_t>> work;
    pair.Connection->OnWork = [&](TIdComponent&, TWorkMode AMode, int64_t ACount) {
        work.emplace_back(AMode, ACount);
    };
    auto reader =
        std::async(std::launch::async, [&] { return test::ReadAll(pair.Peer.Get(), 2000); });

    const TIdBytes block(65536, 7);
    pair.IO().Write(block.data(), block.size());
    ASSERT_EQ(work.size(), 2u);
    EXPECT_EQ(work[0], std::make_pair(wmWrite, int64_t{32768}));
    EXPECT_EQ(work[1], std::make_pair(wmWrite, int64_t{65536}));

    pair.IO().Write(ToBytes("tail"));
    EXPECT_EQ(work.size(), 2u);
    pair.Connection->Disconnect();
    EXPECT_EQ(reader.get().size(), 65536u + 4u);
}

TEST(ConnectionIO, CloseFromAnotherThreadEndsAReadAtOnce) {
    // An exact read checks for the close itself; a line read's wait reports a
    // closed handler as not connected and a socket closed under an open
    // handler as disconnected.
    struct TCase {
        bool LineRead;
        bool WholeHandler;
        const char* Message;
    };
    for (const TCase& item :
         {TCase{false, false, "Connection Closed Gracefully."}, TCase{true, false, "Disconnected."},
          TCase{true, true, "Not Connected"}}) {
        TConnectionPair pair;
        int disconnected = 0;
        pair.Connection->OnDisconnected = [&](TIdTCPConnection&) { ++disconnected; };
        std::string message;
        test::TBlockedThread reader([&] {
            try {
                if (item.LineRead)
                    pair.IO().ReadLn();
                else
                    pair.IO().ReadByte();
                message = "<read>";
            } catch (const EIdException& error) {
                message = error.what();
            }
        });
        const auto start = std::chrono::steady_clock::now();
        if (item.WholeHandler) {
            pair.Connection->Disconnect();
            pair.Connection->Disconnect();
        } else {
            pair.IO().Binding().CloseSocket();
        }
        ASSERT_TRUE(test::WaitFor([&] { return reader.Done(); }, 2s));
        reader.Join();
        EXPECT_LT(test::MillisecondsSince(start), 1000);
        EXPECT_EQ(message, item.Message);
        EXPECT_EQ(disconnected, item.WholeHandler ? 1 : 0);
        EXPECT_FALSE(pair.Connection->Connected());
        EXPECT_TRUE(test::PeerClosed(pair.Peer.Get()));
    }
}

TEST(ConnectionIO, StillConnectedJudgesWithoutReadingTheSocket) {
    TConnectionPair pair;
    EXPECT_TRUE(pair.Connection->StillConnected());

    test::SendAll(pair.Peer.Get(), "queued");
    ASSERT_TRUE(test::WaitFor([&] {
        pollfd pfd{pair.IO().Binding().Acquire(), POLLIN, 0};
        const bool ready = poll(&pfd, 1, 0) > 0;
        pair.IO().Binding().Release();
        return ready;
    }));
    pair.Peer.Reset();
    // Unread bytes wait in the socket: still open, and nothing was taken.
    EXPECT_TRUE(pair.Connection->StillConnected());
    EXPECT_EQ(pair.IO().InputBuffer.Size(), 0u);
    EXPECT_EQ(pair.IO().ReadString(6), "queued");
    EXPECT_TRUE(test::WaitFor([&] { return !pair.Connection->StillConnected(); }));

    TConnectionPair reset;
    linger hard{1, 0};
    setsockopt(reset.Peer.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    reset.Peer.Reset();
    EXPECT_TRUE(test::WaitFor([&] { return !reset.Connection->StillConnected(); }));

    TConnectionPair closed;
    closed.Connection->Disconnect();
    EXPECT_FALSE(closed.Connection->StillConnected());
}

} // namespace
} // namespace kestrune
