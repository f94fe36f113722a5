// The real tarvik binary, copied into a temporary directory with its Config and html.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sys/syscall.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "TarvikProcess.h"

namespace tarvik {
namespace {

using test::TarvikProcess;

// The environment of a run on the fake GPIO chip (tests/fakes/FakeGpioChip.cpp), which
// records in `log` what its lines are given.
QProcessEnvironment OnFakeChip(QProcessEnvironment env, const std::string& log) {
    env.insert("LD_PRELOAD", FAKE_GPIO_CHIP);
    env.insert("FAKE_GPIO_LOG", QString::fromStdString(log));
    env.insert("ASAN_OPTIONS", "verify_asan_link_order=0");
    return env;
}

// How many times the lines were set so far.
long SetsIn(const test::TempDir& dir, const std::string& log) {
    const std::string lines = "\n" + dir.Read(log);
    long sets = 0;
    for (auto at = lines.find("\nset "); at != std::string::npos;
         at = lines.find("\nset ", at + 1)) {
        ++sets;
    }
    return sets;
}

class BinaryTest : public ::testing::Test {
  protected:
    void Config(const std::map<std::string, std::string>& files) { tarvik.dir.WriteConfig(files); }
    std::string Saved() { return tarvik.dir.Read("/Config/totalsteps.ini"); }

    TarvikProcess tarvik;
    test::TempDir& dir = tarvik.dir;
};

// Without a display Tarvik runs its core alone; a signal runs the normal shutdown.
TEST_F(BinaryTest, HeadlessSignalsSaveThePositionReachedMidMove) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        Config({{"/Config/BigStep.ini", "30000"},
                {"/Config/MaxStep.ini", "32000"},
                {"/Config/Gpio.ini", "/dev/fake-gpiochip 4 5 6 7"}});
        std::filesystem::remove(dir.path() + "/lines.log");
        QProcessEnvironment env = OnFakeChip(test::Headless(), dir.path() + "/lines.log");
        env.remove("QT_QPA_PLATFORM");
        ASSERT_TRUE(tarvik.Launch(env)) << tarvik.Stderr();
        EXPECT_EQ(tarvik.Fetch("/turn/right"), "page Right\r\n");
        // Mid-move: the lines have taken a hundred steps of the 30000.
        EXPECT_TRUE(tarvik.WaitFor([&] { return SetsIn(dir, "/lines.log") >= 100; }));
        EXPECT_EQ(tarvik.Stop(signal), 0) << signal;
        // Saved where it stood: neither the start nor the end of the move; the phase with it,
        // one place round the cycle of eight for each half-step from phase 1.
        const int saved = std::stoi(Saved());
        EXPECT_GT(saved, 0) << signal;
        EXPECT_LT(saved, 30000) << signal;
        EXPECT_EQ(dir.Read("/Config/StepCount.ini"), std::to_string(saved % 8 + 1) + "\r\n");
    }
}

// However many signals arrive while Tarvik ends, it ends with its own exit status.
TEST_F(BinaryTest, ABurstOfSignalsAtExitStillEndsWithStatusZero) {
    Config({});
    ASSERT_TRUE(tarvik.Launch()) << tarvik.Stderr();
    const int pidfd = static_cast<int>(
        ::syscall(SYS_pidfd_open, static_cast<pid_t>(tarvik.process.processId()), 0));
    ASSERT_GE(pidfd, 0);
    std::atomic<bool> done{false};
    std::thread burst([&] {
        for (int i = 0; !done; ++i) {
            const int signal = std::array{SIGTERM, SIGINT, SIGHUP}[i % 3];
            if (::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) != 0) break;
        }
    });
    EXPECT_TRUE(tarvik.process.waitForFinished(20000));
    done = true;
    burst.join();
    ::close(pidfd);
    EXPECT_EQ(tarvik.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(tarvik.process.exitCode(), 0);
}

