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
        {"GET  /x HTTP/1.1", " /x"},  // the path is at least one byte long
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
    bool moves;
    int ends;           // where the axis stands once every move has run
    bool tilt = false;  // a tilt motor beside the pan; the row's position and move are its own
};

// Limits -99..99 (ends at -100 and 100), big step 10, middle 0.
TEST(RequestHandler, TurnRequestsReplyWithTheirPageAndMoveOnlyAnIdleMotor) {
    const Exchange cases[] = {
        {"left", 0, false, "/turn/left", "L\r\n", true, -10},
        {"right", 0, false, "/turn/right", "R\r\n", true, 10},
        {"left end", -100, false, "/turn/left", "ML\r\n", false, -100},
        {"just inside", -99, false, "/turn/left", "L\r\n", true, -100},
        {"away from the left end", -100, false, "/turn/right", "R\r\n", true, -90},
        {"right end", 100, false, "/turn/right", "MR\r\n", false, 100},
        {"while moving", 0, true, "/turn/left", "L\r\n", true, 3},
        {"reset at the middle", 0, false, "/turn/reset", "NR\r\n", false, 0},
        {"reset", 40, false, "/turn/reset", "RS\r\n", true, 0},
        {"reset while moving", 40, true, "/turn/reset", "RS\r\n", true, 43},
        {"query", 0, false, "/turn/left?x=1", "I\r\n", false, 0},
        {"letter case", 0, false, "/TURN/LEFT", "I\r\n", false, 0},
        {"trailing slash", 0, false, "/turn/left/", "I\r\n", false, 0},
        {"no tilt motor", 0, false, "/turn/up", "I\r\n", false, 0},
        {"up", 0, false, "/turn/up", "U\r\n", true, 10, true},
        {"down", 0, false, "/turn/down", "D\r\n", true, -10, true},
        {"upper end", 100, false, "/turn/up", "UL\r\n", false, 100, true},
        {"lower end", -100, false, "/turn/down", "DL\r\n", false, -100, true},
        {"level", -40, false, "/turn/level", "LV\r\n", true, 0, true},
        {"level at the middle", 0, false, "/turn/level", "NL\r\n", false, 0, true},
    };
    for (const Exchange& c : cases) {
        test::WebRig rig;
        rig.shared.Load(test::Settings(-99, 99, c.tilt ? 0 : c.position),
                        c.tilt ? std::optional(test::Settings(-99, 99, c.position)) : std::nullopt);
        const Axis axis = c.tilt ? Axis::Tilt : Axis::Pan;
        if (c.moving) rig.With([](Motor& m) { m.Step(3, Direction::Right); });
        EXPECT_EQ(rig.Request(std::string("GET ") + c.path + " HTTP/1.1\r\n\r\n"), c.reply)
            << c.what;
        EXPECT_EQ(rig.timer.enabled, c.moves) << c.what;
        rig.RunMove();
        EXPECT_EQ(rig.shared.With(axis, [](Motor& m) { return m.Position(); }), c.ends) << c.what;
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
    rig.pages.index = std::string("HTTP/1.0 200 OK\r\n\r\n\xe4\0x", 22);
    EXPECT_EQ(rig.Request("GET / x"), rig.pages.index + "\r\n");
    for (int i = 0; i < 1000; ++i) rig.Request("GET /" + std::to_string(i) + " x");
    EXPECT_EQ(rig.requestLog.Count(), 1000u);
    EXPECT_EQ(rig.requestLog.Line(0), "[14:03:22] 10.0.0.7 /999");
    EXPECT_EQ(rig.requestLog.Line(999), "[14:03:22] 10.0.0.7 /0");
    EXPECT_EQ(rig.Request("GET /chat?hi x"), "[14:03:22] 10.0.0.7 hi\r\n\r\n");
    EXPECT_EQ(rig.requestLog.Line(0), "[14:03:22] 10.0.0.7 /999");  // chat is not logged
}

}  // namespace
}  // namespace tarvik
