#include "RequestHandler.h"

#include <gtest/gtest.h>

#include "Fakes.h"
#include "WebFakes.h"

namespace tarvik {
namespace {

struct PathCase {
    const char* data;
    const char* path;
};

class RequestPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(RequestPathTest, TakesTheTextBetweenGetAndTheNextSpace) {
    EXPECT_EQ(RequestPathOf(GetParam().data), GetParam().path) << GetParam().data;
}

INSTANTIATE_TEST_SUITE_P(
    RequestLines, RequestPathTest,
    ::testing::Values(PathCase{"GET /turn/left HTTP/1.1\r\nHost: x\r\n\r\n", "/turn/left"},
                      PathCase{"GET /turn/left?x=1 HTTP/1.1\r\n", "/turn/left?x=1"},
                      PathCase{"GET / HTTP/1.0\r\n", "/"}, PathCase{"GET /a b", "/a"},
                      PathCase{"GET /turn/left\r\n", ""},  // no space after the path
                      PathCase{"GET /turn/left", ""}, PathCase{"GET ", ""}, PathCase{"GET", ""},
                      PathCase{"GET  /x HTTP/1.1", " /x"},  // the first space at or after g + 5
                      PathCase{"GET /one HTTP/1.1\r\nGET /two HTTP/1.1\r\n", "/one"},
                      // "GET " not at the start: it is searched for anywhere.
                      PathCase{"GETX GET /turn/right HTTP/1.1", "/turn/right"},
                      // No "GET " at all: the path is read from the fourth character on.
                      PathCase{"GETx /a b", "x"}, PathCase{"GET\t/a b", "\t/a"}));

class RequestHandlerTest : public ::testing::Test,
                           protected test::MotorRig,
                           protected test::WebRig {
  protected:
    RequestHandlerTest() : WebRig(motor) {}

    void SetUp() override {
        pages = {"L", "R", "ML", "MR", "I", "RS", "NR"};
        motor.Load(test::Settings(-99, 99, 0));
    }

    std::vector<std::string> Request(const std::string& data) {
        test::FakeConnection connection;
        handler.DataArrival(connection, data);
        return connection.sent;
    }
    static std::string Get(const std::string& path) { return "GET " + path + " HTTP/1.1\r\n\r\n"; }
};

using Replies = std::vector<std::string>;

TEST_F(RequestHandlerTest, TurnLeftRepliesAndStartsABigMove) {
    EXPECT_EQ(Request(Get("/turn/left")), Replies{"L\r\n"});
    EXPECT_TRUE(timer.enabled);
    EXPECT_EQ(motor.StepsToGo, 10);
    EXPECT_EQ(motor.MoveDirection, "l");
    ASSERT_EQ(List1.Count(), 1u);
    EXPECT_EQ(List1.Line(0), "[14:03:22] 10.0.0.7 /turn/left");
}

TEST_F(RequestHandlerTest, TurnRightRepliesAndStartsABigMove) {
    EXPECT_EQ(Request(Get("/turn/right")), Replies{"R\r\n"});
    EXPECT_EQ(motor.MoveDirection, "r");
}

TEST_F(RequestHandlerTest, AtTheEndsTheLimitPagesAnswerAndNothingMoves) {
    motor.TotalSteps = -100;  // LowerStep - 1
    EXPECT_EQ(Request(Get("/turn/left")), Replies{"ML\r\n"});
    EXPECT_FALSE(timer.enabled);
    EXPECT_EQ(Request(Get("/turn/right")), Replies{"R\r\n"});  // the other way is free
    timer.enabled = false;
    motor.TotalSteps = 100;  // UpperStep + 1
    EXPECT_EQ(Request(Get("/turn/right")), Replies{"MR\r\n"});
    EXPECT_FALSE(timer.enabled);
    // One step inside the ends is not yet the limit.
    motor.TotalSteps = -99;
    EXPECT_EQ(Request(Get("/turn/left")), Replies{"L\r\n"});
}

TEST_F(RequestHandlerTest, WhileMovingATurnIsAnsweredButTheMoveGoesOn) {
    motor.Step(3, "r");
    EXPECT_EQ(Request(Get("/turn/left")), Replies{"L\r\n"});
    EXPECT_EQ(motor.StepsToGo, 3);
    EXPECT_EQ(motor.MoveDirection, "r");
}

TEST_F(RequestHandlerTest, ResetAtTheMiddleElsewhereAndWhileMoving) {
    EXPECT_EQ(Request(Get("/turn/reset")), Replies{"NR\r\n"});
    EXPECT_FALSE(timer.enabled);

    motor.TotalSteps = 40;
    EXPECT_EQ(Request(Get("/turn/reset")), Replies{"RS\r\n"});
    EXPECT_EQ(motor.StepsToGo, 40);
    EXPECT_EQ(motor.MoveDirection, "l");

    motor.Step(5, "r");
    EXPECT_EQ(Request(Get("/turn/reset")), Replies{"RS\r\n"});
    EXPECT_EQ(motor.StepsToGo, 5);
}

TEST_F(RequestHandlerTest, EverythingElseGetsTheIndexPage) {
    for (const char* path : {"/", "/turn/left?x=1", "/TURN/LEFT", "/turn/left/", "/turnleft"}) {
        EXPECT_EQ(Request(Get(path)), Replies{"I\r\n"}) << path;
    }
    EXPECT_FALSE(timer.enabled);
    EXPECT_EQ(Request("GET /turn/left\r\n"), Replies{"I\r\n"});
    EXPECT_EQ(List1.Line(0), "[14:03:22] 10.0.0.7 ");  // logged with an empty path
}

TEST_F(RequestHandlerTest, PagesGoOutByteForByte) {
    pages.PageIndex = std::string("HTTP/1.0 200 OK\r\n\r\n\xe4\0x", 22);
    EXPECT_EQ(Request(Get("/")), Replies{std::string("HTTP/1.0 200 OK\r\n\r\n\xe4\0x\r\n", 24)});
}

TEST_F(RequestHandlerTest, NonGetDataGetsNoReplyAndNoLogLine) {
    for (const char* data :
         {"get / HTTP/1.1\r\n", "POST /turn/left HTTP/1.1\r\n", "", "GE", " GET / x"}) {
        test::FakeConnection connection;
        EXPECT_FALSE(handler.DataArrival(connection, data)) << data;
        EXPECT_TRUE(connection.sent.empty()) << data;
    }
    EXPECT_EQ(List1.Count(), 0u);
    EXPECT_FALSE(timer.enabled);
}

TEST_F(RequestHandlerTest, OnlyTheFirstOfTwoRequestLinesIsHandled) {
    EXPECT_EQ(Request("GET /turn/left HTTP/1.1\r\nGET /turn/right HTTP/1.1\r\n"), Replies{"L\r\n"});
    EXPECT_EQ(List1.Count(), 1u);
}

TEST_F(RequestHandlerTest, TheRequestLogKeepsTheNewestThousand) {
    for (int i = 0; i < 1000; ++i) Request(Get("/" + std::to_string(i)));
    ASSERT_EQ(List1.Count(), 1000u);
    Request(Get("/new"));
    EXPECT_EQ(List1.Count(), 1000u);
    EXPECT_EQ(List1.Line(0), "[14:03:22] 10.0.0.7 /new");
    EXPECT_EQ(List1.Line(999), "[14:03:22] 10.0.0.7 /1");
}

TEST_F(RequestHandlerTest, ChatRequestsGoToTheBoardNotTheLog) {
    EXPECT_EQ(Request(Get("/chat?hi")), Replies{"[14:03:22] 10.0.0.7 hi\r\n\r\n"});
    EXPECT_EQ(List1.Count(), 0u);
    EXPECT_EQ(MsgList.Count(), 1u);
}

}  // namespace
}  // namespace tarvik
