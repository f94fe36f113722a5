// Hostile clients against the real binary, on loopback, each bounded in count and time.
// Before and after each, a turn right and back is answered and ends where it must.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "TarvikProcess.h"

namespace tarvik {
namespace {

using test::TcpClient;

// Resident memory of a process in KiB, from /proc.
long ResidentKiB(qint64 pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    long kib = 0;
    for (std::string word; in >> word;) {
        if (word == "VmRSS:") in >> kib;
    }
    return kib;
}

// Whether one of the process's epoll sets watches a descriptor for writing only: a reply is
// still to be written, and reading is over (the peer's end of stream has been met).
bool WatchesOnlyForWriting(qint64 pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::error_code ignored;
    for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd", ignored)) {
        if (std::filesystem::read_symlink(fd.path(), ignored) != "anon_inode:[eventpoll]") continue;
        std::ifstream info(proc + "/fdinfo/" + fd.path().filename().string());
        for (std::string word; info >> word;) {
            if (word != "events:") continue;
            unsigned events = 0;
            info >> std::hex >> events >> std::dec;
            if ((events & EPOLLOUT) != 0 && (events & EPOLLIN) == 0) return true;
        }
    }
    return false;
}

// Connections that wait in the kernel's queue of the listener on `port`, not yet accepted.
std::size_t WaitingToBeAccepted(std::uint16_t port) {
    std::size_t waiting = 0;
    test::TarvikProcess::ForEachListener([&](std::uint16_t at, const std::string&, std::size_t n) {
        if (at == port) waiting = n;
        return at == port;
    });
    return waiting;
}

// Whether the process's main thread sleeps in its event loop's wait for descriptors. A
// thread that spins is never seen there: its wait returns at once, without sleeping.
bool SleepsInTheEventLoop(qint64 pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    std::string call;
    in >> call;  // the number of the call it sleeps in, or "running"
#ifdef SYS_poll
    if (call == std::to_string(SYS_poll)) return true;
#endif
    return call == std::to_string(SYS_ppoll);
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

// Clients that post to a big board and never read keep only what changed since their reply,
// not a board each, and turns are answered meanwhile. (AddressSanitizer keeps freed memory in
// quarantine, so a sanitized build is not measured for memory. The processor time such posts
// cost is a figure of scripts/bench.sh.)
TEST_F(HostileClientTest, ClientsThatPostToABigBoardAndNeverReadCostLittleMemory) {
    const std::size_t board = BuildBoard(20u << 20);
    ASSERT_GT(board, 16u << 20);
    const qint64 pid = tarvik.process.processId();
    const long before = ResidentKiB(pid);
    std::vector<std::unique_ptr<TcpClient>> posters;
    for (int i = 0; i < 60; ++i) {
        posters.push_back(std::make_unique<TcpClient>(tarvik.port));
        posters.back()->Send("GET /chat?never+reads+" + std::to_string(i) + " HTTP/1.1\r\n\r\n");
        char first = 0;
        ASSERT_EQ(::recv(posters.back()->fd(), &first, 1, 0), 1);  // the post was taken
    }
    CheckTurns();  // answered meanwhile
    const long grown = ResidentKiB(pid) - before;
    std::printf("board %zu KiB; 60 posters that never read added %ld KiB\n", board / 1024, grown);
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(grown, 2 * static_cast<long>(board / 1024) + 32 * 1024);
#endif
}

// The peer's end of stream must not cut the reply short.
TEST_F(HostileClientTest, AClientThatHalfClosesReceivesAReplyLargerThanTheSocketBuffers) {
    const std::size_t board = BuildBoard(12u << 20);
    TcpClient client(tarvik.port);
    client.Send("GET /chat HTTP/1.1\r\n\r\n");
    client.ShutdownWrite();
    // Nothing is read until the server has met the end of stream while still writing.
    EXPECT_TRUE(tarvik.WaitFor([&] { return WatchesOnlyForWriting(tarvik.process.processId()); }));
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

// With 64 descriptors, floods of connections that send nothing and of posters that never
// read their board must neither make the server spin on accept nor keep turns from being
// answered, and the descriptors a save needs must stay free: the server never takes more
// sockets than its budget, however long the flood lasts.
TEST(ScarceDescriptorsTest, FloodsAtTheDescriptorLimitNeitherSpinNorStopTurnsNorSaves) {
    test::TarvikProcess tarvik;
    tarvik.dir.WriteConfig({{"/Config/BigStep.ini", "3000"}, {"/Config/MinStep.ini", "-32000"}});
    tarvik.wrapper = {"prlimit", "--nofile=64:64", "--"};
    ASSERT_TRUE(tarvik.Launch()) << tarvik.Stderr();
    const std::string post = "GET /chat?" + std::string(60000, 'm') + " HTTP/1.1\r\n\r\n";
    for (int i = 0; i < 70; ++i) {  // a board of 4.2 MB, which no socket buffer holds
        TcpClient poster(tarvik.port);
        poster.Send(post);
        char first = 0;
        ASSERT_EQ(::recv(poster.fd(), &first, 1, 0), 1);
        poster.ResetNow();
    }
    const qint64 pid = tarvik.process.processId();
    for (const auto& [side, saved] : {std::pair{"left", "-3000"}, {"right", "0"}}) {
        EXPECT_EQ(tarvik.Fetch(std::string("/turn/") + side).rfind("page ", 0), 0u);
        std::vector<std::unique_ptr<TcpClient>> flood;
        for (int i = 0; i < 100; ++i) {
            flood.push_back(std::make_unique<TcpClient>(tarvik.port));
            if (i % 2 == 0) flood.back()->Send("GET /chat?x HTTP/1.1\r\n\r\n");  // never read
        }
        // Seen asleep while connections it cannot take yet wait: it does not spin on accept.
        // (Asleep first, then still waiting: no connection arrives in between.)
        EXPECT_TRUE(tarvik.WaitFor(
            [&] { return SleepsInTheEventLoop(pid) && WaitingToBeAccepted(tarvik.port) > 0; }));
        EXPECT_TRUE(tarvik.WaitForFile("/Config/totalsteps.ini", std::string(saved) + "\r\n"))
            << tarvik.Stderr();
    }
    EXPECT_EQ(tarvik.Stop(SIGTERM), 0) << tarvik.Stderr();  // 2: a save at exit failed
}

// With 64 descriptors, 120 connections that trickle a byte every 200 ms to one server keep
// neither server from answering: the descriptors are shared, so the connection that can best
// be spared makes room, whichever server holds it. A reader that takes a long reply slowly
// but steadily, the oldest connection of all, is never the one.
TEST(ScarceDescriptorsTest, TricklersOnOneServerStarveNeitherServer) {
    const std::uint16_t onvifPort = test::FreeTcpPort();
    const std::string body =
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body>"
        "<GetSystemDateAndTime xmlns=\"http://www.onvif.org/ver10/device/wsdl\"/></s:Body>"
        "</s:Envelope>";
    const std::string onvifRequest =
        "POST /onvif/device_service HTTP/1.1\r\nConnection: close\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    for (const bool onvifTrickled : {true, false}) {
        test::TarvikProcess tarvik;
        tarvik.dir.WriteConfig(
            {{"/Config/Onvif.ini", "port = " + std::to_string(onvifPort) + "\ndiscovery = off\n"}});
        tarvik.wrapper = {"prlimit", "--nofile=64:64", "--"};
        tarvik.onvifPort = onvifPort;
        ASSERT_TRUE(tarvik.Launch()) << tarvik.Stderr();
        // A board of 2.4 MB. A post the server spares to make room for another is posted again.
        const std::string post = "GET /chat?" + std::string(60000, 'm') + " HTTP/1.1\r\n\r\n";
        for (int i = 0; i < 200; ++i) {
            TcpClient poster(tarvik.port);
            poster.Send(post);
            if (poster.ReadAll().size() > 40u * 60000u) break;
        }
        TcpClient reader(tarvik.port);
        reader.Send("GET /chat?r HTTP/1.1\r\n\r\n");
        std::size_t read = 0;
        TcpClient::End readEnd = TcpClient::End::TimedOut;
        std::thread slowReader([&] {
            char buffer[32768];
            ssize_t got = 0;
            while ((got = ::recv(reader.fd(), buffer, sizeof buffer, 0)) > 0) {
                read += static_cast<std::size_t>(got);
                // The pause is the client under test: slow, but steady.
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            readEnd = got == 0 ? TcpClient::End::Closed : TcpClient::End::Reset;
        });
        const std::uint16_t trickled = onvifTrickled ? onvifPort : tarvik.port;
        std::atomic<bool> done{false};
        std::atomic<int> rounds{0};
        std::thread trickle([&] {
            std::vector<std::unique_ptr<TcpClient>> clients;
            for (int i = 0; i < 120; ++i) clients.push_back(std::make_unique<TcpClient>(trickled));
            while (!done) {
                for (auto& client : clients)
                    ::send(client->fd(), "P", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                ++rounds;
                // The pause is the client under test: a byte every 200 ms.
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        });
        // Until the tricklers hold what they can: every one of them has been taken or evicted.
        ASSERT_TRUE(tarvik.WaitFor([&] { return rounds >= 5; }));
        int answered = 0;
        for (int i = 0; i < 10; ++i) {
            if (onvifTrickled) {
                answered += tarvik.Fetch("/").rfind("page ", 0) == 0;
            } else {
                TcpClient client(onvifPort);
                client.Send(onvifRequest);
                answered += client.ReadAll().rfind("HTTP/1.1 200 ", 0) == 0;
            }
        }
        slowReader.join();
        done = true;
        trickle.join();
        EXPECT_EQ(answered, 10) << (onvifTrickled ? "turns" : "ONVIF") << tarvik.Stderr();
        EXPECT_EQ(readEnd, TcpClient::End::Closed);
        EXPECT_GT(read, 40u * 60000u) << "the slow reader got the whole board";
        EXPECT_EQ(tarvik.Stop(SIGTERM), 0) << tarvik.Stderr();
    }
}

// A request log that nobody reads (a pipe whose reader is away, a paused terminal) never
// stops the server: lines that do not fit are dropped and counted, and said once the log
// drains. What a client sends reaches the log with its control bytes escaped.
TEST(RequestLogTest, ALogNobodyReadsStopsNothingAndControlBytesAreEscaped) {
    test::TarvikProcess tarvik;
    const std::string fifo = tarvik.dir.path() + "/log";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    tarvik.wrapper = {"sh", "-c", "exec \"$0\" --log-requests >\"$1\"",
                      QString::fromStdString(tarvik.dir.path() + "/tarvik"),
                      QString::fromStdString(fifo)};
    ASSERT_TRUE(tarvik.Launch()) << tarvik.Stderr();
    // 1 MB of log lines: more than a pipe and the log's own buffer hold.
    const std::string path(1000, 'p');
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(tarvik.Fetch("/" + path), "page Index\r\n");
    std::string log;
    const auto drain = [&] {
        char buffer[65536];
        for (ssize_t got; (got = ::read(reader, buffer, sizeof buffer)) > 0;)
            log.append(buffer, got);
    };
    drain();
    TcpClient forger(tarvik.port);
    forger.Send("GET /x\n[09:15:02]\t192.168.1.20\t/turn/left\x1b[2J HTTP/1.0\r\n\r\n");
    forger.ReadAll();
    EXPECT_TRUE(tarvik.WaitFor([&] {
        drain();
        return log.find("/x\\n[09:15:02]\\t192.168.1.20\\t/turn/left\\x1B[2J\n") !=
               std::string::npos;
    })) << log.substr(log.size() > 2000 ? log.size() - 2000 : 0);
    EXPECT_NE(log.find(" request log lines were dropped while standard output was not read\n"),
              std::string::npos);
    EXPECT_EQ(tarvik.Stop(SIGTERM), 0);
    ::close(reader);
}

}  // namespace
}  // namespace tarvik
