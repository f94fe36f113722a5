#include <gtest/gtest.h>

#include "AutoSweep.h"
#include "ControlPanel.h"
#include "Fakes.h"

namespace tarvik {
namespace {

class ConsoleTest : public ::testing::Test, protected test::MotorRig {
  protected:
    void Load(std::int16_t lower, std::int16_t upper, std::int16_t position, std::int16_t bigStep) {
        motor.Load(test::Settings(lower, upper, position, 1, bigStep));
    }
    // What the window's follow timer does, tick by tick, with moves finishing in between.
    void FollowUntilSettled() {
        for (int i = 0; i < 10; ++i) {
            ScrollFollowTick(motor, scroll);
            RunMove();
        }
    }

    test::FakeTimer autoTimer;
    AutoSweep sweep{motor, autoTimer};
};

TEST_F(ConsoleTest, ADraggedScrollBarStartsAMoveTowardsIt) {
    Load(-199, 199, 100, 50);
    scroll.value = 130;
    ScrollFollowTick(motor, scroll);
    EXPECT_EQ(motor.StepsToGo, 30);
    EXPECT_EQ(motor.MoveDirection, "r");
    EXPECT_EQ(motor.ScrollPos, 130);
    RunMove();
    EXPECT_EQ(motor.TotalSteps, 130);
    EXPECT_EQ(scroll.value, 130);
}

TEST_F(ConsoleTest, NothingStartsWhileAMoveRunsAndTheGapIsTakenUpAfter) {
    Load(-199, 199, 100, 50);
    scroll.value = 130;
    ScrollFollowTick(motor, scroll);
    for (int i = 0; i < 10; ++i) motor.Tick();
    scroll.value = 160;  // dragged further while moving
    ScrollFollowTick(motor, scroll);
    EXPECT_EQ(motor.StepsToGo, 20);  // unchanged
    RunMove();
    FollowUntilSettled();
    EXPECT_EQ(motor.TotalSteps, 160);
}

TEST_F(ConsoleTest, DraggingBackDuringAMoveIsOvertakenByTheMotor) {
    Load(-199, 199, 100, 50);
    scroll.value = 130;
    ScrollFollowTick(motor, scroll);
    for (int i = 0; i < 10; ++i) motor.Tick();
    scroll.value = 120;
    RunMove();
    FollowUntilSettled();
    EXPECT_EQ(motor.TotalSteps, 130);
    EXPECT_EQ(scroll.value, 130);
}

TEST_F(ConsoleTest, ABigMovePullsTheScrollBarSoTheFollowSeesNoGap) {
    Load(-199, 199, 100, 50);
    scroll.value = 100;
    motor.BigMoveLeft();
    RunMove();
    EXPECT_EQ(scroll.value, 50);
    ScrollFollowTick(motor, scroll);
    EXPECT_FALSE(timer.enabled);
}

TEST_F(ConsoleTest, AGapWiderThanOneMoveIsCrossedInSeveral) {
    Load(-30000, 30000, -30000, 50);
    scroll.value = 30000;
    FollowUntilSettled();
    EXPECT_EQ(motor.TotalSteps, 30000);
}

TEST_F(ConsoleTest, CenterDeclaresTheMiddleWithoutMoving) {
    Load(-199, 199, 37, 50);
    port.writes.clear();
    EXPECT_TRUE(CenterHere(motor, scroll));
    EXPECT_EQ(motor.TotalSteps, 0);
    EXPECT_EQ(motor.ScrollPos, 0);
    EXPECT_EQ(scroll.value, 0);
    EXPECT_TRUE(port.writes.empty());
    ScrollFollowTick(motor, scroll);
    EXPECT_FALSE(timer.enabled);
}

TEST_F(ConsoleTest, CenterOutsideTheReachableRangeChangesNothing) {
    Load(-99, 99, 37, 50);
    motor.MiddleStep = 500;
    EXPECT_FALSE(CenterHere(motor, scroll));
    EXPECT_EQ(motor.TotalSteps, 37);
    EXPECT_EQ(scroll.value, 37);
}

TEST(ParseStepSize, AcceptsWholeNumbersAndSaysWhyNot) {
    EXPECT_EQ(ParseStepSize("25").value, 25);
    EXPECT_EQ(ParseStepSize(" 2.5 ").value, 2);
    EXPECT_EQ(ParseStepSize("-32767").value, -32767);
    for (const char* bad : {"", "abc", "32768", "-32768", "1e2"}) {
        const StepSizeInput input = ParseStepSize(bad);
        EXPECT_FALSE(input.value) << bad;
        EXPECT_FALSE(input.reason.empty()) << bad;
    }
}

TEST(BigMoveCaption, NamesTheStepCount) {
    EXPECT_EQ(BigMoveCaption(25, true), "Turn 25 steps &left");
    EXPECT_EQ(BigMoveCaption(6, false), "Turn 6 steps &right");
}

TEST_F(ConsoleTest, TheSweepReversesAtEachLimit) {
    Load(-99, 99, 0, 50);
    std::vector<int> positions;
    for (int tick = 0; tick < 9; ++tick) {
        sweep.Tick();
        RunMove();
        positions.push_back(motor.TotalSteps);
    }
    EXPECT_EQ(positions, (std::vector<int>{50, 100, 50, 0, -50, -100, -50, 0, 50}));
}

TEST_F(ConsoleTest, AtTheUpperEndTheFirstSweepMoveGoesLeft) {
    for (std::int16_t start : {std::int16_t{99}, std::int16_t{100}}) {
        Load(-99, 99, start, 10);
        sweep.SweepLeft = false;
        sweep.Tick();
        EXPECT_EQ(motor.MoveDirection, "l") << start;
    }
}

TEST_F(ConsoleTest, TheSweepKeepsItsDirectionWhenSwitchedOffAndOn) {
    Load(-99, 99, 100, 10);
    EXPECT_TRUE(sweep.Toggle());
    sweep.Tick();
    RunMove();
    EXPECT_FALSE(sweep.Toggle());
    EXPECT_TRUE(sweep.Toggle());
    sweep.Tick();
    EXPECT_EQ(motor.MoveDirection, "l");
}

TEST_F(ConsoleTest, ABigStepWiderThanTheRangeAlternatesEveryTick) {
    Load(-99, 99, 0, 1000);
    std::vector<int> positions;
    for (int tick = 0; tick < 4; ++tick) {
        sweep.Tick();
        RunMove();
        positions.push_back(motor.TotalSteps);
    }
    EXPECT_EQ(positions, (std::vector<int>{100, -100, 100, -100}));
}

}  // namespace
}  // namespace tarvik
