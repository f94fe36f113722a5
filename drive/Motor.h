// The stepper motors: each axis's position between two limits and the half-step engine.
//
//   Step(count, direction) ──► steps to go, direction, step timer on
//   each tick, each axis:  its step due? inside the limits? ──► phase ±1 (9 → 1 going up,
//               0 → 8 going down), position ±1;  count down, stop below 1
//   then one write of every axis's coil pattern
//
// Every move ends in Step() (or MoveTo()); the step timer executes it one half-step a tick, or
// one every few ticks at a lower pace. The motors are not thread-safe by themselves:
// SharedMotor lends them out under one lock, to the step thread for a tick and to each handler
// while it reads or starts a move; what they tell is said after the lock is released.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "Axes.h"
#include "CoilOutput.h"
#include "ConfigFiles.h"
#include "Timer.h"

namespace tarvik {

// Coil pattern of one motor for phases 1 to 8, bits D3..D0; neighbours share one coil.
//   phase  1    2    3    4    5    6    7    8
//   D3..D0 1100 0100 0110 0010 0011 0001 1001 1000
inline constexpr std::uint8_t kPhasePattern[8] = {12, 4, 6, 2, 3, 1, 9, 8};

// Left and down decrease the position, right and up increase it.
enum class Direction { Left, Right };
inline constexpr Direction kDown = Direction::Left;
inline constexpr Direction kUp = Direction::Right;

// What the motors tell as they run. Called after the lock is released (on the step thread, or
// on the thread whose action stopped or ended a move), at most once per axis and kind for each
// time the lock was held, so a listener may read or move the motors itself.
class MotorListener {
  public:
    virtual ~MotorListener() = default;
    // The axis stepped in `direction`, to `position`.
    virtual void Stepped(Axis axis, std::int16_t position, Direction direction) = 0;
    // The axis's move has ended.
    virtual void MoveEnded(Axis axis, std::int16_t position) = 0;
};

class Motor {
  public:
    Motor(Axis axis, Timer& stepTimer) : axis_(axis), stepTimer_(stepTimer) {}

    // Takes over the checked configuration.
    void Load(const AxisSettings& settings);

    // Starts or redirects a move at full pace. Refuses a count of -32768, which cannot be
    // counted down.
    bool Step(std::int16_t steps, Direction direction);
    void BigMove(Direction direction) { Step(bigStep_, direction); }
    // Heads for the middle unless a move is running or the motor is already there. The way
    // there may be longer than one 16-bit count (up to 65535 half-steps): it is one move.
    void ReturnToMiddle();
    // Starts or redirects a move to `target` (within the reachable range), one half-step
    // every `pace` ticks.
    void MoveTo(std::int16_t target, int pace = 1);
    // Ends a running move where it stands.
    void Stop();
    // The work of the step timer: the half-step due this tick, if any. Returns whether the
    // axis moved this tick, so that its pattern is written.
    bool Tick();

    // Declares the current position to be `position` (Center); nothing moves.
    void SetPosition(std::int16_t position) { position_ = position; }
    void SetBigStep(std::int16_t steps) { bigStep_ = steps; }

    // The coil bits of the current phase (D3..D0); none for a phase outside 1 to 8.
    std::optional<std::uint8_t> Pattern() const;
    Axis Which() const { return axis_; }
    bool IsMoving() const { return moving_; }
    std::int16_t Position() const { return position_; }
    std::int16_t Phase() const { return phase_; }
    std::int16_t BigStep() const { return bigStep_; }
    std::int16_t MiddleStep() const { return middle_; }
    std::int16_t UpperStep() const { return upper_; }
    std::int16_t LowerStep() const { return lower_; }
    // The ends the motor reaches: the MinStep and MaxStep values.
    std::int16_t LowestPosition() const { return static_cast<std::int16_t>(lower_ - 1); }
    std::int16_t HighestPosition() const { return static_cast<std::int16_t>(upper_ + 1); }
    // At the MinStep or MaxStep value, where no further step is taken that way.
    bool AtLeftEnd() const { return position_ < lower_; }
    bool AtRightEnd() const { return upper_ < position_; }

    // What happened since the last call: whether a half-step was taken (and which way), and
    // whether the move ended. The shared motor collects these under the lock.
    struct Events {
        bool stepped = false;
        bool ended = false;
        Direction direction = Direction::Right;
    };
    Events TakeEvents() { return std::exchange(events_, {}); }

  private:
    void StartMove(std::int32_t steps, Direction direction, int pace);
    bool TakeHalfStep();
    void EndMove();

    Axis axis_;
    Timer& stepTimer_;
    std::int16_t position_ = 0;
    std::int16_t phase_ = 1;
    Direction direction_ = Direction::Right;
    std::int32_t stepsToGo_ = 0;
    bool moving_ = false;
    int pace_ = 1;       // ticks per half-step
    int sinceStep_ = 0;  // ticks since the last half-step of this move
    std::int16_t bigStep_ = 0;
    std::int16_t middle_ = 0;
    std::int16_t upper_ = 0;
    std::int16_t lower_ = 0;
    Events events_;
};

// The scroll bar that follows an axis. Guarded by the motor's lock together with the motor,
// except its value, which the window reads from any thread.
//   the motor steps ──► the bar is pushed along when the motor passes it (never back)
//   the follow, motor idle ──► bar ≠ sentTo? ──► a move towards the bar
struct ScrollState {
    int minimum = 0;
    int maximum = 0;
    // The bar value the motor was last sent towards, or where the motor last pushed the bar;
    // at the end of every move it is where the motor stands.
    std::int16_t sentTo = 0;
    std::atomic<int> value{0};