// A reader of the request log or of the notices that goes away ends neither Tarvik nor its
// saves.
TEST_F(BinaryTest, ClosedOutputsEndNeitherTarvikNorItsSaves) {
    Config({{"/Config/totalsteps.ini", "0"}});
    ::chmod((dir.path() + "/Config/totalsteps.ini").c_str(), 0444);  // every save a notice
    tarvik.wrapper = {"sh", "-c", "exec \"$0\" --log-requests",
                      QString::fromStdString(dir.path() + "/tarvik")};
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    ::close(pipe[0]);  // the reader has gone before anything is written
    tarvik.outputs = pipe[1];
    ASSERT_TRUE(tarvik.Launch());
    ::close(pipe[1]);
    // Each move ends, with its save attempted and a notice written, before the next: the
    // phase it ends at is saved.
    for (const auto& [path, phase] : {std::pair{"/", "1\r\n"},
                                      {"/", "1\r\n"},
                                      {"/turn/right", "3\r\n"},
                                      {"/turn/left", "1\r\n"},
                                      {"/turn/right", "3\r\n"}}) {
        EXPECT_EQ(tarvik.Fetch(path).empty(), false) << path;
        EXPECT_TRUE(tarvik.WaitForFile("/Config/StepCount.ini", phase)) << path;
    }
    EXPECT_EQ(tarvik.Stop(SIGTERM), 2);  // the position file is read-only: said, not fatal
}

// The options print and end before anything is touched; --config names the folder that
// holds Config and html; the summary on standard error says what Tarvik got.
TEST_F(BinaryTest, CommandLineOptionsAndTheStartUpSummary) {
    // Each quick run: option, exit status, the start of standard output, of standard error.
    const std::tuple<const char*, int, const char*, const char*> quickRuns[] = {
        {"--version", 0, "tarvik 1.0\n", ""},
        {"--help", 0, "Usage: tarvik [--config DIR]", ""},
        {"--config", 1, "", "tarvik: --config needs a folder\nUsage: tarvik"},
        {"--bogus", 1, "", "tarvik: unknown option \"--bogus\"\nUsage: tarvik"},
        {"--check", 0, "tarvik: Config folder ", ""},
    };
    for (const auto& [option, status, printed, error] : quickRuns) {
        QProcess quick;
        quick.start(QString::fromStdString(dir.path() + "/tarvik"), {option});
        ASSERT_TRUE(quick.waitForFinished(20000));
        EXPECT_EQ(quick.exitCode(), status) << option;
        EXPECT_EQ(quick.readAllStandardOutput().toStdString().rfind(printed, 0), 0u) << option;
        const std::string errors = quick.readAllStandardError().toStdString();
        EXPECT_EQ(errors.rfind(error, 0), 0u) << option << errors;
        EXPECT_EQ(errors.empty(), *error == 0) << option;
    }
    QProcess check;
    check.start(QString::fromStdString(dir.path() + "/tarvik"),
                {"--config", "/nonexistent", "--check"});
    ASSERT_TRUE(check.waitForFinished(20000));
    EXPECT_EQ(check.exitCode(), 1);
    EXPECT_EQ(check.readAllStandardError().toStdString(),
              "tarvik: check failed: The Config folder \"/nonexistent/Config\" is missing\n");
    test::TempDir elsewhere;
    elsewhere.WriteConfig({{"/Config/Listen.ini", "127.0.0.1\n"}});
    elsewhere.WritePages();
    std::filesystem::remove_all(dir.path() + "/Config");
    tarvik.wrapper = {"sh", "-c", "exec \"$0\" --config \"$1\" --log-requests",
                      QString::fromStdString(dir.path() + "/tarvik"),
                      QString::fromStdString(elsewhere.path())};
    ASSERT_TRUE(tarvik.Launch()) << tarvik.Stderr();
    EXPECT_EQ(tarvik.Fetch("/turn/right"), "page Right\r\n");
    EXPECT_TRUE(
        tarvik.WaitFor([&] { return elsewhere.Read("/Config/totalsteps.ini") == "50\r\n"; }));
    EXPECT_TRUE(tarvik.WaitFor([&] { return elsewhere.Read("/Config/StepCount.ini") == "3\r\n"; }));
    for (const std::string& line : std::vector<std::string>{
             "tarvik: Tarvik 1.0\n", "tarvik: Config folder: " + elsewhere.path() + "/Config\n",
             "tarvik: listening on TCP port " + std::to_string(tarvik.port) +
                 " on 127.0.0.1 only: http://127.0.0.1:" + std::to_string(tarvik.port) + "/\n",
             "tarvik: coils: Port 0x378: simulated: ", "tarvik: step thread: ",
             "tarvik: hot keys: none: Alt+Z not held, Alt+X not held (not available without "
             "an X11 or Wayland session)\n"}) {
        EXPECT_TRUE(tarvik.WaitForStderr(line)) << line << tarvik.Stderr();
    }
    // A journal's first line is the banner, and the hot keys are said once.
    EXPECT_EQ(tarvik.Stderr().rfind("tarvik: Tarvik 1.0\n", 0), 0u) << tarvik.Stderr();
    const std::string said = tarvik.Stderr();
    EXPECT_EQ(said.find("ot key"), said.rfind("ot key")) << said;
    EXPECT_FALSE(test::TcpClient(tarvik.port, true).connected());  // not on ::1
    EXPECT_EQ(tarvik.Stop(SIGTERM), 0);
    EXPECT_TRUE(tarvik.Stderr().ends_with("tarvik: saved: pan at 50 phase 3; coils off\n"))
        << tarvik.Stderr();
    const std::string logged = tarvik.process.readAllStandardOutput().toStdString();
    EXPECT_NE(logged.find("] 127.0.0.1 /turn/right\n"), std::string::npos) << logged;
}

