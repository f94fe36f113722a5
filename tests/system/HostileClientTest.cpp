// Hostile clients against the real binary, on loopback, each bounded in count and time.
// During and after each: a normal turn is answered, the move ends where it must, memory
// stays bounded, and Tarvik is still running.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "TarvikProcess.h"

namespace tarvik {
namespace {

using test::TcpClient;

// Resident memory of a process in KiB, from /proc.
long RssKiB(qint64 pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

// Memory may grow by this much over the idle figure, whatever the clients do (the chat
// board's own content aside). AddressSanitizer holds freed memory back in quarantine, so a
// sanitized build is not measured.
constexpr long kRssGrowthBoundKiB = 48 * 1024;
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMeasureMemory = false;
#else
constexpr bool kMeasureMemory = true;
#endif

class HostileClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tarvik.Launch()) << tarvik.Stderr();
        CheckTurns();
        baselineKiB = RssKiB(tarvik.process.processId());
    }
    void TearDown() override {
        EXPECT_EQ(tarvik.process.state(), QProcess::Running) << tarvik.Stderr();
        const long rss = RssKiB(tarvik.process.processId());
        std::printf("resident memory: %ld KiB at start, %ld KiB after (bound +%ld KiB)\n",
                    baselineKiB, rss, kRssGrowthBoundKiB);
        if (kMeasureMemory) {
            EXPECT_LT(rss - baselineKiB, kRssGrowthBoundKiB);
        }
        EXPECT_EQ(tarvik.Stop(SIGTERM), 0);
    }

    // A turn right and back, each answered with its page and ending at the right position.
    void CheckTurns() {
        EXPECT_EQ(tarvik.Fetch("/turn/right"), "page Right\r\n");
        EXPECT_TRUE(tarvik.WaitForFile("/Config/totalsteps.ini", "50\r\n"));
        EXPECT_EQ(tarvik.Fetch("/turn/left"), "page Left\r\n");
        EXPECT_TRUE(tarvik.WaitForFile("/Config/totalsteps.ini", "0\r\n"));
    }

    test::TarvikProcess tarvik;
    long baselineKiB = 0;
};

TEST_F(HostileClientTest, FiveHundredConnectionsThatNeverSend) {
    std::vector<std::unique_ptr<TcpClient>> silent;
    for (int i = 0; i < 500; ++i) silent.push_back(std::make_unique<TcpClient>(tarvik.port));
    CheckTurns();
    silent.clear();
    CheckTurns();
}

TEST_F(HostileClientTest, ClientsSendingOneByteASecond) {
    std::vector<std::unique_ptr<TcpClient>> slow;
    for (int i = 0; i < 20; ++i) slow.push_back(std::make_unique<TcpClient>(tarvik.port));
    const std::string request = "GET /turn/left HTTP/1.1\r\n";
    for (std::size_t byte = 0; byte < 5; ++byte) {
        for (auto& client : slow) client->Send(request.substr(byte, 1));
        CheckTurns();
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

TEST_F(HostileClientTest, AFourMebibyteRequestWithoutALineBreak) {
    TcpClient client(tarvik.port);
    ASSERT_TRUE(client.Send("GET /" + std::string(4 << 20, 'A')));
    TcpClient::End end{};
    EXPECT_EQ(client.ReadAll(&end), "page Index\r\n");  // no space after the path
    EXPECT_EQ(end, TcpClient::End::Closed);
    CheckTurns();
}

TEST_F(HostileClientTest, RandomBinaryData) {
    std::mt19937 random(20261206);
    for (int i = 0; i < 200; ++i) {
        std::string noise(64 * 1024, '\0');
        for (char& c : noise) c = static_cast<char>(random());
        noise[0] = '\x01';  // never a GET: no reply is due
        TcpClient client(tarvik.port);
        client.Send(noise);
    }
    CheckTurns();
}

TEST_F(HostileClientTest, ConnectionsResetMidReply) {
    // A board of megabytes, so that each chat reply is still being sent when the reset comes.
    // (A request that reaches the server in two arrivals is no chat message: that is fine.)
    const std::string big(30000, 'x');
    for (int i = 0; i < 200; ++i) {
        TcpClient client(tarvik.port);
        client.Send("GET /chat?" + big + " HTTP/1.1\r\n\r\n");
    }
    ASSERT_GT(tarvik.Fetch("/chat").size(), 1u << 20);
    baselineKiB = RssKiB(tarvik.process.processId());
    for (int i = 0; i < 50; ++i) {
        TcpClient client(tarvik.port);
        client.Send("GET /chat HTTP/1.1\r\n\r\n");
        client.ResetNow();
    }
    CheckTurns();
}

TEST_F(HostileClientTest, TwentyThousandConnectAndCloseWithoutData) {
    for (int i = 0; i < 20000; ++i) TcpClient client(tarvik.port);
    CheckTurns();
}

}  // namespace
}  // namespace tarvik
