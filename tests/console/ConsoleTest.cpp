#include <gtest/gtest.h>

#include "AutoSweep.h"
#include "Fakes.h"
#include "ScrollFollow.h"
#include "StepSize.h"

namespace tarvik {
namespace {

// The scroll bar follows the motor as the motors push it, under their lock.
struct ConsoleRig : test::MotorRig {
    ScrollFollow scroll{shared};
    test::FakeTimer sweepTimer;
    AutoSweep sweep{shared, sweepTimer};

    void Load(std::int16_t lower, std::int16_t upper, std::int16_t position, std::int16_t big) {
        MotorRig::Load(test::Settings(lower, upper, position, 1, big));
    }
    // Runs the follow and every move it starts.
    void Settle() {
        for (int i = 0; i < 10; ++i) {
            scroll.Tick();
            RunMove();
        }
    }
};

// From 100: a first move (a follow towards `first`, or a button move of `first` steps) runs
// ten ticks, then the bar is dragged to `dragTo`.
TEST(ScrollFollow, TheMotorGoesWhereTheBarIsDragged) {
    struct Case {
        const char* what;
        bool button;
        int first, dragTo, ends;
    };
    for (const Case& c : {Case{"idle", false, 100, 130, 130}, Case{"far", false, 100, -150, -150},
                          Case{"further during a move", false, 130, 160, 160},
                          Case{"back during a move", false, 130, 120, 130},
                          Case{"ahead of a button move", true, 50, 180, 180}}) {
        ConsoleRig rig;
        rig.Load(-199, 199, 100, 50);
        if (c.button) {
            rig.With(
                [&](Motor& m) { m.Step(static_cast<std::int16_t>(c.first), Direction::Right); });
        } else {
            rig.scroll.Drag(c.first);
            rig.scroll.Tick();
        }
        for (int i = 0; i < 10 && rig.timer.enabled; ++i) rig.shared.Tick();
        rig.scroll.Drag(c.dragTo);
        EXPECT_FALSE(rig.scroll.Settled()) << c.what;  // the follow has work to do
        rig.Settle();
        EXPECT_EQ(rig.Position(), c.ends) << c.what;
        EXPECT_EQ(rig.scroll.Value(), c.ends) << c.what;
        EXPECT_TRUE(rig.scroll.Settled()) << c.what;
    }
}

TEST(ScrollFollow, AWideGapIsCrossedInSeveralMovesAndDragsAreClamped) {
    ConsoleRig rig;
    rig.Load(-30000, 30000, -30000, 50);
    rig.scroll.Drag(40000);
    EXPECT_EQ(rig.scroll.Value(), 30001);
    rig.Settle();
    EXPECT_EQ(rig.Position(), 30001);
}

// A button move that reaches an end of the bar's range leaves bar and motor there.
TEST(ScrollFollow, AButtonMoveToAnEndIsFollowedAllTheWay) {
    for (const Direction direction : {Direction::Left, Direction::Right}) {
        ConsoleRig rig;
        const bool right = direction == Direction::Right;
        rig.Load(-99, 99, right ? 90 : -90, 50);
        rig.With([&](Motor& m) { m.Step(50, direction); });
        rig.Settle();
        EXPECT_EQ(rig.Position(), right ? 100 : -100);
        EXPECT_EQ(rig.scroll.Value(), right ? 100 : -100);
        EXPECT_TRUE(rig.scroll.Settled());
    }
}

// The middle becomes the position, without a step, when the bar can show it (its ends
// included); otherwise nothing changes.
TEST(ScrollFollow, CenterDeclaresTheMiddleWithoutMovingOrRefuses) {
    for (const auto& [middle, accepted] : {std::pair<std::int16_t, bool>{0, true},
                                           {100, true},
                                           {-100, true},
                                           {101, false},
                                           {-101, false}}) {
        ConsoleRig rig;
        rig.MotorRig::Load(test::Settings(-99, 99, 37, 1, 50, middle));
        EXPECT_EQ(rig.scroll.Center(), accepted) << middle;
        const int expected = accepted ? middle : 37;
        EXPECT_EQ(rig.Position(), expected) << middle;
        EXPECT_EQ(rig.scroll.Value(), expected) << middle;
        EXPECT_TRUE(rig.coils.writes.empty()) << middle;
        EXPECT_TRUE(rig.scroll.Settled()) << middle;
    }
}

// Limits -99..99, big step 50, every move finishing within the sweep's three seconds.
TEST(AutoSweep, ReversesAtEachLimitAndKeepsItsDirectionWhenSwitchedOffAndOn) {
    const std::tuple<std::int16_t, std::int16_t, std::vector<int>> cases[] = {
        {0, 50, {50, 100, 50, 0, -50, -100, -50, 0, 50}},
        {0, 1000, {100, -100, 100, -100}},
        {99, 10, {89, 79}},
        {100, 10, {90, 80}},
        {99, 198, {-99, 99}},
    };
    for (const auto& [start, big, expected] : cases) {
        ConsoleRig rig;
        rig.Load(-99, 99, start, big);
        std::vector<int> positions;
        for (std::size_t tick = 0; tick < expected.size(); ++tick) {
            rig.sweep.Tick();
            rig.RunMove();
            positions.push_back(rig.Position());
            EXPECT_EQ(rig.sweep.Toggle(), tick % 2 == 0);  // on, off, on, ...
        }
        EXPECT_EQ(positions, expected) << start << " " << big;
    }
}

TEST(StepSize, WholeNumbersAreTakenAndOthersRefusedWithAReason) {
    EXPECT_EQ(ParseStepSize("25").value, 25);
    EXPECT_EQ(ParseStepSize(" 2.5 ").value, 2);
    EXPECT_EQ(ParseStepSize("-32767").value, -32767);
    for (const char* bad : {"", "abc", "32768", "-32768", "1e2"}) {
        EXPECT_FALSE(ParseStepSize(bad).value) << bad;
        EXPECT_FALSE(ParseStepSize(bad).reason.empty()) << bad;
    }
    EXPECT_EQ(BigMoveCaption(25, true), "Turn 25 steps &left");
    EXPECT_EQ(BigMoveCaption(6, false), "Turn 6 steps &right");
}

}  // namespace
}  // namespace tarvik
