#include "RequestHandler.h"

#include <gtest/gtest.h>

#include "WebFakes.h"

namespace tarvik {
namespace {

TEST(RequestPath, IsTheTextBetweenGetAndTheNextSpace) {
    const std::pair<const char*, const char*> cases[] = {
        {"GET /turn/left HTTP/1.1\r\nHost: x\r\n\r\n", "/turn/left"},
        {"GET /turn/left?x=1 HTTP/1.1\r\n", "/turn/left?x=1"},
        {"GET /turn/left\r\n", ""},  // no space after the path
        {"GET ", ""},
        {"GET", ""},
        {"GET  /x HTTP/1.1", " /x"},  // the first space at or after g + 5
        {"GET /one HTTP/1.1\r\nGET /two HTTP/1.1\r\n", "/one"},
        {"GETX GET /turn/right HTTP/1.1", "/turn/right"},  // "GET " searched anywhere
        {"GETx /a b", "x"},  // no "GET " at all: read from the fourth character on
    };
    for (const auto& [data, path] : cases) EXPECT_EQ(RequestPathOf(data), path) << data;
}

struct Exchange {
    const char* what;
    std::int16_t position;
    bool moving;  // a move of 3 to the right runs already
    const char* path;
    const char* reply;
    int stepsToGo;  // afterwards
    Direction heading;
    bool tilt = false;  // a tilt motor beside the pan; the row's position and move are its own
};

// Limits -99..99 (ends at -100 and 100), big step 10, middle 0.
TEST(RequestHandler, TurnRequestsReplyWithTheirPageAndMoveOnlyAnIdleMotor) {
    const auto L = Direction::Left;
    const auto R = Direction::Right;
    const Exchange cases[] = {
        {"left", 0, false, "/turn/left", "L\r\n", 10, L},
        {"right", 0, false, "/turn/right", "R\r\n", 10, R},
        {"left end", -100, false, "/turn/left", "ML\r\n", 0, R},
        {"just inside", -99, false, "/turn/left", "L\r\n", 10, L},
        {"away from the left end", -100, false, "/turn/right", "R\r\n", 10, R},
        {"right end", 100, false, "/turn/right", "MR\r\n", 0, R},
        {"while moving", 0, true, "/turn/left", "L\r\n", 3, R},
        {"reset at the middle", 0, false, "/turn/reset", "NR\r\n", 0, R},
        {"reset", 40, false, "/turn/reset", "RS\r\n", 40, L},
        {"reset while moving", 40, true, "/turn/reset", "RS\r\n", 3, R},
        {"query", 0, false, "/turn/left?x=1", "I\r\n", 0, R},
        {"letter case", 0, false, "/TURN/LEFT", "I\r\n", 0, R},
        {"trailing slash", 0, false, "/turn/left/", "I\r\n", 0, R},
        {"no tilt motor", 0, false, "/turn/up", "I\r\n", 0, R},
        {"up", 0, false, "/turn/up", "U\r\n", 10, R, true},
        {"down", 0, false, "/turn/down", "D\r\n", 10, L, true},
        {"upper end", 100, false, "/turn/up", "UL\r\n", 0, R, true},
        {"lower end", -100, false, "/turn/down", "DL\r\n", 0, R, true},
        {"level", -40, false, "/turn/level", "LV\r\n", 40, R, true},
        {"level at the middle", 0, false, "/turn/level", "NL\r\n", 0, R, true},
    };
    for (const Exchange& c : cases) {
        test::WebRig rig;
        rig.shared.Load(test::Settings(-99, 99, c.tilt ? 0 : c.position),
                        c.tilt ? std::optional(test::Settings(-99, 99, c.position)) : std::nullopt);
        const Axis axis = c.tilt ? Axis::Tilt : Axis::Pan;
        if (c.moving) rig.With([](Motor& m) { m.Step(3, Direction::Right); });
        EXPECT_EQ(rig.Request(std::string("GET ") + c.path + " HTTP/1.1\r\n\r\n"), c.reply)
            << c.what;
        rig.shared.With(axis, [&](Motor& m) {
            EXPECT_EQ(m.StepsToGo(), c.stepsToGo) << c.what;
            EXPECT_EQ(m.Heading(), c.heading) << c.what;
        });
        EXPECT_EQ(rig.timer.enabled, c.stepsToGo > 0) << c.what;
        ASSERT_EQ(rig.requestLog.Count(), 1u) << c.what;
        EXPECT_EQ(rig.requestLog.Line(0), std::string("[14:03:22] 10.0.0.7 ") + c.path);
    }
}

TEST(RequestHandler, OnlyGetIsAnsweredPagesGoOutByteForByteAndTheLogKeepsAThousand) {
    test::WebRig rig;
    rig.Load(test::Settings(-99, 99, 0));
    for (const char* data :
         {"get / HTTP/1.1\r\n", "POST /turn/left HTTP/1.1\r\n", "", " GET / x"}) {
        EXPECT_EQ(rig.Request(data), "<none>") << data;
    }
    EXPECT_EQ(rig.requestLog.Count(), 0u);
    EXPECT_EQ(rig.Request("GET /turn/left\r\n"), "I\r\n");  // logged with an empty path
    EXPECT_EQ(rig.requestLog.Line(0), "[14:03:22] 10.0.0.7 ");
    rig.pages.PageIndex = std::string("HTTP/1.0 200 OK\r\n\r\n\xe4\0x", 22);
    EXPECT_EQ(rig.Request("GET / x"), rig.pages.PageIndex + "\r\n");
    for (int i = 0; i < 1000; ++i) rig.Request("GET /" + std::to_string(i) + " x");
    EXPECT_EQ(rig.requestLog.Count(), 1000u);
    EXPECT_EQ(rig.requestLog.Line(0), "[14:03:22] 10.0.0.7 /999");
    EXPECT_EQ(rig.requestLog.Line(999), "[14:03:22] 10.0.0.7 /0");
    EXPECT_EQ(rig.Request("GET /chat?hi x"), "[14:03:22] 10.0.0.7 hi\r\n\r\n");
    EXPECT_EQ(rig.requestLog.Line(0), "[14:03:22] 10.0.0.7 /999");  // chat is not logged
}

}  // namespace
}  // namespace tarvik
