#include "ChatBoard.h"

#include <gtest/gtest.h>

#include "WebFakes.h"

namespace tarvik {
namespace {

struct DecodeCase {
    std::string encoded;
    std::string decoded;
};

class URLDecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(URLDecodeTest, Decodes) {
    EXPECT_EQ(URLDecode(GetParam().encoded), GetParam().decoded);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, URLDecodeTest,
    ::testing::Values(DecodeCase{"", ""}, DecodeCase{"hello+world", "hello world"},
                      DecodeCase{"50%25", "50%"}, DecodeCase{"a%2Bb", "a+b"},
                      DecodeCase{"a%2bb", "a+b"}, DecodeCase{"%41%42", "AB"}, DecodeCase{"%zz", ""},
                      DecodeCase{"bad%zz", ""}, DecodeCase{"%", ""}, DecodeCase{"abc%", ""},
                      DecodeCase{"%4", "\x04"},  // one digit at the end
                      DecodeCase{"%+1", ""},     // "+" after "%" is taken as it is
                      DecodeCase{"%e4%FF%80", "\xe4\xff\x80"}, DecodeCase{"\xe4\xff", "\xe4\xff"},
                      DecodeCase{"%00", std::string(1, '\0')}));

class ChatBoardTest : public ::testing::Test {
  protected:
    std::string Chat(const std::string& path, const std::string& peer = "10.0.0.7") {
        test::FakeConnection connection(peer);
        board.ChatRequest(path, connection);
        EXPECT_EQ(connection.sent.size(), 1u);
        return connection.sent.empty() ? "" : connection.sent[0];
    }
    test::FakeClock clock;
    LineList MsgList;
    ChatBoard board{MsgList, clock};
};

TEST_F(ChatBoardTest, AnEmptyBoardRepliesWithCrLfOnly) {
    EXPECT_EQ(Chat("/chat"), "\r\n");
}

TEST_F(ChatBoardTest, MessagesAreStoredNewestFirstAndAllReturned) {
    EXPECT_EQ(Chat("/chat?hello+world"), "[14:03:22] 10.0.0.7 hello world\r\n\r\n");
    clock.time = "14:05:00";
    EXPECT_EQ(Chat("/chat?50%25", "::1"),
              "[14:05:00] ::1 50%\r\n[14:03:22] 10.0.0.7 hello world\r\n\r\n");
}

TEST_F(ChatBoardTest, TheSixthCharacterIsDroppedWhateverItIs) {
    Chat("/chatroom");
    Chat("/chat/x");
    EXPECT_EQ(MsgList.Line(1), "[14:03:22] 10.0.0.7 oom");
    EXPECT_EQ(MsgList.Line(0), "[14:03:22] 10.0.0.7 x");
}

TEST_F(ChatBoardTest, ShortPathsAddNothing) {
    for (const char* path : {"/chat", "/chat?", "/chat/"}) Chat(path);
    EXPECT_EQ(MsgList.Count(), 0u);
}

TEST_F(ChatBoardTest, AnUndecodableMessageLeavesAnEmptyMessagePart) {
    Chat("/chat?bad%zz");
    ASSERT_EQ(MsgList.Count(), 1u);
    EXPECT_EQ(MsgList.Line(0), "[14:03:22] 10.0.0.7 ");
}

TEST_F(ChatBoardTest, ControlBytesCannotForgeLines) {
    const std::string reply = Chat("/chat?a%0D%0A[00:00:00]%201.2.3.4%20fake%09%7F%00z");
    EXPECT_EQ(MsgList.Line(0), "[14:03:22] 10.0.0.7 a  [00:00:00] 1.2.3.4 fake   z");
    EXPECT_EQ(reply, MsgList.Line(0) + "\r\n\r\n");
}

TEST_F(ChatBoardTest, HighBytesAreKeptUnchanged) {
    Chat("/chat?%E4%FC\xf6");
    EXPECT_EQ(MsgList.Line(0), "[14:03:22] 10.0.0.7 \xe4\xfc\xf6");
}

TEST_F(ChatBoardTest, TheBoardKeepsTheNewestThousand) {
    for (int i = 0; i < 1000; ++i) Chat("/chat?" + std::to_string(i));
    const std::string reply = Chat("/chat?new");
    EXPECT_EQ(MsgList.Count(), 1000u);
    EXPECT_EQ(MsgList.Line(0), "[14:03:22] 10.0.0.7 new");
    EXPECT_EQ(MsgList.Line(999), "[14:03:22] 10.0.0.7 1");
    const std::string last = "[14:03:22] 10.0.0.7 1\r\n\r\n";
    EXPECT_EQ(reply.rfind(last), reply.size() - last.size());
    EXPECT_EQ(reply.rfind("[14:03:22] 10.0.0.7 new\r\n", 0), 0u);
}

}  // namespace
}  // namespace tarvik
