// Writes and their work reports on one TCP connection.
#include "NetTestUtil.h"
#include "WaitFor.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <future>

namespace kestrune {
namespace {

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

} // namespace
} // namespace kestrune