// Two on one folder would overwrite each other's position: the second stops before it
// touches anything, and the first runs on.
TEST_F(BinaryTest, ASecondTarvikOnTheSameConfigFolderStopsAtOnce) {
    Config({});
    ASSERT_TRUE(tarvik.Launch()) << tarvik.Stderr();
    EXPECT_EQ(tarvik.Fetch("/turn/right"), "page Right\r\n");
    ASSERT_TRUE(tarvik.WaitForFile("/Config/totalsteps.ini", "50\r\n"));
    QProcess second;
    second.setProcessEnvironment(test::Headless());
    second.start(QString::fromStdString(dir.path() + "/tarvik"), {});
    ASSERT_TRUE(second.waitForFinished(20000));
    EXPECT_EQ(second.exitCode(), 1);
    const std::string errors = second.readAllStandardError().toStdString();
    EXPECT_NE(errors.find("\"" + dir.path() + "/Config\" is already in use by tarvik (process " +
                          std::to_string(tarvik.process.processId()) + ")"),
              std::string::npos)
        << errors;
    EXPECT_EQ(tarvik.Fetch("/turn/left"), "page Left\r\n");
    EXPECT_TRUE(tarvik.WaitForFile("/Config/totalsteps.ini", "0\r\n"));
    EXPECT_EQ(tarvik.Stop(SIGTERM), 0);
}

// Where the position file can or cannot be saved. Each case: what start-up says, whether
// the end of a move is saved (or reported on standard error), the exit status.
struct SaveCase {
    const char* name;
    void (*prepare)(TarvikProcess&);
    const char* startupNotice;  // on standard error before the port answers, or ""
    bool saved;
    int exitStatus;
};

const SaveCase kSaveCases[] = {
    {"LinkFollowedAndKept",
     [](TarvikProcess& t) {
         t.dir.Write("/state/position", "0\r\n");
         std::filesystem::remove(t.dir.path() + "/Config/totalsteps.ini");
         std::filesystem::create_symlink("../state/position",
                                         t.dir.path() + "/Config/totalsteps.ini");
     },
     "", true, 0},
    {"ReadOnlyFileNotWritten",
     [](TarvikProcess& t) { ::chmod((t.dir.path() + "/Config/totalsteps.ini").c_str(), 0444); },
     "The position cannot be saved to \"", false, 2},
    {"ReadOnlyFolderWrittenInPlace",
     [](TarvikProcess& t) {
         t.RunUnprivileged();
         ::chmod((t.dir.path() + "/Config").c_str(), 0555);
     },
     "totalsteps.ini\" are not atomic: ", true, 0},
    {"InPlaceWriteBeyondTheFileSizeLimitReported",
     [](TarvikProcess& t) {
         t.wrapper = {"prlimit", "--fsize=1", "--"};
         t.RunUnprivileged();
         ::chmod((t.dir.path() + "/Config").c_str(), 0555);
     },
     "totalsteps.ini\" are not atomic: ", false, 2},
};

