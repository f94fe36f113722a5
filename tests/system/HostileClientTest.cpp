// Hostile clients against the real binary, on loopback, each bounded in count and time.
// Before and after each, a turn right and back is answered and ends where it must.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <fstream>

#include "TarvikProcess.h"

namespace tarvik {
namespace {

using test::TcpClient;

// Resident memory (KiB) or processor time (clock ticks) of a process, from /proc.
long Proc(qint64 pid, const char* file, const std::string& key, int field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string word;
    long total = 0;
    for (int i = 1; in >> word; ++i) {
        if (!key.empty() && word == key) in >> total;
        if (key.empty() && (i == field || i == field + 1)) total += std::stol(word);
    }
    return total;
}

class HostileClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tarvik.Launch()) << tarvik.Stderr();
        CheckTurns();
    }
    void TearDown() override {
        CheckTurns();
        EXPECT_EQ(tarvik.Stop(SIGTERM), 0) << tarvik.Stderr();
    }
    void CheckTurns() {
        EXPECT_EQ(tarvik.Fetch("/turn/right"), "page Right\r\n");
        EXPECT_TRUE(tarvik.WaitForFile("/Config/totalsteps.ini", "50\r\n"));
        EXPECT_EQ(tarvik.Fetch("/turn/left"), "page Left\r\n");
        EXPECT_TRUE(tarvik.WaitForFile("/Config/totalsteps.ini", "0\r\n"));
    }
    // Posts messages of 60,000 bytes until the board's reply holds `bytes`; each poster
    // waits for the first byte of its answer, so that its message was taken.
    std::size_t BuildBoard(std::size_t bytes) {
        const std::string request = "GET /chat?" + std::string(60000, 'm') + " HTTP/1.1\r\n\r\n";
        for (int i = 0; i < 1000 && (i % 20 != 0 || tarvik.Fetch("/chat").size() < bytes); ++i) {
            TcpClient poster(tarvik.port);
            poster.Send(request);
            char first = 0;
            if (::recv(poster.fd(), &first, 1, 0) != 1) break;  // unanswered: the test fails
            poster.ResetNow();
        }
        return tarvik.Fetch("/chat").size();
    }
    test::TarvikProcess tarvik;
};

// Each reader holds the same reply, not a copy. (AddressSanitizer keeps freed memory in
// quarantine, so a sanitized build is not measured.)
TEST_F(HostileClientTest, AHundredClientsThatNeverReadABigBoardShareOneReply) {
    const std::size_t board = BuildBoard(16u << 20);
    ASSERT_GT(board, 8u << 20);
    const long before = Proc(tarvik.process.processId(), "status", "VmRSS:", 0);
    std::vector<std::unique_ptr<TcpClient>> readers;
    for (int i = 0; i < 100; ++i) {
        readers.push_back(std::make_unique<TcpClient>(tarvik.port));
        readers.back()->Send("GET /chat HTTP/1.1\r\n\r\n");
    }
    CheckTurns();  // answered meanwhile, after every reader's request was taken
    const long grown = Proc(tarvik.process.processId(), "status", "VmRSS:", 0) - before;
    std::printf("board %zu KiB; 100 readers that never read added %ld KiB\n", board / 1024, grown);
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(grown, static_cast<long>(board / 1024) + 32 * 1024);
#endif
}

// The peer's end of stream must not cut the reply short.
TEST_F(HostileClientTest, AClientThatHalfClosesReceivesAReplyLargerThanTheSocketBuffers) {
    const std::size_t board = BuildBoard(12u << 20);
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

// With 64 descriptors a flood of connections must neither make the server spin on accept
// nor keep turns from being answered, and a position save must always find its descriptors.
TEST(ScarceDescriptorsTest, AFloodAtTheDescriptorLimitNeitherSpinsNorStopsTurnsNorSaves) {
    test::TarvikProcess tarvik;
    tarvik.wrapper = {"prlimit", "--nofile=64:64", "--"};
    ASSERT_TRUE(tarvik.Launch()) << tarvik.Stderr();
    const qint64 pid = tarvik.process.processId();
    for (const char* side : {"right", "left", "right"}) {
        std::vector<std::unique_ptr<TcpClient>> flood;
        for (int i = 0; i < 150; ++i) flood.push_back(std::make_unique<TcpClient>(tarvik.port));
        const long ticks = Proc(pid, "stat", "", 14);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(tarvik.Fetch(std::string("/turn/") + side),
                  std::string("page ") + (*side == 'r' ? "Right" : "Left") + "\r\n");
        EXPECT_TRUE(
            tarvik.WaitForFile("/Config/totalsteps.ini", *side == 'r' ? "50\r\n" : "0\r\n"));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const double share =
            static_cast<double>(Proc(pid, "stat", "", 14) - ticks) /
            static_cast<double>(::sysconf(_SC_CLK_TCK)) /
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("processor share during the flood: %.1f %%\n", 100 * share);
        EXPECT_LT(share, 0.5);  // generous: spinning on accept takes a whole core
    }
    EXPECT_EQ(tarvik.Stop(SIGTERM), 0) << tarvik.Stderr();  // 2: the save at exit failed
}

}  // namespace
}  // namespace tarvik
