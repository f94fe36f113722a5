// The core without widgets: start-up, the step thread, saving and shutdown.
#include "Station.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "Fakes.h"
#include "TcpClient.h"
#include "TempDir.h"
#include "WebFakes.h"

namespace tarvik {
namespace {

using test::ServeUntil;

class StationTest : public ::testing::Test {
  protected:
    void Start(const std::map<std::string, std::string>& overrides = {}, bool pages = true) {
        dir.WriteConfig(overrides);
        if (pages) dir.WritePages();
        station = std::make_unique<Station>(dir.path(), Coils(), keys, clock);
        const auto failure = station->Start();
        ASSERT_FALSE(failure) << *failure;
    }
    CoilFactory Coils() {
        return [this](const DriveSettings&) {
            auto output = std::make_unique<test::RecordingCoils>();
            coils = output.get();
            return output;
        };
    }
    bool Idle() {
        return ServeUntil([this] { return !station->IsMoving(); });
    }
    bool Saved(const std::string& text) {
        return ServeUntil([&] { return dir.Read("/Config/totalsteps.ini") == text; });
    }

    test::TempDir dir;
    NoHotKeys keys{"no display here"};
    test::FakeClock clock;
    test::RecordingCoils* coils = nullptr;
    std::unique_ptr<Station> station;
};

TEST_F(StationTest, StartUpEnergisesTheStoredPhaseListensAndSaysWhatItLacks) {
    Start({{"/Config/StepCount.ini", "3"}, {"/Config/totalsteps.ini", "500"}}, false);
    EXPECT_EQ(coils->writes, std::vector<int>{6});
    EXPECT_EQ(station->Position(), 200);  // taken back to the MaxStep value
    EXPECT_EQ(station->Scroll().Minimum(), -200);
    EXPECT_EQ(station->Scroll().Maximum(), 200);
    EXPECT_EQ(station->Scroll().Value(), 200);
    EXPECT_NE(station->ListeningPort(), 0);
    EXPECT_EQ(station->Notices().front(),
              "No page folder \"" + dir.path() + "/html\": every page is sent empty");
}

TEST_F(StationTest, MovesRunOnTheStepThreadAndEachEndIsSavedAndShutdownSwitchesOffOnce) {
    test::StdinClosed closed;  // the step timer gets descriptor 0
    Start({{"/Config/BigStep.ini", "20"}});
    // Memory is locked only without a size limit; with one, later allocations would fail.
    rlimit memlock{};
    ASSERT_EQ(::getrlimit(RLIMIT_MEMLOCK, &memlock), 0);
    EXPECT_EQ(station->StepPriority().find("memory not locked (RLIMIT_MEMLOCK is limited)") !=
                  std::string::npos,
              memlock.rlim_cur != RLIM_INFINITY)
        << station->StepPriority();
    station->BigMove(Direction::Right);
    ASSERT_TRUE(Idle());
    EXPECT_EQ(station->Position(), 20);
    EXPECT_TRUE(Saved("20\r\n"));
    station->SingleStep(Direction::Left);
    ASSERT_TRUE(Idle());
    EXPECT_TRUE(Saved("19\r\n"));
    station->ReturnToMiddle();
    ASSERT_TRUE(Idle());
    EXPECT_EQ(coils->writes.size(), 1u + 20 + 1 + 19);
    dir.Write("/Config/totalsteps.ini", "7");
    station->Shutdown();
    station->Shutdown();
    EXPECT_EQ(dir.Read("/Config/totalsteps.ini"), "0\r\n");
    EXPECT_EQ(std::count(coils->writes.begin(), coils->writes.end(), -1), 1);
    station->DragScroll(30);  // after shutdown nothing moves any more
    ServeUntil([] { return false; }, 100);
    EXPECT_FALSE(station->IsMoving());
    EXPECT_EQ(station->Position(), 0);
    EXPECT_FALSE(station->Scroll().Settled());  // the bar was dragged, but nothing followed
    station.reset();  // its descriptors closed before standard input comes back
}

TEST_F(StationTest, AFailedSaveIsANoticeUntilASaveSucceeds) {
    Start({{"/Config/BigStep.ini", "5"}});
    ::chmod((dir.path() + "/Config/totalsteps.ini").c_str(), 0444);
    station->BigMove(Direction::Right);
    const std::string failed =
        "Position 5 not saved to \"" + dir.path() + "/Config/totalsteps.ini\"";
    ASSERT_TRUE(ServeUntil([&] { return station->Notices().front().starts_with(failed); }));
    ::chmod((dir.path() + "/Config/totalsteps.ini").c_str(), 0644);
    station->BigMove(Direction::Right);
    ASSERT_TRUE(Saved("10\r\n"));
    for (const std::string& notice : station->Notices())
        EXPECT_EQ(notice.find("not saved"), std::string::npos);
    station->Shutdown();
    EXPECT_FALSE(station->LastSaveFailed());
}

// Both axes, ONVIF and the web share the motors with the step thread: web turns of each axis
// while a preset moves both (the way ONVIF moves them), then a dragged tilt bar followed
// without a window. Each ends where the last command sent it, and both are saved.
TEST_F(StationTest, TwoAxesShareTheMotorsWithTheWebOnvifAndTheFollow) {
    const std::uint16_t onvifPort = test::FreeTcpPort();
    Start({{"/Config/Tilt/Middlestep.ini", "0"},
           {"/Config/Tilt/MaxStep.ini", "100"},
           {"/Config/Tilt/MinStep.ini", "-100"},
           {"/Config/Tilt/totalsteps.ini", "0"},
           {"/Config/Tilt/StepCount.ini", "1"},
           {"/Config/Tilt/BigStep.ini", "20"},
           {"/Config/Onvif.ini", "port = " + std::to_string(onvifPort) + "\ndiscovery = off\n"}});
    ASSERT_TRUE(station->HasTilt());
    ASSERT_FALSE(station->SavePreset("corner"));  // at 0, 0
    const auto fetch = [this](const char* path) {
        return test::WhileServing([port = station->ListeningPort(), path] {
            test::TcpClient client(port);
            client.Send(std::string("GET ") + path + " HTTP/1.1\r\n\r\n");
            return client.ReadAll();
        });
    };
    EXPECT_EQ(fetch("/turn/right"), "page Right\r\n");
    station->GoToPreset(station->Presets().front().token);
    EXPECT_EQ(fetch("/turn/up"), "\r\n");  // the tilt's pages are not written here
    ASSERT_TRUE(Idle());
    station->BigMove(kUp, Axis::Tilt);
    ASSERT_TRUE(Idle());
    station->DragScroll(-35, Axis::Tilt);
    ASSERT_TRUE(
        ServeUntil([&] { return station->Position(Axis::Tilt) == -35 && !station->IsMoving(); }));
    EXPECT_EQ(station->Position(Axis::Pan), 0);
    ASSERT_TRUE(ServeUntil([&] { return dir.Read("/Config/Tilt/totalsteps.ini") == "-35\r\n"; }));
    station->Shutdown();
    EXPECT_EQ(dir.Read("/Config/totalsteps.ini"), "0\r\n");
}

// The coils were energised before the listener failed: they must not stay so.
TEST_F(StationTest, APortInUseStopsStartUpWithTheCoilsOff) {
    const int blocker = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length);
    dir.WriteConfig({{"/Config/Port.ini", std::to_string(ntohs(address.sin6_port))}});
    Station failing(dir.path(), Coils(), keys, clock);
    const auto failure = failing.Start();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->rfind("Cannot listen on TCP port ", 0), 0u) << *failure;
    EXPECT_EQ(coils->writes, (std::vector<int>{12, -1}));
    ::close(blocker);
}

