// The server when the process runs out of descriptors: clients beyond the
// limit are refused at once (taken off the queue and closed), those already
// served go on, and serving resumes by itself when descriptors free up.
//
// The server runs in a child process with a low descriptor limit, so that the
// test process itself keeps all it needs.
#include "NetTestUtil.h"
#include "WaitFor.h"

#include "net/CustomTCPServer.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace kestrune {
namespace {

using test::TFd;

// Sends a line and reads its echo; false when the connection was closed or
// nothing came back within ATimeout milliseconds.
bool Echoes(int AFd, const std::string& ALine, int ATimeout = 3000) {
    test::SendAll(AFd, ALine + "\n");
    std::string got;
    while (got.size() < ALine.size() + 1) {
        pollfd pfd{AFd, POLLIN, 0};
        if (poll(&pfd, 1, ATimeout) <= 0)
            return false;
        char chunk[64];
        const ssize_t n = recv(AFd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        got.append(chunk, static_cast<size_t>(n));
    }
    return got == ALine + "\n";
}

// The child: an echo server on 127.0.0.1 with only AFree descriptors left
// under its limit. Writes its port to AReady, then 'O' to AReady when it
// runs short and 'A' when it serves again; serves until AControl ends.
[[noreturn]] void RunLimitedServer(int AReady, int AControl, int AFree) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(test::OpenDescriptorCount() + AFree);
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        _exit(3);
    int status = 0;
    try {
        TIdCustomTCPServer server;
        TIdSocketHandle& binding = server.Bindings.Add();
        binding.IP = "127.0.0.1";
        server.OnExecute = [](TIdContext& AContext) { test::EchoLines(AContext); };
        server.OnOutOfResources = [AReady](const std::string& AReason) {
            if (AReason == "no free descriptors") [[maybe_unused]]
                ssize_t n = write(AReady, "O", 1);
        };
        server.OnServingAgain = [AReady] { [[maybe_unused]] ssize_t n = write(AReady, "A", 1); };
        server.SetActive(true);
        const uint16_t port = server.Bindings[0].Port;
        if (write(AReady, &port, sizeof port) != sizeof port)
            _exit(4);
        char byte;
        while (read(AControl, &byte, 1) > 0) {
        }
        server.SetActive(false);
    } catch (...) {
        status = 5;
    }
    _exit(status);
}

TEST(ResourceLimits, OutOfDescriptorsRefusesNewClientsAndServesAgainWhenTheyClose) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer runtime opens descriptors of its own (a pipe to probe
    // memory when it checks an object's type) and reports false faults when
    // there are none left; the other builds run this test.
    GTEST_SKIP() << "needs descriptors that the sanitizer runtime takes";
#endif
    int ready[2];
    int control[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(control), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ready[0]);
        close(control[1]);
        RunLimitedServer(ready[1], control[0], 24);
    }
    close(ready[1]);
    close(control[0]);
    uint16_t port = 0;
    ASSERT_EQ(read(ready[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));

    // Far more clients than the child has descriptors for.
    std::vector<TFd> served;
    int refused = 0;
    for (int i = 0; i < 60; ++i) {
        TFd client = test::Connect(port);
        ASSERT_TRUE(client.Get() >= 0);
        if (Echoes(client.Get(), "hello " + std::to_string(i)))
            served.push_back(std::move(client));
        else if (test::PeerClosed(client.Get(), 0))
            ++refused;
        else
            ADD_FAILURE() << "client " << i << " was left waiting instead of being refused";
    }
    EXPECT_GE(served.size(), 10u);
    EXPECT_GE(refused, 30);

    // Those already served are untouched by the refusals.
    for (size_t i = 0; i < served.size(); ++i)
        EXPECT_TRUE(Echoes(served[i].Get(), "again " + std::to_string(i)));

    // Once they close, the listener serves new clients by itself.
    served.clear();
    EXPECT_TRUE(test::WaitFor([&] {
        TFd client = test::Connect(port);
        return Echoes(client.Get(), "back");
    }));
    // The server lets go of the closed clients' descriptors on their loops,
    // a moment after the first one frees: until then a newcomer may still
    // be refused. Soon ten at once must be served.
    EXPECT_TRUE(test::WaitFor([&] {
        std::vector<TFd> second;
        for (int i = 0; i < 10; ++i) {
            second.push_back(test::Connect(port));
            if (!Echoes(second.back().Get(), "second " + std::to_string(i)))
                return false;
        }
        return true;
    }));

    close(control[1]);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // Each shortage was told once at its start and once at its end.
    char marks[256];
    const ssize_t count = read(ready[0], marks, sizeof marks);
    close(ready[0]);
    const std::string episodes(marks, static_cast<size_t>(std::max<ssize_t>(count, 0)));
    ASSERT_GE(episodes.size(), 2u);
    for (size_t i = 0; i < episodes.size(); ++i)
        EXPECT_EQ(episodes[i], i % 2 == 0 ? 'O' : 'A') << episodes;
}

} // namespace
} // namespace kestrune
