// The real tarvik binary, copied into a temporary directory with its Config and html.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "TarvikProcess.h"

namespace tarvik {
namespace {

using test::TcpClient;
using test::TempDir;

class BinaryTest : public ::testing::Test {
  protected:
    bool Launch(bool withoutDisplay = false) {
        QProcessEnvironment env = test::Headless();
        if (withoutDisplay) env.remove("QT_QPA_PLATFORM");
        return tarvik.Launch(env);
    }
    std::string Fetch(const std::string& path) { return tarvik.Fetch(path); }
    int Stop(int signal) { return tarvik.Stop(signal); }
    std::string Stderr() { return tarvik.Stderr(); }
    bool WaitForFile(const std::string& relPath, const std::string& text) {
        return tarvik.WaitForFile(relPath, text);
    }

    test::TarvikProcess tarvik;
    TempDir& dir = tarvik.dir;
    QProcess& process = tarvik.process;
    const std::uint16_t port = tarvik.port;
};

TEST_F(BinaryTest, SigtermSavesTheClampedPositionAndExitsCleanly) {
    dir.WriteConfig({{"/Config/Port.ini", std::to_string(port)},
                     {"/Config/totalsteps.ini", "500"},
                     {"/Config/MaxStep.ini", "300"}});
    ASSERT_TRUE(Launch()) << Stderr();
    EXPECT_EQ(Stop(SIGTERM), 0);
    EXPECT_EQ(dir.Read("/Config/totalsteps.ini"), "299\r\n");
}

TEST_F(BinaryTest, SignalsDuringAMoveSaveThePositionReached) {
    for (int signal : {SIGINT, SIGHUP}) {
        dir.WriteConfig({{"/Config/Port.ini", std::to_string(port)},
                         {"/Config/BigStep.ini", "30000"},
                         {"/Config/MaxStep.ini", "32000"}});
        ASSERT_TRUE(Launch()) << Stderr();
        EXPECT_EQ(Fetch("/turn/right"), "page Right\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(Stop(signal), 0) << signal;
        const auto saved = std::stoi(dir.Read("/Config/totalsteps.ini"));
        EXPECT_GT(saved, 0) << signal;
        EXPECT_LT(saved, 30000) << signal;
    }
}

TEST_F(BinaryTest, AnsweredMovesAreSavedWithoutWaitingForExit) {
    ASSERT_TRUE(Launch()) << Stderr();
    EXPECT_EQ(Fetch("/turn/left"), "page Left\r\n");
    EXPECT_TRUE(WaitForFile("/Config/totalsteps.ini", "-50\r\n"));
    process.kill();  // a crash: the position of the finished move is already on disk
    process.waitForFinished(5000);
    EXPECT_EQ(dir.Read("/Config/totalsteps.ini"), "-50\r\n");
}

TEST_F(BinaryTest, RepliesAreThePageFilesByteForByte) {
    const std::string page =
        "HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n\r\n"
        "<p>\xc3\xa4\x01\xff</p>";
    dir.Write("/html/Index.html", page);
    std::filesystem::remove(dir.path() + "/html/Reset.html");
    ASSERT_TRUE(Launch()) << Stderr();
    EXPECT_EQ(Fetch("/anything"), page + "\r\n");
    EXPECT_EQ(Fetch("/turn/reset"), "page NoReset\r\n");
    Fetch("/turn/right");
    EXPECT_TRUE(WaitForFile("/Config/totalsteps.ini", "50\r\n"));
    EXPECT_EQ(Fetch("/turn/reset"), "\r\n");  // a missing page is empty
    EXPECT_EQ(Fetch("/chat?hello+world").substr(10), " 127.0.0.1 hello world\r\n\r\n");
}

TEST_F(BinaryTest, RunsWithoutAnyDisplay) {
    ASSERT_TRUE(Launch(true)) << Stderr();
    EXPECT_EQ(Fetch("/"), "page Index\r\n");
    EXPECT_EQ(Stop(SIGTERM), 0);
}

TEST_F(BinaryTest, FortyThousandSequentialConnectionsAreAllAnswered) {
    ASSERT_TRUE(Launch()) << Stderr();
    constexpr int kConnections = 40000;
    QElapsedTimer clock;
    clock.start();
    int answered = 0;
    for (int i = 0; i < kConnections; ++i) answered += Fetch("/") == "page Index\r\n";
    const double seconds = static_cast<double>(clock.elapsed()) / 1000.0;
    EXPECT_EQ(answered, kConnections);
    std::printf("%d connections answered in %.2f s (%.0f per second)\n", answered, seconds,
                answered / seconds);
    EXPECT_EQ(Stop(SIGTERM), 0);
}

struct ConfigFault {
    const char* file;
    const char* content;
};

class ConfigFaultTest : public BinaryTest, public ::testing::WithParamInterface<ConfigFault> {};

TEST_P(ConfigFaultTest, StopsStartUpNamingTheFileAndChangesNothing) {
    std::map<std::string, std::string> files = {{"/Config/Port.ini", std::to_string(port)},
                                                {"/Config/totalsteps.ini", "7"}};
    files[GetParam().file] = GetParam().content;
    dir.WriteConfig(files);
    const std::string content = GetParam().content;
    if (content == "<directory>" || content == "<missing>") {
        std::filesystem::remove(dir.path() + GetParam().file);
    }
    if (content == "<directory>") std::filesystem::create_directory(dir.path() + GetParam().file);
    EXPECT_FALSE(Launch());
    if (process.state() != QProcess::NotRunning) {
        ASSERT_TRUE(process.waitForFinished(10000));
    }
    EXPECT_NE(process.exitCode(), 0);
    const std::string errors = Stderr();
    EXPECT_NE(errors.find(std::string(GetParam().file).substr(1)), std::string::npos) << errors;
    if (std::string(GetParam().file) != "/Config/totalsteps.ini") {
        EXPECT_EQ(dir.Read("/Config/totalsteps.ini"), "7");
    }
}

INSTANTIATE_TEST_SUITE_P(EachFile, ConfigFaultTest,
                         ::testing::Values(ConfigFault{"/Config/Middlestep.ini", "<missing>"},
                                           ConfigFault{"/Config/MaxStep.ini", ""},
                                           ConfigFault{"/Config/MinStep.ini", "low"},
                                           ConfigFault{"/Config/totalsteps.ini", "<directory>"},
                                           ConfigFault{"/Config/StepCount.ini", "99999"},
                                           ConfigFault{"/Config/BigStep.ini", "<missing>"},
                                           ConfigFault{"/Config/Port.ini", "70000"},
                                           ConfigFault{"/Config/Lpt.ini", "FFFFF"}));

}  // namespace
}  // namespace tarvik