// Without descriptors for the step thread's timer or for its way back to the event loop the
// motor would never move, or its moves would never be saved: start-up stops and says why.
TEST_F(StationTest, WithoutDescriptorsForTheStepThreadStartUpStopsWithTheReason) {
    dir.WriteConfig();
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    for (const auto& [free, message] :
         {std::pair{1, "No step thread: no step timer: Too many open files"},
          {2, "No wake-up for the event loop: Too many open files"}}) {
        // Every descriptor below a new limit taken but `free` of them.
        std::vector<int> taken;
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
            taken.push_back(fd);
            if (fd >= 4096) break;
        }
        rlimit scarce = saved;
        scarce.rlim_cur = static_cast<rlim_t>(taken.back()) + 1;
        ::setrlimit(RLIMIT_NOFILE, &scarce);
        for (int i = 0; i < free; ++i) {
            ::close(taken.back());
            taken.pop_back();
        }
        std::optional<std::string> failure;
        {
            Station scarceStation(dir.path(), Coils(), keys, clock);
            failure = scarceStation.Start();
        }
        ::setrlimit(RLIMIT_NOFILE, &saved);
        for (int fd : taken) ::close(fd);
        EXPECT_EQ(failure.value_or("started"), message);
    }
}

}  // namespace
}  // namespace tarvik