void PrintTo(const SaveCase& c, std::ostream* out) {
    *out << c.name;
}

class SaveTest : public BinaryTest, public ::testing::WithParamInterface<SaveCase> {};

TEST_P(SaveTest, ASaveNeverFailsSilentlyAndNeverWritesWhereItMustNot) {
    const SaveCase& c = GetParam();
    Config({{"/Config/totalsteps.ini", "0\r\n"}});
    c.prepare(tarvik);
    const bool link = std::filesystem::is_symlink(dir.path() + "/Config/totalsteps.ini");
    ASSERT_TRUE(tarvik.Launch()) << tarvik.Stderr();
    EXPECT_TRUE(tarvik.WaitForStderr(c.startupNotice)) << tarvik.Stderr();
    EXPECT_EQ(tarvik.Fetch("/turn/right"), "page Right\r\n");
    if (c.saved) {
        EXPECT_TRUE(tarvik.WaitForFile("/Config/totalsteps.ini", "50\r\n"));
    } else {
        EXPECT_TRUE(tarvik.WaitForStderr("Position 50 not saved to \"" + dir.path() +
                                         "/Config/totalsteps.ini\": "))
            << tarvik.Stderr();
    }
    EXPECT_EQ(tarvik.Stop(SIGTERM), c.exitStatus) << tarvik.Stderr();
    EXPECT_EQ(Saved(), c.saved ? "50\r\n" : "0\r\n");
    EXPECT_EQ(std::filesystem::is_symlink(dir.path() + "/Config/totalsteps.ini"), link);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path() + "/Config"), {}), 8);
}

INSTANTIATE_TEST_SUITE_P(Cases, SaveTest, ::testing::ValuesIn(kSaveCases),
                         [](const auto& test) { return std::string(test.param.name); });

// A damaged file (each kind is told apart by the config reader's tests) stops start-up
// naming it, with exit status 1 and no file changed. Coils that cannot be driven (no Lpt.ini, no
// GPIO chip) are simulated, and the start-up lines say why; with --require-coils they stop
// start-up instead, saying the same.
TEST_F(BinaryTest, ADamagedConfigFileStopsStartUpNamingItAndChangesNothing) {
    struct Case {
        const char* file;
        const char* damage;
        const char* simulated;  // nullptr: start-up stops
        bool requireCoils;
    };
    const Case cases[] = {
        {"/Config/MaxStep.ini", "<missing>", nullptr, false},
        {"/Config/Port.ini", "70000", nullptr, false},
        {"/Config/Listen.ini", "localhost", nullptr, false},
        {"/Config/Onvif.ini", "port = 8899\nuser = admin", nullptr, false},
        {"/Config/Middlestep.ini", "<big>", nullptr, false},
        {"/Config/Lpt.ini", "<missing>", "Port 0x0: simulated: no port address configured", false},
        {"/Config/Lpt.ini", "<missing>", "Port 0x0: simulated: no port address configured", true},
        {"/Config/Lpt.ini", "378", "Port 0x378: simulated: ", true},
        {"/Config/Gpio.ini", "no-such-chip 1 2 3 4",
         "GPIO no-such-chip: simulated: cannot request the lines of /dev/no-such-chip: ", false},
        {"/Config/Gpio.ini", "no-such-chip 1 2 3 4",
         "GPIO no-such-chip: simulated: cannot request the lines of /dev/no-such-chip: ", true},
    };
    for (const Case& c : cases) {
        const bool runs = c.simulated != nullptr && !c.requireCoils;
        TarvikProcess t;
        if (c.requireCoils) t.arguments << "--require-coils";
        std::map<std::string, std::string> files{{"/Config/totalsteps.ini", "7"}};
        files[c.file] = c.damage;
        t.dir.WriteConfig(files);
        if (std::string(c.damage) == "<big>") t.dir.Write(c.file, std::string(10 << 20, '7'));
        EXPECT_EQ(t.Launch(), runs) << c.file << " " << c.damage << t.Stderr();
        if (runs) {
            EXPECT_TRUE(t.WaitForStderr(std::string("coils: ") + c.simulated)) << t.Stderr();
            EXPECT_EQ(t.Stop(SIGTERM), 0);
            continue;
        }
        t.process.waitForFinished(10000);
        EXPECT_EQ(t.process.exitCode(), 1) << c.file;
        const std::string said =
            c.simulated != nullptr
                ? std::string("cannot start: The coils cannot be driven (") + c.simulated
                : "cannot start: \"" + t.dir.path() + c.file;
        EXPECT_NE(t.Stderr().find(said), std::string::npos) << t.Stderr();
        EXPECT_LT(t.Stderr().size(), 2000u) << "the message names the file, it does not repeat it";
        EXPECT_EQ(t.dir.Read("/Config/totalsteps.ini"), "7");
    }
}

