// The ONVIF pieces below a client: Onvif.ini, the generic space and the pace, the presets
// file, each service request's effect on the motors, and the HTTP connection's life. (A real
// client drives the whole: tests/onvif.)
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <ctime>
#include <thread>

#include "Discovery.h"
#include "DiscoveryMessages.h"
#include "HttpServer.h"
#include "LoginThrottle.h"
#include "OnvifAuth.h"
#include "OnvifConfig.h"
#include "OnvifEndpoint.h"
#include "OnvifService.h"
#include "Presets.h"
#include "PtzControl.h"
#include "TcpClient.h"
#include "TempDir.h"
#include "WebFakes.h"

namespace tarvik {
namespace {

TEST(OnvifConfig, KeysValuesCommentsAndTheBadLineNamed) {
    const auto good = ParseOnvifConfig("O",
                                       "# mount\nport = 9000  # ONVIF\nuser = admin\n"
                                       "password = se#cret\nname = Garden mount\n"
                                       "fov = 62.2\nsteps-per-degree = 11.38\ndiscovery = off\n");
    ASSERT_TRUE(std::holds_alternative<OnvifConfig>(good));
    const OnvifConfig& c = std::get<OnvifConfig>(good);
    EXPECT_EQ(c.port, 9000);
    EXPECT_EQ(c.password, "se#cret");
    EXPECT_EQ(c.name, "Garden mount");
    EXPECT_FALSE(c.discovery);
    EXPECT_NEAR(*c.HalfFieldSteps(), 353.918, 0.001);
    EXPECT_EQ(std::get<OnvifConfig>(ParseOnvifConfig("O", "")).port, 8899);
    const std::pair<const char*, const char*> bad[] = {
        {"prot = 1", "\"O\" line 1: prot = \"1\", expected one of the keys"},
        {"\nport = 0", "\"O\" line 2: port = \"0\", expected a whole number from 1 to 65535"},
        {"port = 8899.5", "expected a whole number"},
        {"fov = wide", "fov = \"wide\", expected a number from 0.01 to 360 degrees"},
        {"port = 65536", "from 1 to 65535"},
        {"width = 15", "from 16 to 16384"},
        {"vfov = 360.5", "from 0.01 to 360 degrees"},
        {"steps-per-degree = 0", "from 0.001 to 100000"},
        {"discovery = yes", "expected on or off"},
        {"just words", "\"just words\" is not key = value"},
        {"password = x", "a password without a user"},
        {"user = admin", "a user without a password"},
        {"name =", "expected a value after the ="},
    };
    for (const char* edge :
         {"port = 1", "port = 65535", "width = 16", "height = 16384", "fov = 0.01", "vfov = 360",
          "steps-per-degree = 100000", "tilt-steps-per-degree = 0.001"}) {
        const auto parsed = ParseOnvifConfig("O", edge);
        ASSERT_TRUE(std::holds_alternative<OnvifConfig>(parsed)) << edge;
        // A field of view in half-steps needs both its angle and its steps per degree.
        EXPECT_FALSE(std::get<OnvifConfig>(parsed).HalfFieldSteps()) << edge;
        EXPECT_FALSE(std::get<OnvifConfig>(parsed).HalfVerticalFieldSteps()) << edge;
    }
    for (const auto& [text, message] : bad) {
        const auto parsed = ParseOnvifConfig("O", text);
        ASSERT_TRUE(std::holds_alternative<StartupError>(parsed)) << text;
        EXPECT_NE(std::get<StartupError>(parsed).message.find(message), std::string::npos)
            << std::get<StartupError>(parsed).message;
    }
}

// The range -1000..1000: its ends at ±1, rounded to the nearest half-step; 1/speed ticks per
// half-step, from 1 to 100, the slowest for every speed up to 0.01.
TEST(PtzControl, TheGenericSpaceMapsTheRangeAndTheSpeedTheTicks) {
    EXPECT_EQ(onvif::FromGeneric(0.5, -1000, 1000), 500);
    EXPECT_EQ(onvif::FromGeneric(-1, -1000, 1000), -1000);
    EXPECT_EQ(onvif::FromGeneric(2, -1000, 1000), 1000);
    EXPECT_EQ(onvif::FromGeneric(0.0006, -1000, 1000), 1);
    EXPECT_EQ(onvif::FromGeneric(0, -200, 600), 200);
    EXPECT_DOUBLE_EQ(onvif::ToGeneric(200, -200, 600), 0);
    EXPECT_DOUBLE_EQ(onvif::ToGeneric(600, -200, 600), 1);
    EXPECT_DOUBLE_EQ(onvif::ToGeneric(5, 5, 5), 0);
    for (const auto& [speed, pace] : {std::pair{1.0, 1},
                                      {0.5, 2},
                                      {0.3, 3},
                                      {0.011, 91},
                                      {0.01, 100},
                                      {0.001, 100},
                                      {1e-20, 100},
                                      {5e-324, 100},
                                      {0.0, 100},
                                      {5.0, 1}}) {
        EXPECT_EQ(onvif::PaceOf(speed), pace) << speed;
    }
}

TEST(Presets, KeptInTheirFileWhenItExistsAndABadLineStopsStartUp) {
    test::TempDir dir;
    onvif::Presets unkept(dir.path() + "/Presets.ini");
    EXPECT_FALSE(unkept.Load());
    EXPECT_FALSE(unkept.Kept());
    EXPECT_EQ(unkept.Set("", "a", {1, 2}), "1");
    EXPECT_EQ(unkept.Save(), "");  // nothing written, nothing created
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/Presets.ini"));
    dir.Write("/Presets.ini", "1 120 0 Garden gate\r\n\r\n3 -5 7 \x01\r\n");
    onvif::Presets kept(dir.path() + "/Presets.ini");
    ASSERT_FALSE(kept.Load());
    ASSERT_EQ(kept.All().size(), 2u);
    EXPECT_EQ(kept.Find("1")->name, "Garden gate");
    EXPECT_EQ(kept.Set("", "Door\nway", {-9, 0}), "2");  // the first free token
    EXPECT_TRUE(kept.Remove("3"));
    EXPECT_EQ(kept.Save(), "");
    EXPECT_EQ(dir.Read("/Presets.ini"), "1 120 0 Garden gate\r\n2 -9 0 Door way\r\n");
    std::string most;
    for (std::size_t i = 1; i <= onvif::Presets::kMost; ++i) most += std::to_string(i) + " 0 0 p\n";
    dir.Write("/Presets.ini", most);
    onvif::Presets full(dir.path() + "/Presets.ini");
    ASSERT_FALSE(full.Load());
    EXPECT_FALSE(full.Set("", "one more", {0, 0}));
    for (const std::string& bad : {std::string("1 x 0 a"), std::string("1 1 0 a\n1 2 0 b"),
                                   std::string("1 40000 0 a"), most + "65 0 0 p"}) {
        dir.Write("/Presets.ini", bad);
        onvif::Presets broken(dir.path() + "/Presets.ini");
        const auto error = broken.Load();
        ASSERT_TRUE(error) << bad;
        EXPECT_NE(error->message.find("Presets.ini\" line "), std::string::npos);
    }
}

TEST(ParseDuration, HoursMinutesAndSecondsUpToADay) {
    using std::chrono::milliseconds;
    for (const auto& [text, ms] : {std::pair{"PT5S", 5000},
                                   {"PT0.5S", 500},
                                   {"PT1M30S", 90000},
                                   {"PT2H", 7200000},
                                   {"PT24H", 86400000}}) {
        EXPECT_EQ(onvif::ParseDuration(text), milliseconds(ms)) << text;
    }
    for (const char* bad : {"", "PT", "5S", "P1D", "PT-1S", "PT5", "PT5X", "PTS", "PT25H"}) {
        EXPECT_EQ(onvif::ParseDuration(bad), std::nullopt) << bad;
    }
}

// A probe asks for types by local name and for scopes that are ours or path prefixes of ours.
TEST(Discovery, AProbeMatchesOurTypesAndScopes) {
    const std::string ours = onvif::ScopesOf("Gate-1.a_b~c d");
    EXPECT_NE(ours.find(" onvif://www.onvif.org/name/Gate-1.a_b~c%20d "), std::string::npos);
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"", "", true},
        {"dn:NetworkVideoTransmitter tds:Device", "", true},
        {"dn:Printer", "", false},
        {"", "onvif://www.onvif.org/type/ptz onvif://www.onvif.org/hardware", true},
        {"", "onvif://www.onvif.org/hardware/tar", false},
        {"", "onvif://www.onvif.org/name/", true},
        {"", "onvif://www.onvif.org/location/garden", false},
    };
    for (const auto& [types, scopes, match] : cases) {
        EXPECT_EQ(onvif::ProbeMatches(types, scopes, ours), match) << types << scopes;
    }
}

