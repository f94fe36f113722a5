// The server on real loopback TCP connections, in this process.
#include "WebServer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "TcpClient.h"
#include "WebFakes.h"

namespace tarvik {
namespace {

using test::TcpClient;
using test::WhileServing;

class WebServerTest : public ::testing::Test, protected test::WebRig {
  protected:
    void Start(ServerLimits limits = {}) {
        pages.index = "index";
        Load(test::Settings(-199, 199, 0, 1, 50));
        server.reset();
        server = std::make_unique<WebServer>(handler, budget, limits);
        QString error;
        ASSERT_TRUE(server->Listen("", 0, &error)) << error.toStdString();
        port = server->LocalPort();
    }
    std::string Fetch(const std::string& request, bool ipv6 = false) {
        return WhileServing([this, request, ipv6] {
            TcpClient client(port, ipv6);
            client.Send(request);
            return client.ReadAll();
        });
    }
    void TearDown() override {
        server.reset();
        EXPECT_EQ(::fcntl(0, F_GETFD), -1) << "the first listener's descriptor 0 is still open";
    }
    test::StdinClosed closed;  // the first server listens on descriptor 0
    DescriptorBudget budget;
    std::unique_ptr<WebServer> server;
    std::uint16_t port = 0;
};

// A request far larger than one arrival: the reply must arrive whole, not reset.
TEST_F(WebServerTest, UnreadRequestBytesDoNotDestroyTheReply) {
    Start();
    const auto [reply, end] = WhileServing([this] {
        TcpClient client(port);
        client.Send("GET / HTTP/1.1\r\n" + std::string(1 << 20, 'h'));
        TcpClient::End how{};
        std::string data = client.ReadAll(&how);
        return std::pair{data, how};
    });
    EXPECT_EQ(reply, "index\r\n");
    EXPECT_EQ(end, TcpClient::End::Closed);
}

// Accepted before sending anything, a connection waits in the event set: one that leaves
// without a request is let go at once, and a reply far larger than the socket buffers
// arrives whole.
TEST_F(WebServerTest, AConnectionThatIsAcceptedBeforeItSendsIsLetGoOrAnsweredWhole) {
    Start();
    {
        TcpClient leaving(port);
        ASSERT_TRUE(test::ServeUntil([this] { return server->OpenConnections() == 1; }));
    }
    EXPECT_TRUE(test::ServeUntil([this] { return server->OpenConnections() == 0; }));
    pages.index = std::string(16 << 20, 'x');
    TcpClient client(port);
    ASSERT_TRUE(test::ServeUntil([this] { return server->OpenConnections() == 1; }));
    const std::string reply = WhileServing([&] {
        client.Send("GET / HTTP/1.1\r\n\r\n");
        return client.ReadAll();
    });
    EXPECT_EQ(reply.size(), pages.index.size() + 2);
}

// After the reply to a whole request with nothing behind it the socket closes at once, the
// peer still open; after one whose end may still be on its way the server lingers until the
// peer closes, long before the linger would end, or until the linger ends.
TEST_F(WebServerTest, ASocketClosesAtOnceAfterAWholeRequestElseItLingers) {
    Start({.lingerMs = 60000});
    // A request that fills a read exactly, ending its header there, with more behind it.
    std::string filling = "GET / HTTP/1.1\r\nX: ";
    filling += std::string(64 * 1024 - filling.size() - 4, 'x') + "\r\n\r\nGET /";
    const std::pair<std::string, int> cases[] = {
        {"GET / HTTP/1.0\r\n\r\n", 0},
        {"GET / HTTP/1.0\n\n", 0},
        {"GET / HTTP/1.0\r\n", 1},                           // its header may go on
        {"GET / HTTP/1.1\r\nContent-Length: 2\r\n\r\n", 1},  // a body may follow
        {"GET / HTTP/1.1\r\n\r\nGET /x", 1},                 // more came after it
        {filling, 1},
    };
    for (const auto& [request, lingering] : cases) {
        {
            TcpClient stayingOpen(port);
            stayingOpen.Send(request);
            TcpClient::End end{};
            EXPECT_EQ(WhileServing([&] { return stayingOpen.ReadAll(&end); }), "index\r\n");
            EXPECT_EQ(end, TcpClient::End::Closed) << request;
            EXPECT_EQ(server->LingeringConnections(), lingering) << request;
            EXPECT_EQ(server->OpenConnections(), 0) << request;
        }
        EXPECT_TRUE(test::ServeUntil([this] { return server->LingeringConnections() == 0; }));
    }

    Start({.lingerMs = 1500});
    TcpClient stayingOpen(port);
    stayingOpen.Send("GET / HTTP/1.0\r\n");
    EXPECT_TRUE(test::ServeUntil([this] { return server->LingeringConnections() == 1; }));
    EXPECT_TRUE(test::ServeUntil([this] { return server->LingeringConnections() == 0; }));
    EXPECT_EQ(server->OpenConnections(), 0);
    EXPECT_EQ(WhileServing([&] { return stayingOpen.ReadAll(); }), "index\r\n");
}

TEST_F(WebServerTest, NonGetDataStaysOpenUntilTheIdleTimeCloses) {
    Start({.idleTimeoutMs = 300});
    const auto [data, end] = WhileServing([this] {
        TcpClient client(port);
        client.Send("POST / HTTP/1.1\r\n\r\n");
        TcpClient::End how{};
        std::string got = client.ReadAll(&how);
        return std::pair{got, how};
    });
    EXPECT_EQ(data, "");
    EXPECT_EQ(end, TcpClient::End::Closed);
    EXPECT_EQ(requestLog.Count(), 0u);
    EXPECT_TRUE(test::ServeUntil([this] { return server->OpenConnections() == 0; }));
}

// Past the grace of a fresh connection, a newcomer at the cap is answered and the
// connection silent longest is closed for it, before an older one that sent no request.
TEST_F(WebServerTest, AtTheCapTheLongestSilentConnectionMakesRoom) {
    Start({.maxConnections = 3});
    std::vector<std::unique_ptr<TcpClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<TcpClient>(port));
        if (i == 0) clients[0]->Send("POST / HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(test::ServeUntil([&] { return server->OpenConnections() == i + 1; }));
    }
    test::ServeUntil([] { return false; }, 150);
    EXPECT_EQ(Fetch("GET / HTTP/1.1\r\n\r\n"), "index\r\n");
    const auto end = WhileServing([&] {
        TcpClient::End how{};
        clients[1]->ReadAll(&how);
        return how;
    });
    EXPECT_EQ(end, TcpClient::End::Closed);
    EXPECT_EQ(server->OpenConnections(), 2);
    char byte = 0;
    EXPECT_EQ(::recv(clients[0]->fd(), &byte, 1, MSG_DONTWAIT), -1);  // still open
}

// A newcomer while everyone is within the grace is not turned away and evicts nobody yet: it
// waits in the kernel's queue until the grace is over, then the connection silent longest
// goes (not the older one that sent no request).
TEST_F(WebServerTest, ANewcomerWithinTheGraceWaitsInTheQueueThenTheLongestSilentGoes) {
    Start({.maxConnections = 2});
    std::vector<std::unique_ptr<TcpClient>> clients;
    for (int i = 0; i < 3; ++i) clients.push_back(std::make_unique<TcpClient>(port));
    clients[0]->Send("POST / HTTP/1.1\r\n\r\n");
    const auto end = WhileServing([&] {
        TcpClient::End how{};
        clients[1]->ReadAll(&how);
        return how;
    });
    EXPECT_EQ(end, TcpClient::End::Closed);
    EXPECT_TRUE(test::ServeUntil([this] { return server->OpenConnections() == 2; }));
    char byte = 0;
    EXPECT_EQ(::recv(clients[0]->fd(), &byte, 1, MSG_DONTWAIT), -1);  // still open
    EXPECT_EQ(Fetch("GET / HTTP/1.0\r\n\r\n"), "index\r\n");          // accepting goes on
}

// Out of descriptors because something else took them all: the pending connection is taken
// and closed at once instead of staying in the queue, where the listener would report it
// again and again.
TEST_F(WebServerTest, OutOfDescriptorsAPendingConnectionIsClosedNotLeftWaiting) {
    Start();
    TcpClient client(port);
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit scarce = saved;
    scarce.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 1024);
    ::setrlimit(RLIMIT_NOFILE, &scarce);
    std::vector<int> taken;
    for (int fd = 0; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
    const auto end = WhileServing([&] {
        TcpClient::End how{};
        client.ReadAll(&how);
        return how;
    });
    for (int fd : taken) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(end, TcpClient::End::Closed);
    EXPECT_EQ(Fetch("GET / HTTP/1.1\r\n\r\n"), "index\r\n");
}

double ThreadCpuMs() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// At the cap, a reader whose reply has stopped moving makes room once its stall grace is
// over; before, the newcomer waits in the kernel's queue while the server sleeps (a server
// that looked at the listener again and again would spend the whole second on it).
TEST_F(WebServerTest, AtTheCapAReaderThatStoppedReadingMakesRoom) {
    Start({.maxConnections = 1, .stallGraceMs = 1000});
    pages.index = std::string(32 << 20, 'x');
    TcpClient stalled(port);
    stalled.Send("GET / HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(test::ServeUntil([this] { return server->OpenConnections() == 1; }));
    pages.index = "index";  // what the newcomer gets: the stalled reply keeps its own
    const double cpuBefore = ThreadCpuMs();
    EXPECT_EQ(Fetch("GET / HTTP/1.1\r\n\r\n"), "index\r\n");
    EXPECT_LT(ThreadCpuMs() - cpuBefore, 400);
    const auto [got, end] = WhileServing([&] {
        TcpClient::End how{};
        std::string data = stalled.ReadAll(&how);
        return std::pair{data.size(), how};
    });
    EXPECT_LT(got, 32u << 20);  // cut short
}

// Between requests the server sleeps: answering forty costs the work of forty answers, not
// a look for more after each one.
TEST_F(WebServerTest, AnsweredRequestsLeaveNoPollingBehind) {
    Start();
    const double cpuBefore = ThreadCpuMs();
    for (int i = 0; i < 40; ++i) EXPECT_EQ(Fetch("GET / HTTP/1.1\r\n\r\n"), "index\r\n");
    EXPECT_LT(ThreadCpuMs() - cpuBefore, 100);
}

// Out of descriptors with the spare one gone, accepting pauses; once descriptors are there
// again the clock resumes it, without any connection ending to do so.
TEST_F(WebServerTest, APauseForWantOfDescriptorsEndsByTheClock) {
    const auto onDevNull = [] {
        std::set<int> fds;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code ignored;
            if (std::filesystem::read_symlink(fd.path(), ignored) == "/dev/null") {
                fds.insert(std::stoi(fd.path().filename().string()));
            }
        }
        return fds;
    };
    const std::set<int> before = onDevNull();
    Start();
    std::vector<int> opened;  // by the server: its spare
    std::ranges::set_difference(onDevNull(), before, std::back_inserter(opened));
    ASSERT_EQ(opened.size(), 1u);
    const int spare = opened.front();
    TcpClient client(port);
    client.Send("GET / HTTP/1.1\r\n\r\n");
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    std::vector<int> taken;
    for (int fd = 0; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 && fd < 4096;) {
        taken.push_back(fd);
    }
    // Every number below the spare's taken: giving the spare up frees nothing usable.
    rlimit scarce = saved;
    scarce.rlim_cur = static_cast<rlim_t>(spare);
    ::setrlimit(RLIMIT_NOFILE, &scarce);
    test::ServeUntil([] { return false; }, 300);  // EMFILE, no spare: paused
    ::setrlimit(RLIMIT_NOFILE, &saved);
    for (int fd : taken) ::close(fd);
    EXPECT_EQ(WhileServing([&] { return client.ReadAll(); }), "index\r\n");
}

}  // namespace
}  // namespace tarvik
