// The server on real loopback TCP connections, in this process.
#include "WebServer.h"

#include <gtest/gtest.h>

#include "Fakes.h"
#include "RequestHandler.h"
#include "TcpClient.h"
#include "WebFakes.h"

namespace tarvik {
namespace {

using test::TcpClient;
using test::WhileServing;

class WebServerTest : public ::testing::Test, protected test::MotorRig, protected test::WebRig {
  protected:
    WebServerTest() : WebRig(motor) {}

    void SetUp() override {
        pages.PageIndex = "index";
        pages.PageRight = "HTTP/1.0 200 OK\r\n\r\nright";
        motor.Load(test::Settings(-199, 199, 0, 1, 50));
    }

    void Start(WebServerLimits limits = {}) {
        server = std::make_unique<WebServer>(handler, limits);
        QString error;
        ASSERT_TRUE(server->Listen(0, &error)) << error.toStdString();
        port = server->LocalPort();
    }

    std::string Fetch(const std::string& request, bool ipv6 = false) {
        return WhileServing([this, request, ipv6] {
            TcpClient client(port, ipv6);
            client.Send(request);
            return client.ReadAll();
        });
    }

    std::unique_ptr<WebServer> server;
    std::uint16_t port = 0;
};

TEST_F(WebServerTest, EachConnectionGetsItsReplyAndIsClosedByTheServer) {
    Start();
    EXPECT_EQ(Fetch("GET /turn/right HTTP/1.1\r\nHost: x\r\n\r\n"),
              "HTTP/1.0 200 OK\r\n\r\nright\r\n");
    EXPECT_TRUE(timer.enabled);
    EXPECT_EQ(motor.MoveDirection, "r");
    EXPECT_EQ(Fetch("GET / HTTP/1.1\r\n\r\n"), "index\r\n");
    EXPECT_EQ(server->SocketCount, 2);
    EXPECT_EQ(server->ConnCount, 2);
    ASSERT_EQ(List1.Count(), 2u);
    EXPECT_EQ(List1.Line(1), "[14:03:22] 127.0.0.1 /turn/right");
}

TEST_F(WebServerTest, IPv6AndMappedIPv4PeersAreNamedPlainly) {
    Start();
    Fetch("GET /a HTTP/1.1\r\n\r\n", true);
    EXPECT_EQ(List1.Line(0), "[14:03:22] ::1 /a");
}

TEST_F(WebServerTest, AClientThatClosesItsSideAfterTheRequestStillGetsTheReply) {
    Start();
    const std::string reply = WhileServing([this] {
        TcpClient client(port);
        client.Send("GET / HTTP/1.0\r\n\r\n");
        client.ShutdownWrite();
        return client.ReadAll();
    });
    EXPECT_EQ(reply, "index\r\n");
}

TEST_F(WebServerTest, UnreadRequestBytesDoNotDestroyTheReply) {
    Start();
    // A request far larger than one arrival: the reply must arrive whole, not reset.
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

TEST_F(WebServerTest, NonGetDataGetsNoReplyAndTheConnectionStaysOpen) {
    Start();
    const auto end = WhileServing([this] {
        TcpClient client(port, false, 500);
        client.Send("POST / HTTP/1.1\r\n\r\n");
        TcpClient::End how{};
        client.ReadAll(&how);
        return how;
    });
    EXPECT_EQ(end, TcpClient::End::TimedOut);
    EXPECT_EQ(List1.Count(), 0u);
}

TEST_F(WebServerTest, ASilentConnectionIsClosedAfterTheIdleTime) {
    Start({.idleTimeoutMs = 200});
    const auto [data, end] = WhileServing([this] {
        TcpClient client(port);
        TcpClient::End how{};
        std::string got = client.ReadAll(&how);
        return std::pair{got, how};
    });
    EXPECT_EQ(data, "");
    EXPECT_NE(end, TcpClient::End::TimedOut);
    EXPECT_TRUE(test::ServeUntil([this] { return server->OpenConnections() == 0; }));
}

TEST_F(WebServerTest, AtTheCapTheLongestWaitingConnectionMakesRoom) {
    Start({.maxConnections = 3});
    std::vector<std::unique_ptr<TcpClient>> silent;
    for (int i = 0; i < 3; ++i) {
        silent.push_back(std::make_unique<TcpClient>(port));
        ASSERT_TRUE(test::ServeUntil([&] { return server->OpenConnections() == i + 1; }));
    }
    // Past the grace of a fresh connection, the fourth is accepted and answered; the first,
    // silent longest, is closed for it.
    test::ServeUntil([] { return false; }, 150);
    EXPECT_EQ(Fetch("GET / HTTP/1.1\r\n\r\n"), "index\r\n");
    const auto end = WhileServing([&] {
        TcpClient::End how{};
        silent[0]->ReadAll(&how);
        return how;
    });
    EXPECT_NE(end, TcpClient::End::TimedOut);
    EXPECT_EQ(server->OpenConnections(), 2);
    EXPECT_EQ(server->ConnCount, 4);
}

TEST_F(WebServerTest, ElementNumbersAreReusedSoTheServerNeverRunsOut) {
    Start();
    server->SocketCount = 32766;
    Fetch("GET /a HTTP/1.1\r\n\r\n");
    EXPECT_EQ(server->SocketCount, 32767);
    EXPECT_EQ(Fetch("GET /b HTTP/1.1\r\n\r\n"), "index\r\n");
    EXPECT_EQ(server->SocketCount, 1);
}

TEST_F(WebServerTest, TheHundredthRequestIsAnsweredLikeAnyOther) {
    Start();
    const int answered = WhileServing([this] {
        int count = 0;
        for (int i = 0; i < 150; ++i) {
            TcpClient client(port);
            client.Send("GET / HTTP/1.1\r\n\r\n");
            count += client.ReadAll() == "index\r\n";
        }
        return count;
    });
    EXPECT_EQ(answered, 150);
}

}  // namespace
}  // namespace tarvik
