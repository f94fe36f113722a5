// The step thread driving a real motor while this thread reads and starts moves, as the
// handlers do. Run under ThreadSanitizer too.
#include "StepEngine.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <future>
#include <thread>

#include "Fakes.h"

namespace tarvik {
namespace {

TEST(StepEngine, TicksAMoveToItsEndOnItsOwnThreadBesideReaders) {
    test::StdinClosed closed;  // the step timer gets descriptor 0
    test::RecordingCoils coils;
    test::RecordingListener listener;
    std::unique_ptr<SharedMotor> motor;
    StepEngine engine([&motor] { motor->Tick(); });
    motor = std::make_unique<SharedMotor>(coils, engine, listener);
    motor->Load(test::Settings(-999, 999, 0, 1, 200));
    // Memory is locked only without a size limit; with one, later allocations would fail.
    rlimit memlock{};
    ASSERT_EQ(::getrlimit(RLIMIT_MEMLOCK, &memlock), 0);
    EXPECT_EQ(engine.Priority().find("memory not locked (RLIMIT_MEMLOCK is limited)") !=
                  std::string::npos,
              memlock.rlim_cur != RLIM_INFINITY)
        << engine.Priority();
    motor->With([](Motor& m) { m.BigMove(Direction::Right); });
    int lastSeen = 0;
    for (int i = 0; i < 20000 && motor->With([](Motor& m) { return m.IsMoving(); }); ++i) {
        const int position = motor->With([](Motor& m) { return m.Position(); });
        EXPECT_GE(position, lastSeen);  // never seen half-way through a tick
        lastSeen = position;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    engine.Stop();
    motor->With([](Motor& m) {
        EXPECT_EQ(m.Position(), 200);
        EXPECT_FALSE(m.IsMoving());
    });
    EXPECT_EQ(coils.writes.size(), 201u);  // one per tick after the energising write
    EXPECT_EQ(listener.ended, std::vector<int>{200});
}

// With descriptors for the timer but not for the wake-up, the engine says it has no step
// timer and still stops (a hang is reported as a failure, not waited for).
TEST(StepEngine, WithoutDescriptorsThereIsNoStepTimerAndStopStillReturns) {
    const int lowestFree = ::dup(2);
    ::close(lowestFree);
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    auto result = std::make_shared<std::promise<std::string>>();
    std::thread([result, lowestFree, saved] {
        rlimit scarce = saved;
        scarce.rlim_cur = static_cast<rlim_t>(lowestFree) + 1;
        ::setrlimit(RLIMIT_NOFILE, &scarce);
        std::string priority;
        {
            StepEngine engine([] {});
            ::setrlimit(RLIMIT_NOFILE, &saved);
            priority = engine.Priority();
        }
        result->set_value(priority);
    }).detach();
    auto priority = result->get_future();
    ASSERT_EQ(priority.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(priority.get(), "no step timer: Too many open files");
}

}  // namespace
}  // namespace tarvik
