// The gateway's own forwarding endpoints: a connection is known by both of
// its ends (a local port may be shared by connections to other places), a
// datagram by its source, an "any" binding by every local address.
#include "net/OwnEndpoints.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

TEST(OwnEndpoints, ConnectionsByBothEndsDatagramsBySource) {
    auto outbound = TIdOwnEndpoints::AddConnection("127.0.0.1", 5000, "127.0.0.1", 9000);
    EXPECT_TRUE(TIdOwnEndpoints::MadeConnection("127.0.0.1", 5000, "127.0.0.1", 9000));
    // The same local port towards another listener is somebody else's.
    EXPECT_FALSE(TIdOwnEndpoints::MadeConnection("127.0.0.1", 5000, "127.0.0.1", 9001));
    EXPECT_FALSE(TIdOwnEndpoints::MadeConnection("127.0.0.1", 5001, "127.0.0.1", 9000));
    // A connect to "any" reaches the loopback.
    const auto toAny = TIdOwnEndpoints::AddConnection("127.0.0.1", 5002, "0.0.0.0", 9002);
    EXPECT_TRUE(TIdOwnEndpoints::MadeConnection("::ffff:127.0.0.1", 5002, "127.0.0.1", 9002));

    const auto datagrams = TIdOwnEndpoints::AddDatagram("0.0.0.0", 6000);
    EXPECT_TRUE(TIdOwnEndpoints::SentDatagram("127.0.0.7", 6000));
    EXPECT_FALSE(TIdOwnEndpoints::SentDatagram("192.0.2.1", 6000)); // not this machine's
    EXPECT_FALSE(TIdOwnEndpoints::SentDatagram("::1", 6000));       // another family
    EXPECT_FALSE(TIdOwnEndpoints::SentDatagram("127.0.0.1", 5000)); // a connection, not this

    // A registration lasts as long as its entry.
    outbound.reset();
    EXPECT_FALSE(TIdOwnEndpoints::MadeConnection("127.0.0.1", 5000, "127.0.0.1", 9000));
}

} // namespace
} // namespace kestrune
