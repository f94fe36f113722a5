#include "Motor.h"

#include <gtest/gtest.h>

#include "Fakes.h"

namespace tarvik {
namespace {

struct Sequence {
    const char* what;
    AxisSettings start;
    std::int16_t steps;
    Direction direction;
    std::vector<int> patterns;  // written by the ticks, in order
    int position, phase, ticks;
};

// Every tick writes the phase's pattern, also at a limit; a phase outside 1 to 8 writes
// nothing and wraps in only on reaching 9 going right or 0 going left.
TEST(Motor, TicksWalkThePhaseTableWithinTheLimits) {
    const auto R = Direction::Right;
    const auto L = Direction::Left;
    // clang-format off
    const Sequence cases[] = {
        {"right", test::Settings(-99, 99, 0, 1), 9, R, {4, 6, 2, 3, 1, 9, 8, 12, 4}, 9, 2, 9},
        {"left", test::Settings(-99, 99, 0, 1), 9, L, {8, 9, 1, 3, 2, 6, 4, 12, 8}, -9, 8, 9},
        {"big move", test::Settings(-99, 99, 0, 3), 10, R, {2, 3, 1, 9, 8, 12, 4, 6, 2, 3}, 10, 5, 10},
        {"at the right end", test::Settings(-99, 99, 100, 6), 5, R, {1, 1, 1, 1, 1}, 100, 6, 5},
        {"to the left end", test::Settings(-99, 99, -98, 1), 4, L, {8, 9, 9, 9}, -100, 7, 4},
        {"phase above 8", test::Settings(-99, 99, 0, 10), 3, L, {8, 9}, -3, 7, 3},
        {"further out", test::Settings(-99, 99, 0, 9), 2, R, {}, 2, 11, 2},
        {"phase below 1", test::Settings(-99, 99, 0, -1), 3, R, {12, 4}, 3, 2, 3},
        {"phase at 16 bits", test::Settings(-99, 99, 0, 32767), 2, R, {}, 0, 32767, 2},
        {"count 0", test::Settings(-99, 99, 0, 1), 0, R, {4}, 1, 2, 1},
        {"count -32767", test::Settings(-99, 99, 0, 1), -32767, R, {4}, 1, 2, 1},
        {"16-bit right end", test::Settings(-32767, 32766, 32765, 1), 5, R, {4, 6, 6, 6, 6}, 32767, 3, 5},
        {"16-bit left end", test::Settings(-32767, 32766, -32767, 1), 5, L, {8, 8, 8, 8, 8}, -32768, 8, 5},
    };
    // clang-format on
    for (const Sequence& c : cases) {
        test::MotorRig rig;
        rig.Load(c.start);
        rig.With([&](Motor& m) { m.Step(c.steps, c.direction); });
        EXPECT_EQ(rig.RunMove(), c.ticks) << c.what;
        EXPECT_EQ(rig.coils.writes, c.patterns) << c.what;
        EXPECT_EQ(rig.Position(), c.position) << c.what;
        EXPECT_EQ(rig.With([](Motor& m) { return m.Phase(); }), c.phase) << c.what;
        EXPECT_EQ(rig.listener.ended, std::vector<int>{c.position}) << c.what;
        // The listener hears each half-step taken, and only those.
        EXPECT_EQ(rig.listener.stepped.size(),
                  static_cast<std::size_t>(std::abs(c.position - c.start.totalSteps)))
            << c.what;
    }
}

TEST(Motor, LoadEnergisesTheStoredPhaseAndTheListenerHearsOnlyRealSteps) {
    test::MotorRig rig;
    rig.shared.Load(test::Settings(-99, 99, 99, 4));
    EXPECT_EQ(rig.coils.writes, std::vector<int>{2});
    EXPECT_FALSE(rig.timer.enabled);
    rig.With([](Motor& m) { m.Step(3, Direction::Right); });
    rig.RunMove();
    EXPECT_EQ(rig.listener.stepped, std::vector<int>{100});
    rig.shared.Tick();  // a stale expiry after the end changes nothing
    EXPECT_EQ(rig.coils.writes.size(), 4u);
}

TEST(Motor, AStepDuringAMoveReplacesCountAndDirectionAndMinus32768IsRefused) {
    test::MotorRig rig;
    rig.Load(test::Settings(-99, 99, 0));
    EXPECT_FALSE(rig.With([](Motor& m) { return m.Step(-32768, Direction::Right); }));
    EXPECT_FALSE(rig.timer.enabled);
    rig.With([](Motor& m) { m.Step(50, Direction::Right); });
    for (int i = 0; i < 20; ++i) rig.shared.Tick();
    rig.With([](Motor& m) { m.Step(5, Direction::Left); });
    EXPECT_EQ(rig.RunMove(), 5);
    EXPECT_EQ(rig.Position(), 15);
    EXPECT_EQ(rig.listener.ended, std::vector<int>{15});
}

// The way to the middle is one move, also when it is longer than one 16-bit count; a move
// already running goes on.
TEST(Motor, ReturnToMiddleReachesTheMiddleUnlessMovingOrThere) {
    struct Case {
        std::int16_t position, middle;
        bool moving;
        int ticks, ends;
    };
    for (const Case& c :
         {Case{40, 100, false, 60, 100}, Case{140, 100, false, 40, 100}, Case{40, 100, true, 7, 33},
          Case{100, 100, false, 0, 100}, Case{-30000, 5000, false, 35000, 5000},
          Case{-32768, 0, false, 32768, 0}, Case{32767, -32768, false, 65535, -32768}}) {
        test::MotorRig rig;
        rig.Load(test::Settings(-32767, 32766, c.position, 1, 10, c.middle));
        if (c.moving) rig.With([](Motor& m) { m.Step(7, Direction::Left); });
        rig.With([](Motor& m) { m.ReturnToMiddle(); });
        EXPECT_EQ(rig.RunMove(), c.ticks) << c.position;
        EXPECT_EQ(rig.Position(), c.ends) << c.position;
    }
}

// A move at a pace takes one half-step every `pace` ticks, the first at once. Two axes at
// different paces, started in one lock, step on their own ticks and share the write of a
// tick where both step.
TEST(Motor, MovesAtAPaceStepOnTheirOwnTicks) {
    test::MotorRig rig;
    rig.shared.Load(test::Settings(-99, 99, 0, 1), test::Settings(-9, 9, 0, 1));
    rig.coils.writes.clear();
    rig.shared.WithAll([](SharedMotor::Locked& axes) {
        axes.Pan().MoveTo(3, 3);
        axes.Find(Axis::Tilt)->motor.MoveTo(-2, 2);
    });
    std::vector<int> writtenAt;
    for (int tick = 1; rig.timer.enabled && tick < 100; ++tick) {
        const auto before = rig.coils.writes.size();
        rig.shared.Tick();
        if (rig.coils.writes.size() > before) writtenAt.push_back(tick);
    }
    EXPECT_EQ(writtenAt, (std::vector<int>{1, 3, 4, 7}));
    EXPECT_EQ(rig.coils.writes, (std::vector<int>{0x84, 0x94, 0x96, 0x92}));
    EXPECT_EQ(rig.Position(), 3);
    EXPECT_EQ(rig.shared.With(Axis::Tilt, [](Motor& m) { return m.Position(); }), -2);
    EXPECT_EQ(rig.listener.ended, (std::vector<int>{-2, 3}));
}

// What the motors tell is said once the lock is released: a listener may look at them, on
// the step thread as on the thread that stopped a move.
TEST(Motor, AListenerMayUseTheMotorsItHearsFrom) {
    struct Looking : MotorListener {
        SharedMotor* motors = nullptr;
        std::vector<int> seen;
        void Stepped(Axis, std::int16_t, Direction) override { Look(); }
        void MoveEnded(Axis, std::int16_t) override { Look(); }
        void Look() {
            seen.push_back(motors->With([](Motor& m) { return m.Position(); }));
        }
    } looking;
    test::RecordingCoils coils;
    test::FakeTimer timer;
    SharedMotor motors(coils, timer, looking);
    looking.motors = &motors;
    motors.Load(test::Settings(-99, 99, 0, 1));
    motors.With([](Motor& m) { m.Step(2, Direction::Right); });
    motors.Tick();
    motors.With([](Motor& m) { m.Stop(); });
    EXPECT_EQ(looking.seen, (std::vector<int>{1, 1}));
}

// Both motors tick in the same tick and leave in one byte per tick (pan D0..D3, tilt
// D4..D7), each within its own limits; the step timer stops when neither moves.
TEST(Motor, PanAndTiltShareEachTicksWrite) {
    struct Case {
        const char* what;
        std::int16_t panSteps, tiltSteps;  // 0: that motor stays
        std::vector<int> bytes;
        int pan, tilt;
    };
    const Case cases[] = {
        {"both right and up", 2, 2, {0x44, 0x66}, 2, 2},
        {"tilt alone, down", 0, -3, {0x8C, 0x9C, 0x1C}, 0, -3},
        {"tilt stops at its end", 0, 5, {0x4C, 0x6C, 0x6C, 0x6C, 0x6C}, 0, 2},
    };
    for (const Case& c : cases) {
        test::MotorRig rig;
        rig.shared.Load(test::Settings(-99, 99, 0, 1), test::Settings(-9, 1, 0, 1));
        EXPECT_EQ(rig.coils.writes, std::vector<int>{0xCC}) << c.what;  // both energised at once
        rig.coils.writes.clear();
        if (c.panSteps != 0) rig.With([&](Motor& m) { m.Step(c.panSteps, Direction::Right); });
        if (c.tiltSteps != 0) {
            rig.shared.With(Axis::Tilt, [&](Motor& m) {
                m.Step(static_cast<std::int16_t>(std::abs(c.tiltSteps)),
                       c.tiltSteps > 0 ? kUp : kDown);
            });
        }
        EXPECT_EQ(rig.RunMove(), static_cast<int>(c.bytes.size())) << c.what;
        EXPECT_EQ(rig.coils.writes, c.bytes) << c.what;
        EXPECT_EQ(rig.Position(), c.pan) << c.what;
        EXPECT_EQ(rig.shared.With(Axis::Tilt, [](Motor& m) { return m.Position(); }), c.tilt);
    }
}

}  // namespace
}  // namespace tarvik
