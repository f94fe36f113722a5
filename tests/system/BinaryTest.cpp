// The real tarvik binary, copied into a temporary directory with its Config and html.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
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
    EXPECT_EQ(dir.Read("/Config/totalsteps.ini"), "300\r\n");
}

// Two on one folder would overwrite each other's position: the second stops before it
// touches anything, and the first runs on.
TEST_F(BinaryTest, ASecondTarvikOnTheSameConfigFolderStopsAtOnce) {
    ASSERT_TRUE(Launch()) << Stderr();
    EXPECT_EQ(Fetch("/turn/right"), "page Right\r\n");
    ASSERT_TRUE(WaitForFile("/Config/totalsteps.ini", "50\r\n"));
    QProcess second;
    second.setProcessEnvironment(test::Headless());
    second.start(QString::fromStdString(dir.path() + "/tarvik"), {});
    ASSERT_TRUE(second.waitForFinished(20000));
    EXPECT_EQ(second.exitCode(), 1);
    const std::string errors = second.readAllStandardError().toStdString();
    EXPECT_NE(errors.find("\"" + dir.path() + "/Config\" is already in use by"), std::string::npos)
        << errors;
    EXPECT_NE(errors.find("(process " + std::to_string(process.processId()) + ")"),
              std::string::npos)
        << errors;
    EXPECT_EQ(dir.Read("/Config/totalsteps.ini"), "50\r\n");
    EXPECT_EQ(Fetch("/turn/left"), "page Left\r\n");
    EXPECT_TRUE(WaitForFile("/Config/totalsteps.ini", "0\r\n"));
    EXPECT_EQ(Stop(SIGTERM), 0);
    EXPECT_EQ(dir.Read("/Config/totalsteps.ini"), "0\r\n");
}

// Where the position file can or cannot be saved. Each case: what start-up says, whether
// the end of a move is saved (or reported on standard error), the exit status.
struct SaveCase {
    const char* name;
    void (*prepare)(test::TarvikProcess&);
    const char* startupNotice;  // on standard error before the port answers, or ""
    bool saved;                 // the move's end reaches the position
    int exitStatus;
};

const SaveCase kSaveCases[] = {
    {"LinkFollowedAndKept",
     [](test::TarvikProcess& t) {
         t.dir.Write("/state/position", "0\r\n");
         std::filesystem::remove(t.dir.path() + "/Config/totalsteps.ini");
         std::filesystem::create_symlink("../state/position",
                                         t.dir.path() + "/Config/totalsteps.ini");
     },
     "", true, 0},
    {"ReadOnlyFileNotWritten",
     [](test::TarvikProcess& t) {
         ::chmod((t.dir.path() + "/Config/totalsteps.ini").c_str(), 0444);
     },
     "The position cannot be saved to \"Config/totalsteps.ini\": ", false, 2},
    {"ReadOnlyFolderWrittenInPlace",
     [](test::TarvikProcess& t) {
         t.RunUnprivileged();
         ::chmod((t.dir.path() + "/Config").c_str(), 0555);
     },
     "Saves of \"Config/totalsteps.ini\" are not atomic: ", true, 0},
    {"FileSizeLimitReported",
     [](test::TarvikProcess& t) {
         t.wrapper = {"prlimit", "--fsize=1", "--"};
     },
     "", false, 2},
};

class SaveTest : public BinaryTest, public ::testing::WithParamInterface<SaveCase> {};

TEST_P(SaveTest, ASaveNeverFailsSilentlyAndNeverWritesWhereItMustNot) {
    const SaveCase& c = GetParam();
    dir.WriteConfig(
        {{"/Config/Port.ini", std::to_string(port)}, {"/Config/totalsteps.ini", "0\r\n"}});
    c.prepare(tarvik);
    const bool link = std::filesystem::is_symlink(dir.path() + "/Config/totalsteps.ini");
    ASSERT_TRUE(Launch()) << Stderr();
    if (*c.startupNotice != '\0') {
        EXPECT_NE(Stderr().find(c.startupNotice), std::string::npos) << Stderr();
    }
    EXPECT_EQ(Fetch("/turn/right"), "page Right\r\n");
    if (c.saved) {
        EXPECT_TRUE(WaitForFile("/Config/totalsteps.ini", "50\r\n"));
    } else {
        EXPECT_TRUE(tarvik.WaitForStderr("Position 50 not saved to \"" + dir.path() +
                                         "/Config/totalsteps.ini\": "))
            << Stderr();
    }
    EXPECT_EQ(Fetch("/"), "page Index\r\n");
    EXPECT_EQ(Stop(SIGTERM), c.exitStatus) << Stderr();
    EXPECT_EQ(dir.Read("/Config/totalsteps.ini"), c.saved ? "50\r\n" : "0\r\n");
    EXPECT_EQ(std::filesystem::is_symlink(dir.path() + "/Config/totalsteps.ini"), link);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path() + "/Config")) {
        EXPECT_NE(entry.path().filename().string().rfind(".totalsteps.ini", 0), 0u)
            << "temporary file left: " << entry.path();
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SaveTest, ::testing::ValuesIn(kSaveCases),
                         [](const auto& test) { return std::string(test.param.name); });

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

