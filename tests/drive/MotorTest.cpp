#include "Motor.h"

#include <gtest/gtest.h>

#include "Fakes.h"

namespace tarvik {
namespace {

using test::PortWrite;

class MotorTest : public ::testing::Test, protected test::MotorRig {
  protected:
    void SetUp() override { Load(0, 1); }

    // Limits -99..99 reachable as -100..100, port 0x378.
    void Load(std::int16_t position, std::int16_t phase, std::int16_t bigStep = 10) {
        motor.Load(test::Settings(-99, 99, position, phase, bigStep));
        port.writes.clear();
        observer.shown.clear();
    }
};

TEST_F(MotorTest, LoadEnergisesTheStoredPhaseAndSetsTheScrollBar) {
    test::RecordingPort freshPort;
    test::FakeScrollBar freshScroll;
    Motor fresh{freshPort, timer, freshScroll, observer};
    fresh.Load(test::Settings(-299, 299, 42, 4));
    EXPECT_EQ(freshPort.writes, (std::vector<PortWrite>{{888, 2}}));
    EXPECT_EQ(freshScroll.minimum, -300);
    EXPECT_EQ(freshScroll.maximum, 300);
    EXPECT_EQ(freshScroll.value, 42);
    EXPECT_EQ(fresh.ScrollPos, 42);
    EXPECT_FALSE(timer.enabled);
}

TEST_F(MotorTest, RightMovesWalkThePhaseTableUpwards) {
    motor.Step(9, "r");
    EXPECT_EQ(RunMove(), 9);
    EXPECT_EQ(port.Values(), (std::vector<std::uint8_t>{4, 6, 2, 3, 1, 9, 8, 12, 4}));
    EXPECT_EQ(motor.TotalSteps, 9);
    EXPECT_EQ(motor.StepPhase, 2);
    for (const auto& write : port.writes) EXPECT_EQ(write.address, 888);
}

TEST_F(MotorTest, LeftMovesWalkThePhaseTableDownwards) {
    motor.Step(9, "l");
    RunMove();
    EXPECT_EQ(port.Values(), (std::vector<std::uint8_t>{8, 9, 1, 3, 2, 6, 4, 12, 8}));
    EXPECT_EQ(motor.TotalSteps, -9);
    EXPECT_EQ(motor.StepPhase, 8);
}

TEST_F(MotorTest, BigMoveRightFromPhaseThreeEndsTwoPlacesOn) {
    Load(0, 3, 10);
    motor.BigMoveRight();
    EXPECT_EQ(RunMove(), 10);
    EXPECT_EQ(motor.TotalSteps, 10);
    EXPECT_EQ(motor.StepPhase, 5);
    EXPECT_EQ(observer.movesEnded, 1);
    EXPECT_EQ(observer.shown.back(), 10);
}

TEST_F(MotorTest, CountsOfZeroAndBelowMakeExactlyOneTick) {
    for (std::int16_t count : {std::int16_t{0}, std::int16_t{-1}, std::int16_t{-32767}}) {
        Load(0, 1);
        motor.Step(count, "r");
        EXPECT_EQ(RunMove(), 1) << count;
        EXPECT_EQ(motor.TotalSteps, 1) << count;
    }
}

TEST_F(MotorTest, ACountThatCannotBeCountedDownIsRefused) {
    EXPECT_FALSE(motor.Step(-32768, "r"));
    EXPECT_FALSE(timer.enabled);
    EXPECT_TRUE(port.writes.empty());
}

TEST_F(MotorTest, TheMotorReachesTheFileLimitsAndNeverPassesThem) {
    motor.Step(500, "r");
    EXPECT_EQ(RunMove(), 500);  // the whole count ticks away at the limit
    EXPECT_EQ(motor.TotalSteps, 100);
    EXPECT_EQ(scroll.value, 100);
    motor.Step(500, "l");
    RunMove();
    EXPECT_EQ(motor.TotalSteps, -100);
    EXPECT_EQ(scroll.value, -100);
}

TEST_F(MotorTest, AtTheLimitTheUnchangedPatternIsRewrittenEachTick) {
    Load(100, 6);
    motor.Step(5, "r");
    EXPECT_EQ(RunMove(), 5);
    EXPECT_EQ(port.Values(), (std::vector<std::uint8_t>{1, 1, 1, 1, 1}));
    EXPECT_EQ(motor.TotalSteps, 100);
}

TEST_F(MotorTest, AnUnknownDirectionStepsNothingButStillWritesAndCounts) {
    motor.Step(3, "R");
    EXPECT_EQ(RunMove(), 3);
    EXPECT_EQ(motor.TotalSteps, 0);
    EXPECT_EQ(port.Values(), (std::vector<std::uint8_t>{12, 12, 12}));
}

TEST_F(MotorTest, PhasesOutOfRangeWriteNothingUntilTheyWrapIn) {
    Load(0, 10);
    motor.Step(3, "l");
    RunMove();
    // 10 -> 9 (nothing written), 9 -> 8 (pattern 8), 8 -> 7 (pattern 9)
    EXPECT_EQ(port.Values(), (std::vector<std::uint8_t>{8, 9}));
    EXPECT_EQ(motor.TotalSteps, -3);

    Load(0, 9);
    motor.Step(2, "r");
    RunMove();
    EXPECT_TRUE(port.writes.empty());  // 10, 11: further out, nothing written
    EXPECT_EQ(motor.StepPhase, 11);

    Load(0, -1);
    motor.Step(3, "r");
    RunMove();
    EXPECT_EQ(port.Values(), (std::vector<std::uint8_t>{12, 4}));  // 0, 1, 2
}

TEST_F(MotorTest, APhaseAtTheEdgeOfSixteenBitsDoesNotStep) {
    Load(0, 32767);
    motor.Step(2, "r");
    RunMove();
    EXPECT_EQ(motor.StepPhase, 32767);
    EXPECT_EQ(motor.TotalSteps, 0);
    EXPECT_TRUE(port.writes.empty());
}

TEST_F(MotorTest, AStepDuringAMoveReplacesCountAndDirection) {
    motor.Step(50, "r");
    for (int i = 0; i < 20; ++i) motor.Tick();
    motor.Step(5, "l");
    EXPECT_EQ(RunMove(), 5);
    EXPECT_EQ(motor.TotalSteps, 15);
    EXPECT_EQ(observer.movesEnded, 1);
}

TEST_F(MotorTest, TheScrollBarOnlyFollowsForwards) {
    scroll.value = 30;  // dragged ahead of the motor
    motor.Step(10, "r");
    RunMove();
    EXPECT_EQ(scroll.value, 30);
    EXPECT_EQ(motor.ScrollPos, 10);  // where the move ended: the follow goes on from there
    motor.Step(25, "r");
    RunMove();
    EXPECT_EQ(scroll.value, 35);
    EXPECT_EQ(motor.ScrollPos, 35);
    motor.Step(10, "l");
    RunMove();
    EXPECT_EQ(scroll.value, 25);
}

TEST_F(MotorTest, ReturnToMiddleHeadsForTheMiddle) {
    motor.Load(test::Settings(-299, 299, 40, 1, 10, 100));
    motor.ReturnToMiddle();
    EXPECT_EQ(motor.StepsToGo, 60);
    EXPECT_EQ(motor.MoveDirection, "r");
    RunMove();
    EXPECT_EQ(motor.TotalSteps, 100);

    motor.TotalSteps = 140;
    motor.ReturnToMiddle();
    EXPECT_EQ(motor.StepsToGo, 40);
    EXPECT_EQ(motor.MoveDirection, "l");

    // While moving nothing changes; at the middle nothing starts.
    motor.TotalSteps = 0;
    motor.ReturnToMiddle();
    EXPECT_EQ(motor.StepsToGo, 40);
    RunMove();
    motor.TotalSteps = 100;
    motor.ReturnToMiddle();
    EXPECT_FALSE(timer.enabled);
}

TEST_F(MotorTest, ReturnToMiddleRefusesADistanceBeyondSixteenBits) {
    motor.MiddleStep = 30000;
    motor.TotalSteps = -30000;
    motor.ReturnToMiddle();
    EXPECT_FALSE(timer.enabled);
}

TEST_F(MotorTest, WithoutAUsablePortAddressNothingIsWritten) {
    motor.LptAddress = std::nullopt;
    motor.Step(3, "r");
    RunMove();
    EXPECT_TRUE(port.writes.empty());
    EXPECT_EQ(motor.TotalSteps, 3);
}

TEST_F(MotorTest, CoilsOffReachesTheDrivenPortAndTheFixedAddress) {
    motor.LptAddress = 0x278;
    motor.SwitchCoilsOff();
    EXPECT_EQ(port.writes, (std::vector<PortWrite>{{0x278, 0}, {888, 0}}));
    port.writes.clear();
    motor.LptAddress = 888;
    motor.SwitchCoilsOff();
    EXPECT_EQ(port.writes, (std::vector<PortWrite>{{888, 0}}));
}

TEST_F(MotorTest, TheRightEndOfTheSixteenBitRangeIsReachedAndKept) {
    motor.Load(test::Settings(-32767, 32766, 32765, 1));
    motor.Step(5, "r");
    RunMove();
    EXPECT_EQ(motor.TotalSteps, 32767);
    motor.Load(test::Settings(-32767, 32766, -32767, 1));
    motor.Step(5, "l");
    RunMove();
    EXPECT_EQ(motor.TotalSteps, -32768);
}

}  // namespace
}  // namespace tarvik