// --check says what a run would get without touching it: GPIO lines are probed on the chip
// (opened read-only, nothing requested), the limits are said as the files hold them, and
// values that are legal but leave the camera still or strange are warned about, while the
// check still passes.
TEST_F(BinaryTest, TheCheckProbesTheLinesWithoutRequestingThemAndWarnsOfStrangeValues) {
    const std::string chip = "/Config/Gpio.ini";
    const std::vector<std::pair<std::map<std::string, std::string>, std::string>> cases = {
        {{{chip, "gpiochip99 1 2 3 4"}},
         "coils: GPIO gpiochip99: cannot open /dev/gpiochip99: No such file or directory: a run "
         "would simulate the coils"},
        {{{chip, "/dev/fake-gpiochip 4 5 6 7"}},
         "coils: GPIO /dev/fake-gpiochip [fake], 32 lines: 4 5 6 7 free (not requested by "
         "--check)"},
        {{{chip, "/dev/fake-gpiochip 4 5 6 40"}},
         "coils: GPIO /dev/fake-gpiochip [fake], 32 lines: line 40 does not exist: a run would "
         "simulate the coils"},
        {{{chip, "/dev/fake-gpiochip 12 13 14 15"}},
         "[fake], 32 lines: line 13 is in use by other: a run would simulate"},
        {{{"/Config/Lpt.ini", "0"}}, "/Config/Lpt.ini is read as 0: the coils would be simulated"},
        {{{"/Config/BigStep.ini", "0"}}, "/Config/BigStep.ini holds 0: a big step would not move"},
        {{{"/Config/BigStep.ini", "-5"}}, "/Config/BigStep.ini holds -5: a big step would turn"},
        {{{"/Config/Middlestep.ini", "500"}},
         "/Config/Middlestep.ini holds 500, outside the limits"},
        {{{"/Config/StepCount.ini", "9"}}, "/Config/StepCount.ini holds 9, outside 1 to 8"},
        {{{"/Config/Port.ini", "0"}}, "/Config/Port.ini holds 0: the web server would listen on a"},
        {{{"/Config/MaxStep.ini", "120"}, {"/Config/MinStep.ini", "-80"}},
         "pan motor: CAMERA/Config, limits -80 to 120, at 0, middle 0, big step 50"},
        {{{"/Config/Onvif.ini", "port = 8899"}, {"/Config/Presets.ini", "1 201 0 far\nhome 5 0"}},
         "Presets.ini preset 1 lies outside the limits"},
        {{{"/Config/Onvif.ini", "port = 8899"}, {"/Config/Presets.ini", "home 5 0"}},
         "Presets.ini preset home has no name"},
        {{{"/Config/Onvif.ini", "port = 8899\nfov = 62.2"}},
         "Onvif.ini: a field of view needs both its angle and its steps per degree"},
        {{{chip, "/dev/fake-gpiochip 4 5 6 7\ntilt /dev/fake-gpiochip 8 9 10 11"}},
         "/Config/Gpio.ini names tilt lines but there is no "},
    };
    for (const auto& [files, said] : cases) {
        test::TempDir camera;
        std::map<std::string, std::string> withPort{{"/Config/Port.ini", "8534"}};
        for (const auto& [file, text] : files) withPort[file] = text;
        camera.WriteConfig(withPort);
        QProcess check;
        check.setProcessEnvironment(OnFakeChip(test::Headless(), camera.path() + "/lines.log"));
        check.start(QString::fromStdString(dir.path() + "/tarvik"),
                    {"--config", QString::fromStdString(camera.path()), "--check"});
        ASSERT_TRUE(check.waitForFinished(20000));
        const std::string printed = check.readAllStandardOutput().toStdString();
        EXPECT_EQ(check.exitCode(), 0) << said << printed;
        std::string expected = said;
        if (expected.find("CAMERA") != std::string::npos) {
            expected.replace(expected.find("CAMERA"), 6, camera.path());
        }
        EXPECT_NE(printed.find(expected), std::string::npos) << printed;
        const bool warns = said.find(" holds ") != std::string::npos ||
                           said.find(" is read as 0") != std::string::npos ||
                           said.find(" preset ") != std::string::npos ||
                           said.find(" needs both ") != std::string::npos ||
                           said.find(" names tilt lines ") != std::string::npos;
        EXPECT_EQ(printed.find("warning: ") != std::string::npos, warns) << printed;
        EXPECT_EQ(camera.Read("/lines.log"), "") << "nothing requested or set";
        // With --require-coils, coils that a run would simulate fail the check.
        const bool drivable = said.find(" free ") != std::string::npos ||
                              said.find(" names tilt lines ") != std::string::npos;
        check.start(
            QString::fromStdString(dir.path() + "/tarvik"),
            {"--config", QString::fromStdString(camera.path()), "--check", "--require-coils"});
        ASSERT_TRUE(check.waitForFinished(20000));
        EXPECT_EQ(check.exitCode(), drivable ? 0 : 1) << said;
    }
}