// The benchmark's load generator counts what the server answers.
TEST_F(BinaryTest, TheLoadGeneratorCountsEveryAnswer) {
    ASSERT_TRUE(Launch()) << Stderr();
    QProcess load;
    load.start(LOADGEN_BINARY, {"--port", QString::number(port), "--path", "/turn/left",
                                "--concurrency", "4", "--total", "200"});
    ASSERT_TRUE(load.waitForFinished(60000));
    const QString report = QString::fromLocal8Bit(load.readAllStandardOutput());
    EXPECT_TRUE(report.startsWith("answered=200 errors=0 ")) << report.toStdString();
    EXPECT_TRUE(report.contains(QString(" bytes=%1").arg(std::string("page Left\r\n").size())))
        << report.toStdString();
    EXPECT_EQ(Stop(SIGTERM), 0);
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

// Every Config file, each kind of damage. The numeric files stop start-up with a message
// naming the file, a non-zero exit and no file changed; a damaged Lpt.ini without a usable
// address runs on address 0 (simulated), unless it holds an address wider than 16 bits.
enum class Damage { Missing, Empty, NotANumber, OutOfRange, Directory, Unreadable, TenMegabytes };

const char* Name(Damage damage) {
    switch (damage) {
        case Damage::Missing:
            return "Missing";
        case Damage::Empty:
            return "Empty";
        case Damage::NotANumber:
            return "NotANumber";
        case Damage::OutOfRange:
            return "OutOfRange";
        case Damage::Directory:
            return "Directory";
        case Damage::Unreadable:
            return "Unreadable";
        case Damage::TenMegabytes:
            return "TenMegabytes";
    }
    return "";
}

class ConfigFaultTest : public BinaryTest,
                        public ::testing::WithParamInterface<std::tuple<const char*, Damage>> {
  protected:
    void Damage(const std::string& file, enum Damage damage) {
        const std::string path = dir.path() + file;
        std::filesystem::remove(path);
        switch (damage) {
            case Damage::Missing:
                break;
            case Damage::Empty:
                dir.Write(file, "");
                break;
            case Damage::NotANumber:
                dir.Write(file, "xyz\r\n");
                break;
            case Damage::OutOfRange:
                dir.Write(file, file == "/Config/Lpt.ini" ? "12345" : "70000");
                break;
            case Damage::Directory:
                std::filesystem::create_directory(path);
                break;
            case Damage::Unreadable:
                if (::geteuid() == 0) {  // root reads anything: a link to itself cannot be opened
                    std::filesystem::create_symlink(path, path);
                } else {
                    dir.Write(file, "5");
                    std::filesystem::permissions(path, std::filesystem::perms::none);
                }
                break;
            case Damage::TenMegabytes:
                dir.Write(file, std::string(10 << 20, '7'));
                break;
        }
    }
    std::map<std::string, std::string> Snapshot() {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path() + "/Config")) {
            std::error_code ignored;
            if (entry.is_regular_file(ignored))
                files[entry.path().string()] =
                    dir.Read("/Config/" + entry.path().filename().string());
        }
        return files;
    }
};