// Two mounts on one machine both listen for probes: the second shares the port the first
// (or any other ONVIF program) holds.
TEST(Discovery, ASecondListenerSharesThePort) {
    const int other = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::getsockname(other, reinterpret_cast<sockaddr*>(&address), &length);
    onvif::Discovery discovery("U", "N", 8899, {ntohs(address.sin_port)});
    EXPECT_EQ(discovery.Start(), "");
    discovery.Stop();
    ::close(other);
}

// Answers are bounded in all, whoever asks: past the total of a second, probes go unanswered
// until the next second. (The bound of one source is the client tests'.)
TEST(Discovery, AnswersAtMostTheTotalBoundASecond) {
    onvif::Discovery discovery("U", "N", 8899, {0, 100, 5, std::chrono::milliseconds(500)});
    ASSERT_EQ(discovery.Start(), "");
    const int client = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_in to{AF_INET, htons(discovery.LocalPort()), {htonl(INADDR_LOOPBACK)}, {}};
    const auto probe = [&](const std::string& id) {
        const std::string text =
            "<e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\" "
            "xmlns:w=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
            "xmlns:d=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\"><e:Header><w:MessageID>" +
            id + "</w:MessageID></e:Header><e:Body><d:Probe/></e:Body></e:Envelope>";
        ::sendto(client, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
    };
    for (int i = 0; i < 10; ++i) probe("urn:uuid:first-" + std::to_string(i));
    int first = 0;
    bool later = false;
    // Probes are read in order: once one sent in a later second is answered, every one of the
    // first ten has been read.
    EXPECT_TRUE(test::ServeUntil([&] {
        char reply[8192];
        for (ssize_t got; (got = ::recv(client, reply, sizeof reply, 0)) > 0;) {
            const std::string text(reply, static_cast<std::size_t>(got));
            first += text.find("urn:uuid:first-") != std::string::npos;
            later = later || text.find("urn:uuid:later") != std::string::npos;
        }
        if (!later) probe("urn:uuid:later");
        return later;
    }));
    EXPECT_EQ(first, 5);
    ::close(client);
    discovery.Stop();
}

// Home Assistant keys a device by the hardware address of its interfaces, NVRs by its serial
// and endpoint: each camera folder keeps its own, and the interfaces report the camera's.
TEST(DeviceIdentity, EachCameraFolderHasItsOwnAndKeepsIt) {
    const onvif::DeviceIdentity first = IdentityOf("/etc/tarvik/cam1/Config");
    const onvif::DeviceIdentity again = IdentityOf("/etc/tarvik/cam1/Config");
    const onvif::DeviceIdentity second = IdentityOf("/etc/tarvik/cam2/Config");
    EXPECT_EQ(first.serial, again.serial);
    EXPECT_EQ(first.uuid, again.uuid);
    EXPECT_EQ(first.hwAddress, again.hwAddress);
    EXPECT_NE(first.serial, second.serial);
    EXPECT_NE(first.uuid, second.uuid);
    EXPECT_NE(first.hwAddress, second.hwAddress);
    for (const auto& identity : {first, second}) {
        EXPECT_EQ(identity.hwAddress[0] & 3, 2) << "locally administered, unicast";
    }
    EXPECT_EQ(onvif::HwAddressText({0x02, 0xab, 0, 1, 2, 0xff}, 2), "02:ab:00:01:02:01");
}

// A UsernameToken as clients send it, made at `created`.
onvif::XmlElement Token(const std::string& nonce, std::chrono::system_clock::time_point created,
                        const std::string& password = "secret") {
    const std::time_t at = std::chrono::system_clock::to_time_t(created);
    std::tm utc{};
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", ::gmtime_r(&at, &utc));
    const QByteArray digest = QCryptographicHash::hash(
        QByteArray::fromStdString(nonce + text + password), QCryptographicHash::Sha1);
    const auto element = [](const char* name, std::string content,
                            std::vector<std::pair<std::string, std::string>> attributes = {}) {
        return onvif::XmlElement{"", name, std::move(attributes), std::move(content), {}};
    };
    onvif::XmlElement token = element("UsernameToken", "");
    token.children = {
        element("Username", "admin"),
        element("Password", digest.toBase64().toStdString(), {{"Type", "#PasswordDigest"}}),
        element("Nonce", QByteArray::fromStdString(nonce).toBase64().toStdString()),
        element("Created", text)};
    onvif::XmlElement header = element("Header", "");
    header.children.push_back(element("Security", ""));
    header.children.back().children.push_back(std::move(token));
    return header;
}

// WS-Security tokens against a clock the test sets: the window's edges (5 minutes back, 5 s
// ahead, none from before this start), replays, a nonce sent again as libonvif does, and a
// memory of nonces that refuses rather than forgets.
TEST(OnvifAuth, TokensCountOnlyWithinTheirWindowAndNeverTwice) {
    using std::chrono::seconds;
    using Refusal = onvif::OnvifAuth::Refusal;
    const auto start = std::chrono::system_clock::time_point(seconds(1'800'000'000));
    auto now = start;
    onvif::OnvifAuth auth("admin", "secret", [&] { return now; });
    onvif::OnvifAuth::Verdict last;
    const auto check = [&](const onvif::XmlElement& header, const char* peer = "10.0.0.9",
                           bool changes = true) {
        last = auth.Check(header, "", {"POST", "/p", peer, changes});
        return last.refusal;
    };
    // Right after a start only tokens made from 5 s on are taken: an earlier one may have
    // been taken before the restart.
    EXPECT_EQ(check(Token("s1", start - seconds(1))), Refusal::OutsideWindow);
    EXPECT_EQ(check(Token("s2", start + seconds(4))), Refusal::OutsideWindow);
    EXPECT_EQ(check(Token("s3", start + seconds(5))), Refusal::None);
    EXPECT_EQ(last.user, "admin");
    now += seconds(600);
    const std::tuple<const char*, int, const char*, Refusal> cases[] = {
        {"a", -300, "secret", Refusal::None},          {"b", 5, "secret", Refusal::None},
        {"c", -301, "secret", Refusal::OutsideWindow}, {"d", 6, "secret", Refusal::OutsideWindow},
        {"e", 0, "wrong", Refusal::WrongCredentials},  {"a", 0, "wrong", Refusal::WrongCredentials},
        {"a", -300, "secret", Refusal::Replayed},  // the same token again
    };
    for (const auto& [nonce, offset, password, expected] : cases) {
        EXPECT_EQ(check(Token(nonce, now + seconds(offset), password)), expected)
            << nonce << offset;
    }
    EXPECT_EQ(last.scheme, onvif::OnvifAuth::Scheme::WsSecurity);
    EXPECT_FALSE(last.user);
    // A nonce again, with a new Created or byte for byte: from its first peer and for what
    // changes nothing only.
    for (const auto& again : {Token("a", now - seconds(10)), Token("a", now - seconds(300))}) {
        EXPECT_EQ(check(again, "10.0.0.8", false), Refusal::Replayed);
        EXPECT_EQ(check(again, "10.0.0.9", true), Refusal::Replayed);
        EXPECT_EQ(check(again, "10.0.0.9", false), Refusal::None);
    }
    // Ten thousand newer tokens do not make an old one new again; once 50,000 are held, new
    // ones are refused until the oldest can no longer be taken.
    constexpr int kHeld = 2;  // a and b
    for (int i = 0; i < 50000 - kHeld; ++i) {
        ASSERT_EQ(check(Token("n" + std::to_string(i), now)), Refusal::None);
    }
    EXPECT_EQ(check(Token("a", now - seconds(300))), Refusal::Replayed);
    EXPECT_EQ(check(Token("full", now)), Refusal::Full);
    now += seconds(301);
    EXPECT_EQ(check(Token("full", now)), Refusal::None);
    EXPECT_EQ(check(Token("a", now)), Refusal::None);  // forgotten with its window
}

// HTTP Digest: a nonce of its own for each challenge that ends after 5 minutes; each count
// taken once, out of order within 64 of the highest; every field that must match.
TEST(OnvifAuth, DigestCountsAreTakenOnceWithinTheLifeOfTheirNonce) {
    using std::chrono::seconds;
    using Refusal = onvif::OnvifAuth::Refusal;
    auto now = std::chrono::system_clock::time_point(seconds(1'800'000'000));
    onvif::OnvifAuth auth("admin", "secret", [&] { return now; });
    onvif::OnvifAuth::Verdict last;
    const auto challenge = [&] {
        const std::string text = auth.Challenges(false).front();
        const auto at = text.find("nonce=\"") + 7;
        return text.substr(at, text.find('"', at) - at);
    };
    const auto digest = [&](const std::string& nonce, const char* nc, const char* algorithm = "MD5",
                            const std::string& uri = "/p", const char* password = "secret") {
        const auto hash =
            std::string(algorithm) == "MD5" ? QCryptographicHash::Md5 : QCryptographicHash::Sha256;
        const auto hex = [&](const std::string& text) {
            return QCryptographicHash::hash(QByteArray::fromStdString(text), hash)
                .toHex()
                .toStdString();
        };
        const std::string response = hex(hex(std::string("admin:tarvik:") + password) + ":" +
                                         nonce + ":" + nc + ":c0:auth:" + hex("POST:" + uri));
        last = auth.Check({},
                          "Digest username=\"admin\", realm=\"tarvik\", nonce=\"" + nonce +
                              "\", uri=\"" + uri + "\", algorithm=" + algorithm +
                              ", qop=auth, nc=" + nc + ", cnonce=\"c0\", response=\"" + response +
                              "\"",
                          {"POST", "/p", "10.0.0.9", true});
        return last.refusal;
    };
    const std::string nonce = challenge();
    EXPECT_NE(challenge(), nonce);
    const std::tuple<const char*, const char*, Refusal> counts[] = {
        {"00000001", "SHA-256", Refusal::None},
        {"00000001", "MD5", Refusal::Replayed},
        {"00000003", "MD5", Refusal::None},
        {"00000002", "MD5", Refusal::None},
        {"00000002", "SHA-256", Refusal::Replayed},
        {"00000050", "MD5", Refusal::None},
        {"0000000f", "MD5", Refusal::Stale},
        {"00000000", "MD5", Refusal::WrongCredentials},
        {"1", "MD5", Refusal::WrongCredentials},
        {"00000051", "SHA-512", Refusal::WrongCredentials},
    };
    for (const auto& [nc, algorithm, expected] : counts) {
        EXPECT_EQ(digest(nonce, nc, algorithm), expected) << nc << algorithm;
    }
    EXPECT_EQ(last.scheme, onvif::OnvifAuth::Scheme::Digest);
    EXPECT_EQ(digest(nonce, "00000060", "MD5", "/q"), Refusal::WrongCredentials);
    EXPECT_EQ(digest(nonce, "00000060", "MD5", "/p", "secre"), Refusal::WrongCredentials);
    EXPECT_EQ(digest("1800000301.0.0123456789abcdef0123456789abcdef", "00000001"), Refusal::Stale);
    const auto basic = auth.Check({}, "Basic YWRtaW46c2VjcmV0", {"POST", "/p", "10.0.0.9", true});
    EXPECT_EQ(basic.scheme, onvif::OnvifAuth::Scheme::None);
    EXPECT_FALSE(basic.user);
    now += seconds(300);
    EXPECT_EQ(digest(nonce, "00000061"), Refusal::None);
    now += seconds(1);
    EXPECT_EQ(digest(nonce, "00000062"), Refusal::Stale);
    EXPECT_TRUE(last.StaleNonce());
    EXPECT_NE(auth.Challenges(last.StaleNonce()).front().find("stale=TRUE"), std::string::npos);
    // When more nonces are in use than are kept, the oldest are forgotten as stale: the client
    // asks for a new one instead of replaying an old one.
    const std::string oldest = challenge();
    EXPECT_EQ(digest(oldest, "00000001"), Refusal::None);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(digest(challenge(), "00000001"), Refusal::None);
    EXPECT_EQ(digest(oldest, "00000002"), Refusal::Stale);
}

// The turns of a guessing peer: ten connections that each try as soon as they may get no more
// than six answered guesses in the minute after the first five, and the turns grow to a
// minute; another peer, another /64, never waits; a login or 15 quiet minutes forget.
TEST(LoginThrottle, AGuessingPeerWaitsLongerAndLongerAndNobodyElseWaits) {
    using namespace std::chrono_literals;
    auto now = std::chrono::steady_clock::time_point(1h);
    onvif::LoginThrottle throttle([&] { return now; });
    const std::string peer = "2001:db8:1:2:aaaa::1";
    int answered = 0;
    const auto t0 = now;
    for (; now < t0 + 60s; now += 100ms) {
        for (int connection = 0; connection < 10; ++connection) {
            if (throttle.WaitBeforeHandling(peer).count() != 0) continue;
            ++answered;
            throttle.Refused(peer);
        }
        EXPECT_EQ(throttle.WaitBeforeHandling("2001:db8:1:3::1").count(), 0);
        EXPECT_EQ(throttle.WaitBeforeHandling("10.0.0.8").count(), 0);
    }
    EXPECT_LE(answered, 5 + 6);
    EXPECT_GE(answered, 5 + 5);
    EXPECT_GE(throttle.Spacing("2001:db8:1:2:ffff::9"), 30s);  // the same /64
    EXPECT_GT(throttle.WaitBeforeHandling(peer).count(), 0);
    throttle.LoggedIn(peer);
    EXPECT_EQ(throttle.WaitBeforeHandling(peer).count(), 0);
    for (int i = 0; i < 6; ++i) throttle.Refused("10.0.0.7");
    EXPECT_GT(throttle.WaitBeforeHandling("10.0.0.7").count(), 0);
    now += 15min;
    EXPECT_EQ(throttle.WaitBeforeHandling("10.0.0.7").count(), 0);
}

using onvif::kDevice;
using onvif::kMedia;
using onvif::kPtz;
using onvif::kSoap12;

// The services on motors on fakes: pan reaches -1000..1000 (middle 300), tilt -100..100.
struct ServiceRig : test::MotorRig {
    explicit ServiceRig(bool tilt, std::string stream = "", bool guarded = false) : login(guarded) {
        config.stream = std::move(stream);
        std::optional<AxisSettings> tiltSettings;
        if (tilt) tiltSettings = test::Settings(-99, 99, 0);
        shared.Load(test::Settings(-999, 999, 0, 1, 10, 300), tiltSettings);
    }
    HttpResponse Post(const std::string& operation, const char* path = onvif::kPtzPath,
                      const char* soap = kSoap12, const std::string& authorization = "") {
        HttpRequest request{"POST", path,       {{"authorization", authorization}},
                            {},     "10.0.0.9", "10.0.0.2:8899"};
        request.body = std::string("<s:Envelope xmlns:s=\"") + soap + "\"><s:Body>" + operation +
                       "</s:Body></s:Envelope>";
        return service.Handle(request);
    }
    int Tilt() {
        return shared.With(Axis::Tilt, [](Motor& m) { return int{m.Position()}; }).value_or(0);
    }

    bool login;
    onvif::OnvifAuth auth{"admin", "secret"};
    test::TempDir dir;
    OnvifConfig config;
    onvif::PtzControl ptz{shared, config};
    onvif::Presets presets{dir.path() + "/Presets.ini"};
    LineList log;
    test::FakeClock clock;
    std::vector<std::string> notices;
    onvif::OnvifService service{config,
                                ptz,
                                presets,
                                login ? &auth : nullptr,
                                log,
                                clock,
                                {"S", "U", "H", {2, 0, 0x5e, 0, 0, 0x10}},
                                [this](const std::string& n) { notices.push_back(n); }};
};

std::string Op(const char* name, const std::string& inside, const char* ns = kPtz) {
    return std::string("<") + name + " xmlns=\"" + ns + "\">" + inside + "</" + name + ">";
}
const std::string kProfile = "<ProfileToken>profile_1</ProfileToken>";
std::string PanTilt(const char* outer, const std::string& attributes) {
    return std::string("<") + outer + "><PanTilt " + attributes + "/></" + outer + ">";
}

// Each request: its status, a part of its reply, where the motors end and how many ticks the
// move took (-1: not counted).
TEST(OnvifService, EachRequestMovesTheMotorsOrIsRefusedWithItsFault) {
    struct Case {
        const char* what;
        std::string request;
        bool tilt;
        int status;
        const char* shows;
        int pan, tilt_, ticks;
    };
    const std::string fov =
        "space=\"http://www.onvif.org/ver10/tptz/PanTiltSpaces/"
        "TranslationSpaceFov\"";
    const Case cases[] = {
        {"absolute", Op("AbsoluteMove", kProfile + PanTilt("Position", "x=\"0.5\"")), false, 200,
         "<tptz:AbsoluteMoveResponse>", 500, 0, 500},
        {"absolute at half speed",
         Op("AbsoluteMove",
            kProfile + PanTilt("Position", "x=\"-0.1\"") + PanTilt("Speed", "x=\"0.5\"")),
         false, 200, "AbsoluteMoveResponse", -100, 0, 200},
        {"absolute outside", Op("AbsoluteMove", kProfile + PanTilt("Position", "x=\"1.5\"")), false,
         500, "ter:InvalidPosition", 0, 0, -1},
        {"absolute, other space",
         Op("AbsoluteMove", kProfile + PanTilt("Position", "x=\"0.1\" space=\"urn:x\"")), false,
         500, "ter:InvalidPosition", 0, 0, -1},
        {"absolute, not a number", Op("AbsoluteMove", kProfile + PanTilt("Position", "x=\"1e\"")),
         false, 500, "ter:InvalidPosition", 0, 0, -1},
        {"no such profile",
         Op("AbsoluteMove", "<ProfileToken>p</ProfileToken>" + PanTilt("Position", "x=\"1\"")),
         false, 500, "ter:NoProfile", 0, 0, -1},
        {"relative", Op("RelativeMove", kProfile + PanTilt("Translation", "x=\"0.1\"")), false, 200,
         "RelativeMoveResponse", 100, 0, 100},
        {"relative at a speed too small to divide by",
         Op("RelativeMove",
            kProfile + PanTilt("Translation", "x=\"0.01\"") + PanTilt("Speed", "x=\"1e-20\"")),
         false, 200, "RelativeMoveResponse", 10, 0, 901},
        {"relative at the smallest double",
         Op("RelativeMove",
            kProfile + PanTilt("Translation", "x=\"0.01\"") + PanTilt("Speed", "x=\"5e-324\"")),
         false, 200, "RelativeMoveResponse", 10, 0, 901},
        {"a negative speed",
         Op("RelativeMove",
            kProfile + PanTilt("Translation", "x=\"0.1\"") + PanTilt("Speed", "x=\"-0.5\"")),
         false, 500, "ter:InvalidArgVal", 0, 0, -1},
        {"a speed that is no number",
         Op("GotoHomePosition", kProfile + PanTilt("Speed", "x=\"NaN\"")), false, 500,
         "ter:InvalidArgVal", 0, 0, -1},
        {"relative, held at the end",
         Op("RelativeMove", kProfile + PanTilt("Translation", "x=\"-1.9\"")), false, 200,
         "RelativeMoveResponse", -1000, 0, 1000},
        {"relative beyond the range",
         Op("RelativeMove", kProfile + PanTilt("Translation", "x=\"2.5\"")), false, 500,
         "ter:InvalidTranslation", 0, 0, -1},
        {"relative in an unset field of view",
         Op("RelativeMove", kProfile + PanTilt("Translation", "x=\"0.1\" " + fov)), false, 500,
         "ter:SpaceNotSupported", 0, 0, -1},
        {"continuous", Op("ContinuousMove", kProfile + PanTilt("Velocity", "x=\"-1\"")), false, 200,
         "ContinuousMoveResponse", -1000, 0, 1000},
        {"continuous at a quarter",
         Op("ContinuousMove", kProfile + PanTilt("Velocity", "x=\"0.25\"")), false, 200,
         "ContinuousMoveResponse", 1000, 0, 3997},
        {"continuous too fast", Op("ContinuousMove", kProfile + PanTilt("Velocity", "x=\"-1.01\"")),
         false, 500, "ter:InvalidVelocity", 0, 0, -1},
        {"continuous, a timeout that is no duration",
         Op("ContinuousMove",
            kProfile + PanTilt("Velocity", "x=\"1\"") + "<Timeout>5 seconds</Timeout>"),
         false, 500, "Timeout is not a duration", 0, 0, -1},
        {"home", Op("GotoHomePosition", kProfile), false, 200, "GotoHomePositionResponse", 300, 0,
         300},
        {"home is fixed", Op("SetHomePosition", kProfile), false, 500, "ter:CannotOverwriteHome", 0,
         0, -1},
        {"tilt", Op("AbsoluteMove", kProfile + PanTilt("Position", "x=\"0\" y=\"0.5\"")), true, 200,
         "AbsoluteMoveResponse", 0, 50, 50},
        {"tilt outside", Op("AbsoluteMove", kProfile + PanTilt("Position", "y=\"-1.5\"")), true,
         500, "ter:InvalidPosition", 0, 0, -1},
        {"a pan-only mount ignores y",
         Op("AbsoluteMove", kProfile + PanTilt("Position", "x=\"0.2\" y=\"7\"")), false, 200,
         "AbsoluteMoveResponse", 200, 0, 200},
        {"tilt down, pan held",
         Op("ContinuousMove", kProfile + PanTilt("Velocity", "x=\"0\" y=\"-1\"")), true, 200,
         "ContinuousMoveResponse", 0, -100, 100},
        {"relative tilt", Op("RelativeMove", kProfile + PanTilt("Translation", "y=\"0.5\"")), true,
         200, "RelativeMoveResponse", 0, 50, 50},
        {"status", Op("GetStatus", kProfile), true, 200, "<tt:PanTilt x=\"0\" y=\"0\"", 0, 0, -1},
        {"status at the clock's time", Op("GetStatus", kProfile), false, 200,
         "<tt:UtcTime>2027-01-15T08:00:00Z<", 0, 0, -1},
        {"the clock's time", Op("GetSystemDateAndTime", "", kDevice), false, 200,
         "<tt:Hour>8</tt:Hour><tt:Minute>0</tt:Minute><tt:Second>0</tt:Second></tt:Time><tt:Date>"
         "<tt:Year>2027</tt:Year><tt:Month>1</tt:Month><tt:Day>15<",
         0, 0, -1},
        {"node", Op("GetNode", "<NodeToken>ptz_node_1</NodeToken>"), false, 200,
         "<tt:MaximumNumberOfPresets>64<", 0, 0, -1},
        {"no such node", Op("GetNode", "<NodeToken>n</NodeToken>"), false, 500, "ter:NoEntity", 0,
         0, -1},
        {"configuration",
         Op("GetConfiguration", "<PTZConfigurationToken>ptz_config_1</PTZConfigurationToken>"),
         false, 200, "<tt:NodeToken>ptz_node_1<", 0, 0, -1},
        {"no such configuration",
         Op("GetConfigurationOptions", "<ConfigurationToken>c</ConfigurationToken>"), false, 500,
         "ter:NoConfig", 0, 0, -1},
        {"options",
         Op("GetConfigurationOptions", "<ConfigurationToken>ptz_config_1</ConfigurationToken>"),
         true, 200, "<tt:YRange><tt:Min>-1</tt:Min><tt:Max>1</tt:Max>", 0, 0, -1},
        {"pan-only options", Op("GetNodes", ""), false, 200,
         "<tt:YRange><tt:Min>0</tt:Min><tt:Max>0</tt:Max>", 0, 0, -1},
        {"no stream named", Op("GetStreamUri", kProfile, kMedia), false, 500,
         "ter:ActionNotSupported", 0, 0, -1},
        {"an operation not offered", Op("ZoomIn", ""), false, 500, "ZoomIn is not offered", 0, 0,
         -1},
        {"services with their capabilities",
         Op("GetServices", "<IncludeCapability>true</IncludeCapability>", kDevice), false, 200,
         "<tds:Capabilities><tds:Capabilities><tds:Network", 0, 0, -1},
        {"the device's capabilities", Op("GetServiceCapabilities", "", kDevice), false, 200,
         "<tds:GetServiceCapabilitiesResponse><tds:Capabilities><tds:Network", 0, 0, -1},
        {"the model", Op("GetDeviceInformation", "", kDevice), true, 200,
         "<tds:Model>Tarvik pan-tilt mount<", 0, 0, -1},
        {"interfaces with the camera's own address", Op("GetNetworkInterfaces", "", kDevice), false,
         200, "<tt:HwAddress>02:00:5e:00:00:10<", 0, 0, -1},
    };
    for (const Case& c : cases) {
        ServiceRig rig(c.tilt);
        const HttpResponse reply = rig.Post(c.request);
        EXPECT_EQ(reply.status, c.status) << c.what;
        EXPECT_NE(reply.body.find(c.shows), std::string::npos) << c.what << ": " << reply.body;
        const int ticks = rig.RunMove();
        if (c.ticks >= 0) {
            EXPECT_NEAR(ticks, c.ticks, 2) << c.what;
        }
        EXPECT_EQ(rig.Position(), c.pan) << c.what;
        if (c.tilt) {
            EXPECT_EQ(rig.Tilt(), c.tilt_) << c.what;
        }
        // Moves, and only moves that were made, are in the request log.
        const bool logged =
            rig.log.Count() == 1 && rig.log.Line(0).find("10.0.0.9 ONVIF ") != std::string::npos;
        EXPECT_EQ(logged, c.status == 200 && c.ticks >= 0) << c.what;
    }
}

// Presets kept with the position; a stop that leaves the pan alone; a continuous move that
// ends by its timeout; the stream; faults of SOAP 1.1 as 1.1 clients read them.
TEST(OnvifService, PresetsStopsTimeoutsAndTheOlderSoap) {
    ServiceRig rig(false, "rtsp://cam/1");
    rig.dir.Write("/Presets.ini", "");
    ASSERT_FALSE(rig.presets.Load());
    const auto token = [](const char* t) {
        return std::string("<PresetToken>") + t + "</PresetToken>";
    };
    EXPECT_NE(rig.Post(Op("SetPreset", kProfile + "<PresetName>Gate &amp; &lt;b&gt;</PresetName>"))
                  .body.find("<tptz:PresetToken>1<"),
              std::string::npos);
    EXPECT_EQ(rig.dir.Read("/Presets.ini"), "1 0 0 Gate & <b>\r\n");
    rig.Post(Op("AbsoluteMove", kProfile + PanTilt("Position", "x=\"0.5\"")));
    rig.RunMove();
    EXPECT_EQ(rig.Post(Op("GotoPreset", kProfile + token("1"))).status, 200);
    rig.RunMove();
    EXPECT_EQ(rig.Position(), 0);
    // A name as it came: its text escaped again, never markup.
    EXPECT_NE(rig.Post(Op("GetPresets", kProfile)).body.find("<tt:Name>Gate &amp; &lt;b&gt;<"),
              std::string::npos);
    for (const char* op : {"SetPreset", "GotoPreset", "RemovePreset"}) {
        EXPECT_NE(rig.Post(Op(op, kProfile + token("9"))).body.find("ter:NoToken"),
                  std::string::npos)
            << op;
    }
    EXPECT_EQ(rig.Post(Op("RemovePreset", kProfile + token("1"))).status, 200);
    EXPECT_EQ(rig.dir.Read("/Presets.ini"), "\r\n");
    EXPECT_TRUE(rig.notices.empty());

    rig.Post(Op("ContinuousMove", kProfile + PanTilt("Velocity", "x=\"1\"")));
    rig.Post(Op("Stop", kProfile + "<PanTilt>false</PanTilt>"));
    EXPECT_TRUE(rig.With([](Motor& m) { return m.IsMoving(); }));
    rig.Post(Op("Stop", kProfile));
    EXPECT_FALSE(rig.With([](Motor& m) { return m.IsMoving(); }));
    // Without a Timeout the move ends by itself after the default 10 s; none runs past an hour.
    using namespace std::chrono_literals;
    rig.Post(Op("ContinuousMove", kProfile + PanTilt("Velocity", "x=\"1\"")));
    EXPECT_GT(rig.ptz.ContinuousEndsIn().value_or(0ms), 9s);
    EXPECT_LE(rig.ptz.ContinuousEndsIn().value_or(1h), 10s);
    rig.Post(Op("ContinuousMove",
                kProfile + PanTilt("Velocity", "x=\"1\"") + "<Timeout>PT24H</Timeout>"));
    EXPECT_GT(rig.ptz.ContinuousEndsIn().value_or(0ms), 59min);
    EXPECT_LE(rig.ptz.ContinuousEndsIn().value_or(2h), 1h);
    rig.Post(Op("ContinuousMove",
                kProfile + PanTilt("Velocity", "x=\"1\"") + "<Timeout>PT0.2S</Timeout>"));
    EXPECT_TRUE(test::ServeUntil([&] { return !rig.With([](Motor& m) { return m.IsMoving(); }); }));

    EXPECT_NE(rig.Post(Op("GetStreamUri", kProfile, kMedia), onvif::kMediaPath)
                  .body.find("<tt:Uri>rtsp://cam/1<"),
              std::string::npos);
    const HttpResponse old =
        rig.Post(Op("GetNode", ""), onvif::kPtzPath, "http://schemas.xmlsoap.org/soap/envelope/");
    EXPECT_EQ(old.contentType, "text/xml; charset=utf-8");
    EXPECT_NE(old.body.find("<faultcode>env:Client</faultcode>"), std::string::npos) << old.body;
    EXPECT_EQ(rig.Post(Op("GetNodes", ""), "/onvif/elsewhere").status, 404);

    // Wrong credentials move nothing and are said once a minute for each client.
    ServiceRig guarded(false, "", true);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(guarded
                      .Post(Op("GotoHomePosition", kProfile), onvif::kPtzPath, kSoap12,
                            "Digest username=\"admin\", response=\"0\"")
                      .status,
                  401);
    }
    EXPECT_FALSE(guarded.With([](Motor& m) { return m.IsMoving(); }));
    ASSERT_EQ(guarded.notices.size(), 1u);
    EXPECT_NE(guarded.notices[0].find("wrong user or password (1 refusal)"), std::string::npos);
    // Guessing on: the client's next request waits its turn, another client's does not.
    for (int i = 0; i < 3; ++i) {
        guarded.Post(Op("GetNodes", ""), onvif::kPtzPath, kSoap12, "Digest username=\"x\"");
    }
    EXPECT_GT(guarded.service.WaitBeforeHandling("10.0.0.9").count(), 0);
    EXPECT_EQ(guarded.service.WaitBeforeHandling("10.0.0.8").count(), 0);
    // An empty body without credentials, as curl --digest sends it first: the challenges.
    const HttpResponse first =
        guarded.service.Handle({"POST", onvif::kPtzPath, {}, "", "10.0.0.8", "h:1"});
    EXPECT_EQ(first.status, 401);
    ASSERT_FALSE(first.headers.empty());
    EXPECT_EQ(first.headers[0].first, "WWW-Authenticate");
}

struct EchoHandler : HttpHandler {
    HttpResponse Handle(const HttpRequest& request) override {
        ++calls;
        return {200, "text/plain", "[" + request.body + "@" + request.host + "]", {}};
    }
    int calls = 0;
};

std::string Post(const std::string& body, const char* connection = "keep-alive",
                 const char* host = "h") {
    return std::string("POST /x HTTP/1.1\r\nHost: ") + host + "\r\nConnection: " + connection +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// Requests sent together on one keep-alive connection are answered in turn; the last, which
// asks to close, ends the connection, and the server lets go of it when the peer closes,
// long before the linger would end. A Host that cannot stand in a URL is replaced by the address
// the connection reached; one without a port gets the connection's.
TEST(HttpServer, PipelinedRequestsAreAnsweredInTurnAndTheLastClosesWithItsPeer) {
    DescriptorBudget budget;
    EchoHandler echo;
    HttpServer server(echo, budget, {.lingerMs = 60000});
    QString error;
    ASSERT_TRUE(server.Listen("127.0.0.1", 0, &error)) << error.toStdString();
    const auto post = [](const char* body, const char* connection, const char* host) {
        return std::string("POST /x HTTP/1.1\r\nHost: ") + host + "\r\nConnection: " + connection +
               "\r\nContent-Length: " + std::to_string(std::strlen(body)) + "\r\n\r\n" + body;
    };
    test::TcpClient client(server.LocalPort());
    // Accepted before it sends, the connection is watched by the event set from the start.
    ASSERT_TRUE(test::ServeUntil([&] { return server.OpenConnections() == 1; }));
    const std::string replies = test::WhileServing([&] {
        client.Send(post("one", "keep-alive", "cam-1.local:8899") +
                    post("two", "keep-alive", "a\"b<c") + post("ip", "keep-alive", "10.78.0.1") +
                    post("end", "close", "[::1]"));
        return client.ReadAll();
    });
    client.ShutdownWrite();
    const std::string port = std::to_string(server.LocalPort());
    const auto one = replies.find("[one@cam-1.local:8899]"),
               two = replies.find("[two@127.0.0.1:" + port + "]"),
               ip = replies.find("[ip@10.78.0.1:" + port + "]"),
               end = replies.find("[end@[::1]:" + port + "]");
    ASSERT_NE(end, std::string::npos) << replies;
    EXPECT_LT(one, two);
    EXPECT_LT(two, ip);
    EXPECT_LT(ip, end);
    EXPECT_NE(replies.find("Connection: close\r\n"), std::string::npos);
    EXPECT_TRUE(test::ServeUntil(
        [&] { return server.LingeringConnections() == 0 && server.OpenConnections() == 0; }));
}

// A request that cannot be framed gets one answer, the connection ends, and neither it nor
// what follows it reaches the handler. No length, however long, wraps into a small one.
TEST(HttpServer, ARequestThatCannotBeFramedGetsOneAnswerAndEndsItsConnection) {
    const auto with = [](const std::string& headers) {
        return "POST /x HTTP/1.1\r\nHost: h\r\n" + headers + "\r\n<e/>";
    };
    const std::pair<std::string, const char*> cases[] = {
        {with("Content-Length: 18446744073709551530\r\n"), "413"},  // the sum wraps to 0
        {with("Content-Length: 18446744073709551540\r\n"), "413"},  // 10 bytes past the wrap
        {with("Content-Length: " + std::string(40, '9') + "\r\n"), "413"},
        {"POST /x HTTP/1.1\r\nContent-Length: 65500\r\n\r\n", "413"},  // 1 byte too many
        {with("Content-Length: 4\r\nContent-Length: 4\r\n"), "400"},
        {with("Content-Length: 4, 4\r\n"), "400"},
        {with("Content-Length: +4\r\n"), "400"},
        {with("Content-Length:\r\n"), "400"},
        {with("Transfer-Encoding: chunked\r\nContent-Length: 4\r\n"), "400"},
        {with("Content-Length : 4\r\n"), "400"},
        {with("Content-Length: 4\r\n folded: on\r\n"), "400"},
        {with(""), "411"},
        {"POST /x\r\n\r\n", "400"},
    };
    DescriptorBudget budget;
    EchoHandler echo;
    HttpServer server(echo, budget);
    QString error;
    ASSERT_TRUE(server.Listen("127.0.0.1", 0, &error)) << error.toStdString();
    for (const auto& [request, status] : cases) {
        test::TcpClient client(server.LocalPort());
        test::TcpClient::End end{};
        const std::string reply = test::WhileServing([&] {
            client.Send(request + Post(""));
            return client.ReadAll(&end);
        });
        EXPECT_TRUE(reply.starts_with(std::string("HTTP/1.1 ") + status + " ")) << request << reply;
        EXPECT_EQ(Count(reply, "HTTP/1.1 "), 1u) << request;
        EXPECT_NE(reply.find("Connection: close\r\n"), std::string::npos) << request;
        EXPECT_EQ(end, test::TcpClient::End::Closed) << request;
    }
    EXPECT_EQ(echo.calls, 0);
    // The largest request there may be is taken whole, its body exactly as long as it says.
    const std::string head = "POST /x HTTP/1.1\r\nContent-Length: 65493\r\n\r\n";
    test::TcpClient client(server.LocalPort());
    const std::string reply = test::WhileServing([&] {
        client.Send(head + std::string(kMaxHttpRequest - head.size(), 'b') + Post("", "close"));
        return client.ReadAll();
    });
    EXPECT_EQ(Count(reply, "HTTP/1.1 200 "), 2u) << reply.substr(0, 200);
    EXPECT_NE(reply.find("[" + std::string(65493, 'b') + "@"), std::string::npos);
}

// Ten thousand requests in one stream are answered in order by a loop, a pass at a time, never
// by a reply that answers the next from within itself.
TEST(HttpServer, TenThousandPipelinedRequestsOnOneConnectionAreAnsweredInOrder) {
    DescriptorBudget budget;
    EchoHandler echo;
    HttpServer server(echo, budget);
    QString error;
    ASSERT_TRUE(server.Listen("127.0.0.1", 0, &error)) << error.toStdString();
    std::string requests;
    for (int i = 0; i < 10000; ++i)
        requests += Post(std::to_string(i), i < 9999 ? "keep-alive" : "close");
    test::TcpClient client(server.LocalPort());
    const std::string replies = test::WhileServing([&] {
        std::thread sender([&] { client.Send(requests); });
        std::string all = client.ReadAll();
        sender.join();
        return all;
    });
    EXPECT_EQ(Count(replies, "HTTP/1.1 200 OK"), 10000u);
    EXPECT_EQ(echo.calls, 10000);
    EXPECT_LT(replies.find("[0@"), replies.find("[1@"));
    EXPECT_LT(replies.find("[9998@"), replies.find("[9999@"));
}

// A request that must wait its turn holds its own connection only, and is handled once its
// turn comes; a peer that needs no turn is answered meanwhile.
TEST(HttpServer, ARequestWaitingItsTurnHoldsOnlyItsOwnConnection) {
    struct Gate : EchoHandler {
        std::chrono::milliseconds WaitBeforeHandling(const std::string& peer) override {
            if (peer != "127.0.0.1") return {};
            ++asked;
            return open ? std::chrono::milliseconds(0) : std::chrono::milliseconds(5);
        }
        int asked = 0;
        bool open = false;
    } gate;
    DescriptorBudget budget;
    HttpServer server(gate, budget);
    QString error;
    ASSERT_TRUE(server.Listen("", 0, &error)) << error.toStdString();
    test::TcpClient waiting(server.LocalPort());
    waiting.Send(Post("first", "close"));
    ASSERT_TRUE(test::ServeUntil([&] { return gate.asked >= 3; }));
    test::TcpClient other(server.LocalPort(), true);
    const std::string answered = test::WhileServing([&] {
        other.Send(Post("other", "close"));
        return other.ReadAll();
    });
    EXPECT_NE(answered.find("[other@"), std::string::npos);
    EXPECT_EQ(gate.calls, 1);
    gate.open = true;
    EXPECT_NE(test::WhileServing([&] { return waiting.ReadAll(); }).find("[first@"),
              std::string::npos);
}

}  // namespace
}  // namespace tarvik
