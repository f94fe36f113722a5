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

    // Fills the chat board with messages of 60,000 bytes until its reply holds `bytes`;
    // returns the size of the reply. Each poster waits for the first byte of its answer, so
    // that its message has been taken before it goes.
    std::size_t BuildBoard(std::size_t bytes) {
        const std::string request = "GET /chat?" + std::string(60000, 'm') + " HTTP/1.1\r\n\r\n";
        std::size_t board = 0;
        for (int i = 0; i < 1000 && board < bytes; ++i) {
            TcpClient poster(tarvik.port);
            poster.Send(request);
            char first = 0;
            ::recv(PosterFd(poster), &first, 1, 0);
            poster.ResetNow();
            if (i % 20 == 19) board = tarvik.Fetch("/chat").size();
        }
        return tarvik.Fetch("/chat").size();
    }
    static int PosterFd(TcpClient& client) { return client.fd(); }

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

// Each reader holds the same reply, not a copy of it.
TEST_F(HostileClientTest, AHundredClientsThatNeverReadABigBoardShareOneReply) {
    const std::size_t board = BuildBoard(16u << 20);
    ASSERT_GT(board, 8u << 20);
    baselineKiB = RssKiB(tarvik.process.processId());
    std::vector<std::unique_ptr<TcpClient>> readers;
    for (int i = 0; i < 100; ++i) {
        readers.push_back(std::make_unique<TcpClient>(tarvik.port));
        readers.back()->Send("GET /chat HTTP/1.1\r\n\r\n");
    }
    CheckTurns();  // answered meanwhile, after every reader's request was taken
    const long grownKiB = RssKiB(tarvik.process.processId()) - baselineKiB;
    std::printf("board %zu KiB; 100 readers that never read added %ld KiB\n", board / 1024,
                grownKiB);
    if (kMeasureMemory) {
        EXPECT_LT(grownKiB, static_cast<long>(board / 1024) + 32 * 1024);
    }
}

// The peer's end of stream must not cut the reply short: it arrives whole, then the close.
TEST_F(HostileClientTest, AClientThatHalfClosesReceivesAReplyLargerThanTheSocketBuffers) {
    const std::size_t board = BuildBoard(12u << 20);
    ASSERT_GT(board, 8u << 20);
    TcpClient client(tarvik.port);
    client.Send("GET /chat HTTP/1.1\r\n\r\n");
    client.ShutdownWrite();
    // Only makes it likely that the server meets the end of stream while still writing.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    TcpClient::End end{};
    EXPECT_EQ(client.ReadAll(&end).size(), board);
    EXPECT_EQ(end, TcpClient::End::Closed);
}

// More at once than the cap of open connections: what has arrived is answered before
// anyone is evicted, and nobody is evicted for having been quick.
TEST_F(HostileClientTest, ABurstOfOneHundredFiftyRequestsIsAllAnswered) {
    std::vector<std::unique_ptr<TcpClient>> burst;
    for (int i = 0; i < 150; ++i) {
        burst.push_back(std::make_unique<TcpClient>(tarvik.port));
        burst.back()->Send("GET / HTTP/1.1\r\n\r\n");
    }
    int answered = 0;
    for (auto& client : burst) answered += client->ReadAll() == "page Index\r\n";
    EXPECT_EQ(answered, 150);
}

}  // namespace
}  // namespace tarvik

namespace tarvik {
namespace {

// Processor time of a process so far, in seconds.
double CpuSeconds(qint64 pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::stol(field);  // utime, stime
    }
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// With 64 descriptors a flood of connections must neither make the server spin on accept
// nor keep turns from being answered, and a position save must always find its descriptors.
TEST(ScarceDescriptorsTest, AFloodAtTheDescriptorLimitNeitherSpinsNorStopsTurnsNorSaves) {
    test::TarvikProcess tarvik;
    tarvik.wrapper = {"prlimit", "--nofile=64:64", "--"};
    ASSERT_TRUE(tarvik.Launch()) << tarvik.Stderr();
    const qint64 pid = tarvik.process.processId();
    std::vector<std::unique_ptr<TcpClient>> flood;
    for (int i = 0; i < 150; ++i) flood.push_back(std::make_unique<TcpClient>(tarvik.port));
    const double cpuBefore = CpuSeconds(pid);
    const auto wallBefore = std::chrono::steady_clock::now();
    EXPECT_EQ(tarvik.Fetch("/turn/right"), "page Right\r\n");
    EXPECT_TRUE(tarvik.WaitForFile("/Config/totalsteps.ini", "50\r\n"));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    const double share = (CpuSeconds(pid) - cpuBefore) / wall;
    std::printf("processor share during the flood: %.1f %%\n", 100 * share);
    EXPECT_LT(share, 0.5);  // generous: spinning on accept takes a whole core

    flood.clear();
    EXPECT_EQ(tarvik.Fetch("/turn/left"), "page Left\r\n");
    EXPECT_TRUE(tarvik.WaitForFile("/Config/totalsteps.ini", "0\r\n"));

    for (int i = 0; i < 150; ++i) flood.push_back(std::make_unique<TcpClient>(tarvik.port));
    EXPECT_EQ(tarvik.Fetch("/turn/right"), "page Right\r\n");
    EXPECT_TRUE(tarvik.WaitForFile("/Config/totalsteps.ini", "50\r\n"));
    EXPECT_EQ(tarvik.Stop(SIGTERM), 0) << tarvik.Stderr();  // 2: the save at exit failed
    EXPECT_EQ(tarvik.Stderr().find("not saved"), std::string::npos) << tarvik.Stderr();
}

}  // namespace
}  // namespace tarvik