TEST_P(ConfigFaultTest, StopsStartUpNamingTheFileOrRunsOnAddressZero) {
    const auto [file, damage] = GetParam();
    dir.WriteConfig({{"/Config/Port.ini", std::to_string(port)}, {"/Config/totalsteps.ini", "7"}});
    Damage(file, damage);
    const auto before = Snapshot();
    const bool lpt = std::string(file) == "/Config/Lpt.ini";
    const bool runs = lpt && damage != Damage::OutOfRange && damage != Damage::TenMegabytes;
    EXPECT_EQ(Launch(), runs) << Stderr();
    if (runs) {
        EXPECT_EQ(Fetch("/turn/right"), "page Right\r\n");
        EXPECT_TRUE(WaitForFile("/Config/totalsteps.ini", "57\r\n"));
        EXPECT_EQ(Stop(SIGTERM), 0);
        return;
    }
    if (process.state() != QProcess::NotRunning) {
        ASSERT_TRUE(process.waitForFinished(10000));
    }
    EXPECT_NE(process.exitCode(), 0);
    const std::string errors = Stderr();
    EXPECT_NE(errors.find(std::string(file).substr(1)), std::string::npos) << errors;
    EXPECT_LT(errors.size(), 2000u) << "the message should name the file, not repeat it";
    EXPECT_EQ(Snapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(
    EveryFileEveryDamage, ConfigFaultTest,
    ::testing::Combine(::testing::Values("/Config/Lpt.ini", "/Config/Middlestep.ini",
                                         "/Config/MaxStep.ini", "/Config/MinStep.ini",
                                         "/Config/totalsteps.ini", "/Config/StepCount.ini",
                                         "/Config/BigStep.ini", "/Config/Port.ini"),
                       ::testing::Values(Damage::Missing, Damage::Empty, Damage::NotANumber,
                                         Damage::OutOfRange, Damage::Directory, Damage::Unreadable,
                                         Damage::TenMegabytes)),
    [](const auto& test) {
        std::string file = std::filesystem::path(std::get<0>(test.param)).stem().string();
        return file + "_" + Name(std::get<1>(test.param));
    });

// Mounts a tiny tmpfs over Config, with the files copied in and the rest of it filled up.
class FullConfigDirectory {
  public:
    explicit FullConfigDirectory(const std::string& config) : config_(config) {
        const std::string saved = config + ".saved";
        std::filesystem::rename(config, saved);
        std::filesystem::create_directory(config);
        mounted_ = ::system(("mount -t tmpfs -o size=64k tmpfs '" + config + "'").c_str()) == 0;
        for (const auto& entry : std::filesystem::directory_iterator(saved)) {
            std::filesystem::copy_file(entry.path(),
                                       config + "/" + entry.path().filename().string());
        }
        std::ofstream filler(config + "/filler", std::ios::binary);
        const std::string block(4096, 'f');
        while (filler.write(block.data(), block.size())) {
        }
    }
    ~FullConfigDirectory() {
        if (mounted_) ::system(("umount '" + config_ + "'").c_str());
    }
    bool mounted() const { return mounted_; }

  private:
    std::string config_;
    bool mounted_ = false;
};

TEST_F(BinaryTest, OnAFullFileSystemTheOldPositionFileStaysIntact) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    dir.WriteConfig(
        {{"/Config/Port.ini", std::to_string(port)}, {"/Config/totalsteps.ini", "12\r\n"}});
    FullConfigDirectory full(dir.path() + "/Config");
    ASSERT_TRUE(full.mounted());
    ASSERT_TRUE(Launch()) << Stderr();
    EXPECT_EQ(Fetch("/turn/right"), "page Right\r\n");
    EXPECT_TRUE(tarvik.WaitForStderr("Position 62 not saved to ")) << Stderr();
    EXPECT_EQ(Fetch("/"), "page Index\r\n");
    EXPECT_EQ(Stop(SIGTERM), 2);
    EXPECT_EQ(dir.Read("/Config/totalsteps.ini"), "12\r\n");
    for (const auto& entry : std::filesystem::directory_iterator(dir.path() + "/Config")) {
        EXPECT_NE(entry.path().filename().string().rfind(".totalsteps.ini", 0), 0u)
            << "temporary file left: " << entry.path();
    }
}

TEST_F(BinaryTest, WithoutAnyPageTheRepliesAreEmptyAndTarvikRuns) {
    std::filesystem::remove_all(dir.path() + "/html");
    ASSERT_TRUE(Launch()) << Stderr();
    EXPECT_EQ(Fetch("/"), "\r\n");
    EXPECT_EQ(Fetch("/turn/left"), "\r\n");
    EXPECT_TRUE(WaitForFile("/Config/totalsteps.ini", "-50\r\n"));
    EXPECT_EQ(Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace tarvik