// A crash of any kind switches the coils off before the process ends with its signal, and no
// step is written after the switch-off: the GPIO lines of a chip that records what they are
// given show it, during a move and while the coils hold a phase.
TEST_F(BinaryTest, ACrashSwitchesTheCoilsOffAndNothingIsWrittenAfter) {
    const std::tuple<int, bool, bool> cases[] = {
        {SIGSEGV, true, false}, {SIGSEGV, false, false}, {SIGBUS, true, true},
        {SIGFPE, false, true},  {SIGILL, true, false},   {SIGABRT, false, false},
    };
    for (const auto& [signal, moving, activeLow] : cases) {
        TarvikProcess t;
        t.dir.WriteConfig({{"/Config/BigStep.ini", "30000"},
                           {"/Config/MaxStep.ini", "32000"},
                           {"/Config/Gpio.ini", std::string("/dev/fake-gpiochip 4 5 6 7") +
                                                    (activeLow ? " active-low" : "")}});
        ASSERT_TRUE(t.Launch(OnFakeChip(test::Headless(), t.dir.path() + "/lines.log")))
            << t.Stderr();
        ASSERT_TRUE(t.WaitFor([&] { return SetsIn(t.dir, "/lines.log") >= 1; }))
            << t.dir.Read("/lines.log");  // energised
        if (moving) {
            EXPECT_EQ(t.Fetch("/turn/right"), "page Right\r\n");
            ASSERT_TRUE(t.WaitFor([&] { return SetsIn(t.dir, "/lines.log") >= 100; }));
        }
        ::kill(static_cast<pid_t>(t.process.processId()), signal);
        ASSERT_TRUE(t.process.waitForFinished(20000));
        EXPECT_EQ(t.process.exitStatus(), QProcess::CrashExit) << signal;
        EXPECT_EQ(t.process.exitCode(), signal);
        const std::string lines = t.dir.Read("/lines.log");
        const std::string off = activeLow ? "set f/f\n" : "set 0/f\n";
        EXPECT_TRUE(lines.ends_with(off)) << signal << ": " << lines.substr(lines.size() - 40);
        // The one before is a coil pattern: the switch-off came once, at the end.
        const std::string before = lines.substr(0, lines.size() - off.size());
        const std::string last = before.substr(before.rfind('\n', before.size() - 2) + 1);
        EXPECT_EQ(last.rfind("set ", 0), 0u) << signal << ": " << last;
        EXPECT_NE(last.rfind(off.substr(0, 6), 0), 0u) << signal << ": " << last;
    }
}

}  // namespace
}  // namespace tarvik