    void Load(int lowest, int highest, std::int16_t position);
    void SetValue(int v) { value.store(v, std::memory_order_relaxed); }
    int Value() const { return value.load(std::memory_order_relaxed); }
    void Stepped(std::int16_t position, Direction direction);
    void MoveEnded(std::int16_t position) { sentTo = position; }
};

// One axis: its motor and its scroll bar, reachable only under the motors' lock.
struct Channel {
    Channel(Axis axis, Timer& stepTimer) : motor(axis, stepTimer) {}
    Motor motor;
    ScrollState scroll;
};

// The motors behind their one lock, with the coils they share. Whoever reads or moves a motor
// does so inside With() or WithAll(), so every handler sees the motors between two ticks, as
// if there were only one thread; a move of several axes, or a look at all of them, is one
// critical section. Each tick writes every motor's pattern in one write (each axis's bits at
// its data lines), so that no motor ever sees another's half-written byte.
class SharedMotor {
  public:
    SharedMotor(CoilOutput& coils, Timer& stepTimer, MotorListener& listener);

    // Takes over the configuration of each axis there is (the pan always; an absent entry is
    // an axis the mount lacks) and energises the coils at the stored phases.
    void Load(const PerAxis<std::optional<AxisSettings>>& axes);
    void Load(const AxisSettings& pan, const std::optional<AxisSettings>& tilt = std::nullopt) {
        Load(PerAxis<std::optional<AxisSettings>>{pan, tilt});
    }

    // The axes while the lock is held: handed only to the action of WithAll().
    class Locked {
      public:
        // Nullptr for an axis the mount lacks.
        Channel* Find(Axis axis) {
            return owner_.present_[IndexOf(axis)] ? &owner_.channels_[IndexOf(axis)] : nullptr;
        }
        Motor& Pan() { return owner_.channels_[0].motor; }
        // `action(channel)` for every axis there is, in the table's order.
        template <typename Action>
        void ForEach(Action&& action) {
            for (const Axis axis : kAxes) {
                if (Channel* channel = Find(axis)) action(*channel);
            }
        }

      private:
        friend class SharedMotor;
        explicit Locked(SharedMotor& owner) : owner_(owner) {}
        SharedMotor& owner_;
    };

    // Runs `action(Locked&)` under the lock; what the motors tell is said after it is released.
    template <typename Action>
    decltype(auto) WithAll(Action&& action) {
        const Announcer announcer(*this);
        std::scoped_lock lock(mutex_);
        const Collector collector(*this, announcer);
        Locked locked(*this);
        return action(locked);
    }
    // Runs `action` on the pan motor under the lock.
    template <typename Action>
    decltype(auto) With(Action&& action) {
        return WithAll([&](Locked& axes) -> decltype(auto) { return action(axes.Pan()); });
    }
    // Runs `action` on the motor of `axis` under the lock, when the mount has that axis:
    // whether it ran, or what it returned (nullopt when it did not run).
    template <typename Action>
    auto With(Axis axis, Action&& action) {
        using Result = std::invoke_result_t<Action&, Motor&>;
        return WithAll([&](Locked& axes) {
            Channel* channel = axes.Find(axis);
            if constexpr (std::is_void_v<Result>) {
                if (channel != nullptr) action(channel->motor);
                return channel != nullptr;
            } else {
                return channel != nullptr ? std::optional<Result>(action(channel->motor))
                                          : std::nullopt;
            }
        });
    }
    bool Has(Axis axis) const { return present_[IndexOf(axis)]; }
    bool HasTilt() const { return Has(Axis::Tilt); }
    // The scroll bar's value of an axis, for the window, from any thread without the lock.
    int ScrollValue(Axis axis) const { return channels_[IndexOf(axis)].scroll.Value(); }
    void Tick();

  private:
    // What the axes told while the lock was held, said once it is released.
    struct Told {
        PerAxis<Motor::Events> events{};
        PerAxis<std::int16_t> positions{};
    };
    class Announcer {
      public:
        explicit Announcer(SharedMotor& owner) : owner_(owner) {}
        ~Announcer() { owner_.Announce(told); }
        Announcer(const Announcer&) = delete;
        Announcer& operator=(const Announcer&) = delete;
        mutable Told told;

      private:
        SharedMotor& owner_;
    };
    class Collector {
      public:
        Collector(SharedMotor& owner, const Announcer& announcer)
            : owner_(owner), announcer_(announcer) {}
        ~Collector() { owner_.Collect(announcer_.told); }
        Collector(const Collector&) = delete;
        Collector& operator=(const Collector&) = delete;

      private:
        SharedMotor& owner_;
        const Announcer& announcer_;
    };
    void Collect(Told& told);
    void Announce(const Told& told);
    void WriteCoils();

    std::mutex mutex_;
    CoilOutput& coils_;
    Timer& stepTimer_;
    PerAxis<Channel> channels_;
    PerAxis<bool> present_{};
    MotorListener& listener_;
};

// a + b and a - b on 16 bits; nullopt instead of a wrap-around.
std::optional<std::int16_t> Add16(std::int16_t a, std::int16_t b);
std::optional<std::int16_t> Sub16(std::int16_t a, std::int16_t b);

}  // namespace tarvik
