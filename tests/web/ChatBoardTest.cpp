#include "ChatBoard.h"

#include <gtest/gtest.h>

#include "WebFakes.h"

namespace tarvik {
namespace {

TEST(URLDecode, DecodesPlusAndPercentOrGivesNothing) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"hello+world", "hello world"},
        {"50%25", "50%"},
        {"a%2bb", "a+b"},
        {"%41%42", "AB"},
        {"bad%zz", ""},
        {"%", ""},
        {"abc%", ""},
        {"%4", "\x04"},
        {"%+1", ""},
        {"%e4%FF", "\xe4\xff"},
        {"%0a%Aa", "\n\xaa"},
        {"%00", std::string(1, '\0')},
    };
    for (const auto& [encoded, decoded] : cases) EXPECT_EQ(URLDecode(encoded), decoded) << encoded;
}

class ChatBoardTest : public ::testing::Test, protected test::WebRig {
  protected:
    std::string Chat(const std::string& path, const std::string& peer = "10.0.0.7") {
        return Request("GET " + path + " HTTP/1.1\r\n", peer);
    }
};

TEST_F(ChatBoardTest, MessagesAreStoredNewestFirstAndTheWholeBoardIsTheReply) {
    EXPECT_EQ(Chat("/chat"), "\r\n");
    EXPECT_EQ(Chat("/chat?hello+world"), "[14:03:22] 10.0.0.7 hello world\r\n\r\n");
    clock.time = "14:05:00";
    EXPECT_EQ(Chat("/chat?50%25", "::1"),
              "[14:05:00] ::1 50%\r\n[14:03:22] 10.0.0.7 hello world\r\n\r\n");
    for (const char* path : {"/chat", "/chat?", "/chat/"}) Chat(path);
    EXPECT_EQ(chatList.Count(), 2u);
    Chat("/chatroom");  // the sixth character is dropped whatever it is
    Chat("/chat?bad%zz");
    EXPECT_EQ(chatList.Line(1), "[14:05:00] 10.0.0.7 oom");
    EXPECT_EQ(chatList.Line(0), "[14:05:00] 10.0.0.7 ");
}

TEST_F(ChatBoardTest, ControlBytesCannotForgeLinesAndHighBytesStay) {
    const std::string reply = Chat("/chat?a%0D%0A[00:00:00]%201.2.3.4%20fake%09%7F%00z%E4\xf6");
    EXPECT_EQ(chatList.Line(0), "[14:03:22] 10.0.0.7 a  [00:00:00] 1.2.3.4 fake   z\xe4\xf6");
    EXPECT_EQ(reply, chatList.Line(0) + "\r\n\r\n");
}

// A post makes a new first chunk and drops the oldest line by a new last one: every other
// chunk stays shared with the replies already queued, whatever the board's size.
TEST_F(ChatBoardTest, TheBoardKeepsTheNewestThousandAndAPostChangesOnlyItsEnds) {
    const std::string message(1000, 'm');
    // Beyond a thousand by more than the oldest chunk's lines: that chunk goes whole.
    for (int i = 0; i < 1020; ++i) Chat("/chat?" + std::to_string(i) + message);
    EXPECT_EQ(chatList.Count(), 1000u);
    EXPECT_EQ(chatList.Line(0), "[14:03:22] 10.0.0.7 1019" + message);
    EXPECT_EQ(chatList.Line(999), "[14:03:22] 10.0.0.7 20" + message);
    std::string lines;
    for (std::size_t i = 0; i < chatList.Count(); ++i) lines += chatList.Line(i) + "\r\n";
    test::FakeConnection first;
    chat.ChatRequest("/chat", first);
    EXPECT_EQ(first.sent.front(), lines + "\r\n");
    ASSERT_GT(first.shared.size(), 10u);
    test::FakeConnection second;
    chat.ChatRequest("/chat?new", second);
    std::size_t kept = 0;
    for (const auto& chunk : second.shared) {
        kept += std::find(first.shared.begin(), first.shared.end(), chunk) != first.shared.end();
    }
    EXPECT_GE(kept, first.shared.size() - 2);
    EXPECT_EQ(second.sent.front().rfind("[14:03:22] 10.0.0.7 new\r\n[14:03:22] 10.0.0.7 1019", 0),
              0u);
}

}  // namespace
}  // namespace tarvik
