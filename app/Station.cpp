#include "Station.h"

#include <sys/eventfd.h>
#include <unistd.h>
#include <climits>

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "FileHelpers.h"
#include "StepSize.h"

namespace tarvik {
namespace {

constexpr int kSweepIntervalMs = 3000;
constexpr int kFollowIntervalMs = 20;
constexpr int kDisplayIntervalMs = 16;  // the window shows the latest state at most this often

class QtTimer : public Timer {
  public:
    explicit QtTimer(QTimer& timer) : timer_(timer) {}
    // The sweep toggles it, so it is never enabled while it runs.
    void SetEnabled(bool enabled) override { enabled ? timer_.start() : timer_.stop(); }
    bool IsEnabled() const override { return timer_.isActive(); }

  private:
    QTimer& timer_;
};

const char* KindText(ShortcutState::Kind kind) {
    return kind == ShortcutState::Kind::TakenByAnotherProgram ? "already taken by another program"
                                                              : "unavailable";
}

}  // namespace

Station::Station(std::string baseDir, CoilFactory openCoils, HotKeys& hotKeys, const Clock& clock,
                 ServerLimits webLimits)
    : baseDir_(std::move(baseDir)),
      clock_(clock),
      openCoils_(std::move(openCoils)),
      hotKeys_(hotKeys),
      motor_(coils_, engine_, *this),
      engine_([this] { motor_.Tick(); }),
      scrolls_{ScrollFollow{motor_, Axis::Pan}, ScrollFollow{motor_, Axis::Tilt}},
      sweepTimerSeam_(std::make_unique<QtTimer>(sweepTimer_)),
      sweep_(motor_, *sweepTimerSeam_),
      chat_(chatList_, clock),
      handler_(motor_, pages_, requestLog_, chat_, clock),
      server_(handler_, descriptors_, webLimits) {
    sweepTimer_.setInterval(kSweepIntervalMs);
    connect(&sweepTimer_, &QTimer::timeout, this, [this] { sweep_.Tick(); });
    followTimer_.setInterval(kFollowIntervalMs);
    connect(&followTimer_, &QTimer::timeout, this, &Station::FollowScroll);
    displayTimer_.setSingleShot(true);
    displayTimer_.setInterval(kDisplayIntervalMs);
    connect(&displayTimer_, &QTimer::timeout, this, [this] {
        displayPending_ = false;
        if (view_ != nullptr) view_->MotorChanged();
    });
    say_ = [](const std::string& line) { std::fprintf(stderr, "tarvik: %s\n", line.c_str()); };
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0) {
        wakeProblem_ = std::strerror(errno);
        return;
    }
    auto* notifier = new QSocketNotifier(wake_, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &Station::OnWake);
}

Station::~Station() {
    engine_.Stop();  // no tick may reach the members as they go
    CloseIfOpen(wake_);
}

std::optional<std::string> Station::Start() {
    // Without these the motor would never move, or its moves would never be saved.
    if (!engine_.Running()) return "No step thread: " + engine_.Priority();
    if (!wakeProblem_.empty()) return "No wake-up for the event loop: " + wakeProblem_;
    // Before anything is claimed, energised or written: a second Tarvik on the same folder
    // stops here.
    if (auto busy = configLock_.Take(baseDir_ + files::kConfig)) return busy;
    say_("Tarvik " TARVIK_VERSION);
    RegisterHotKeys();
    if (std::error_code ignored; !std::filesystem::is_directory(baseDir_ + files::kHtml, ignored)) {
        Notice("No page folder \"" + baseDir_ + files::kHtml + "\": every page is sent empty");
    }
    auto loaded = LoadConfiguration(baseDir_);
    if (auto* error = std::get_if<StartupError>(&loaded)) return error->message;
    Configuration& config = std::get<Configuration>(loaded);
    pages_ = std::move(config.pages);
    const DriveSettings& settings = config.drive;
    for (const Axis axis : kAxes) {
        if (!settings.axes[IndexOf(axis)]) continue;
        const std::string folder = baseDir_ + InfoOf(axis).folder;
        CheckSavable(folder + files::kTotalSteps, InfoOf(axis).position);
        CheckSavable(folder + files::kStepCount, InfoOf(axis).phase);
    }
    coils_.Attach(openCoils_(settings));
    if (requireCoils_ && coils_.Simulated()) {
        return "The coils cannot be driven (" + coils_.Describe() +
               ") and --require-coils is given";
    }
    motor_.Load(settings.axes);
    for (const Axis axis : kAxes) {
        if (axis == Axis::Pan || !settings.axes[IndexOf(axis)]) continue;
        const auto& lines = settings.gpio ? settings.gpio->axes[IndexOf(axis)] : std::nullopt;
        axisSummaries_.push_back(
            std::string(InfoOf(axis).name) + " motor: " + baseDir_ + InfoOf(axis).folder + ", on " +
            (lines ? "GPIO " + lines->Describe() : DataLinesOf(axis) + " of the same port"));
    }
    OpenOnvif(config);
    auto failure = StartListener(config);
    if (failure || (onvif_ && (failure = onvif_->Start()))) {
        coils_.SwitchOff();
        return failure;
    }
    started_ = true;
    PrintSummary();
    ShowMotorSoon();
    return std::nullopt;
}

void Station::RegisterHotKeys() {
    const auto states = hotKeys_.Register(
        ShortcutsFor([this](Axis axis) { return AxisExists(baseDir_, axis); }),
        [this](Shortcut shortcut) {
            const ShortcutInfo& info = InfoOf(shortcut);
            BigMove(info.direction, info.axis);
        },
        [this](const std::vector<ShortcutState>& later) {
            ShowHotKeys(later);
            if (started_) say_("hot keys: " + hotKeyState_ + hotKeyReasons_);
        });
    ShowHotKeys(states);
}

// "desktop portal: Alt+Z held as Ctrl+F5, Alt+X pending", and in the window a notice for each
// key that is not held. Standard error gets one line of it all, with the reasons once each.
void Station::ShowHotKeys(const std::vector<ShortcutState>& states) {
    hotKeyState_ = hotKeys_.Backend();
    std::vector<std::string> reasons;
    const auto addReason = [&](const std::string& reason) {
        if (std::find(reasons.begin(), reasons.end(), reason) == reasons.end()) {
            reasons.push_back(reason);
        }
    };
    if (!hotKeys_.Limitation().empty()) {
        Notice("Hot keys: " + hotKeys_.Limitation(), "hot keys", false);
        addReason(hotKeys_.Limitation());
    }
    const char* separator = ": ";
    for (const ShortcutState& state : states) {
        const ShortcutInfo& info = InfoOf(state.shortcut);
        const std::string key = std::string("hot key ") + info.id;
        hotKeyState_ += separator + std::string(info.trigger);
        separator = ", ";
        switch (state.kind) {
            case ShortcutState::Kind::Held:
                hotKeyState_ += " held";
                if (state.trigger != info.trigger) hotKeyState_ += " as " + state.trigger;
                ClearNotice(key);
                break;
            case ShortcutState::Kind::Pending:
                hotKeyState_ += " pending (" + state.detail + ")";
                ClearNotice(key);
                break;
            default: {
                const std::string reason =
                    state.detail.empty() ? KindText(state.kind) : state.detail;
                hotKeyState_ += " not held";
                addReason(reason);
                Notice(std::string("Hot key ") + info.trigger + ": " + reason, key, false);
            }
        }
    }
    hotKeyReasons_.clear();
    for (const std::string& reason : reasons) {
        hotKeyReasons_ += (hotKeyReasons_.empty() ? " (" : "; ") + reason;
    }
    if (!hotKeyReasons_.empty()) hotKeyReasons_ += ")";
    if (view_ != nullptr) view_->NoticesChanged();
}

// What a service's journal should show: what Tarvik runs on and what it got.
void Station::PrintSummary() const {
    const auto& line = say_;
    line("Config folder: " + baseDir_ + files::kConfig);
    line("listening on TCP port " + std::to_string(server_.LocalPort()) +
         (listenAddress_.empty() ? " on every interface" : " on " + listenAddress_ + " only") +
         ": " + WebAddress());
    line("coils: " + coils_.Describe());
    for (const std::string& axis : axisSummaries_) line(axis);
    line("step thread: " + engine_.Priority());
    line("hot keys: " + hotKeyState_ + hotKeyReasons_);
    if (onvif_) line(onvif_->Summary());
}

std::optional<std::string> Station::StartListener(const Configuration& config) {
    listenAddress_ = config.listenAddress;
    QString reason;
    if (!server_.Listen(listenAddress_, config.port, &reason)) {
        return "Cannot listen on TCP port " + std::to_string(config.port) + " (from \"" + baseDir_ +
               files::kPort + "\")" + (listenAddress_.empty() ? "" : " at " + listenAddress_) +
               ": " + reason.toStdString();
    }
    return std::nullopt;
}

void Station::OpenOnvif(Configuration& config) {
    if (!config.onvif) return;
    onvif_ = std::make_unique<OnvifEndpoint>(std::move(*config.onvif), std::move(*config.presets),
                                             baseDir_, motor_, requestLog_, clock_, descriptors_,
                                             [this](const std::string& text) { Notice(text); });
    onvif_->OnPresetsChanged([this] {
        if (view_ != nullptr) view_->PresetsChanged();
    });
}

// The address a browser opens: the listening address, or this machine's name when every
// interface listens. An IPv6 literal in brackets, its interface escaped as a URL wants it.
std::string Station::WebAddress() const {
    std::string host = listenAddress_;
    if (host.empty()) {
        char name[HOST_NAME_MAX + 1] = "";
        host = ::gethostname(name, sizeof name) == 0 && name[0] != '\0' ? name : "localhost";
    } else if (host.find(':') != std::string::npos) {
        if (const auto percent = host.find('%'); percent != std::string::npos) {
            host.insert(percent + 1, "25");
        }
        host = "[" + host + "]";
    }
    return "http://" + host + ":" + std::to_string(server_.LocalPort()) + "/";
}

std::vector<onvif::Preset> Station::Presets() const {
    return onvif_ ? onvif_->Presets() : std::vector<onvif::Preset>{};
}

std::optional<std::string> Station::SavePreset(const std::string& name) {
    if (!onvif_) return std::string("Presets come with ") + (files::kOnvif + 1);
    return onvif_->SavePresetHere(name);
}

void Station::GoToPreset(const std::string& token) {
    if (onvif_) onvif_->GoToPreset(token);
}

void Station::RemovePreset(const std::string& token) {
    if (onvif_) onvif_->RemovePreset(token);
}

void Station::Shutdown() {
    if (shutDown_ || !started_) return;
    shutDown_ = true;
    followTimer_.stop();
    sweepTimer_.stop();
    SaveAndSwitchOff();
    if (onvif_) onvif_->Stop();
    hotKeys_.Release();
}

void Station::SaveAndSwitchOff() {
    if (switchedOff_ || !started_) return;
    switchedOff_ = true;
    engine_.Stop();
    SaveState();
    coils_.SwitchOff();
    say_(exitSummary_ + "; coils off");
}

// An action on an axis the mount lacks does nothing.
void Station::BigMove(Direction direction, Axis axis) {
    motor_.With(axis, [&](Motor& m) { m.BigMove(direction); });
}

void Station::SingleStep(Direction direction, Axis axis) {
    motor_.With(axis, [&](Motor& m) { m.Step(1, direction); });
}

void Station::ReturnToMiddle(Axis axis) {
    motor_.With(axis, [](Motor& m) { m.ReturnToMiddle(); });
}

std::optional<std::string> Station::ChangeStepSize(std::string_view text) {
    const StepSizeInput input = ParseStepSize(text);
    if (!input.value) {
        Notice(input.reason + " (step size stays " + std::to_string(BigStep()) + ")");
        return input.reason;
    }
    motor_.With([&](Motor& motor) { motor.SetBigStep(*input.value); });
    return std::nullopt;
}

void Station::Center() {
    ScrollFollow& pan = Scroll(Axis::Pan);
    if (!pan.Center()) {
        Notice("Center refused: the middle " +
               std::to_string(motor_.With([](Motor& m) { return m.MiddleStep(); })) +
               " lies outside the reachable range " + std::to_string(pan.Minimum()) + " to " +
               std::to_string(pan.Maximum()));
    }
    ShowMotorSoon();
}

bool Station::ToggleSweep() {
    return sweep_.Toggle();
}

// The follow only has work while the bar differs from where the motor was sent: an idle
// Tarvik sleeps instead of waking fifty times a second.
void Station::DragScroll(int value, Axis axis) {
    if (!Has(axis)) return;
    Scroll(axis).Drag(value);
    if (started_ && !shutDown_ && !followTimer_.isActive()) followTimer_.start();
}

void Station::FollowScroll() {
    bool settled = true;
    for (const Axis axis : kAxes) {
        if (!Has(axis)) continue;
        Scroll(axis).Tick();
        settled = Scroll(axis).Settled() && settled;
    }
    if (settled) followTimer_.stop();
    ShowMotorSoon();
}

std::int16_t Station::Position(Axis axis) {
    return motor_.With(axis, [](Motor& motor) { return motor.Position(); }).value_or(0);
}

std::int16_t Station::BigStep(Axis axis) {
    return motor_.With(axis, [](Motor& motor) { return motor.BigStep(); }).value_or(0);
}

bool Station::IsMoving() {
    return motor_.WithAll([](SharedMotor::Locked& axes) {
        bool moving = false;
        axes.ForEach([&](Channel& axis) { moving = moving || axis.motor.IsMoving(); });
        return moving;
    });
}

// After the motors' lock, on the step thread or the thread that stopped a move.
void Station::Stepped(Axis, std::int16_t, Direction) {
    ShowMotorSoon();
}

// The save and the follow run on the event loop: the step thread never waits for a disk.
void Station::MoveEnded(Axis, std::int16_t) {
    moveEndedPending_ = true;
    displayPending_ = true;
    Wake();
}

// From any thread: one update of the window per display interval, with the latest state.
void Station::ShowMotorSoon() {
    if (!displayPending_.exchange(true)) Wake();
}

void Station::Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
}

void Station::OnWake() {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto got = ::read(wake_, &count, sizeof count);
    if (moveEndedPending_.exchange(false) && !switchedOff_) {
        SaveState();
        if (!followTimer_.isActive()) followTimer_.start();
    }
    if (displayPending_ && !displayTimer_.isActive()) displayTimer_.start();
}

// The position and the coil phase the rotor holds, of every motor, as one snapshot: both are
// needed for the camera to be where Tarvik thinks at the next start.
void Station::SaveState() {
    struct Held {
        Axis axis;
        std::int16_t position, phase;
    };
    const std::vector<Held> held = motor_.WithAll([](SharedMotor::Locked& axes) {
        std::vector<Held> all;
        axes.ForEach([&](Channel& c) {
            all.push_back({c.motor.Which(), c.motor.Position(), c.motor.Phase()});
        });
        return all;
    });
    bool saved = true;
    std::string said;
    for (const Held& h : held) {
        const AxisInfo& info = InfoOf(h.axis);
        const std::string folder = baseDir_ + info.folder;
        saved = SaveValue(folder + files::kTotalSteps, info.position, h.position) && saved;
        saved = SaveValue(folder + files::kStepCount, info.phase, h.phase) && saved;
        said += std::string(said.empty() ? "" : ", ") + info.name + " at " +
                std::to_string(h.position) + " phase " + std::to_string(h.phase);
    }
    lastSaveFailed_ = !saved;
    exitSummary_ = (saved ? "saved: " : "not all saved (see above): ") + said;
}

bool Station::SaveValue(const std::string& path, const std::string& what, int value) {
    const std::string key = "save " + path;
    const SaveOutcome outcome = WriteFileContents(path, std::to_string(value));
    if (!outcome.saved) {
        Notice(Capitalised(what) + " " + std::to_string(value) + " not saved to \"" + path +
                   "\": " + outcome.reason,
               key);
        return false;
    }
    ClearNotice(key);
    if (!outcome.atomic &&
        std::find(nonAtomicSaid_.begin(), nonAtomicSaid_.end(), path) == nonAtomicSaid_.end()) {
        nonAtomicSaid_.push_back(path);
        Notice(NotAtomicText(path, outcome.reason));
    }
    return true;
}

// Said at once, so that nobody learns at the end of a day's work that nothing was kept.
void Station::CheckSavable(const std::string& path, const std::string& what) {
    const SaveOutcome check = CheckWritable(path);
    if (!check.saved) {
        Notice(Capitalised(CannotSaveText(what, path, check.reason)));
    } else if (!check.atomic) {
        nonAtomicSaid_.push_back(path);
        Notice(NotAtomicText(path, check.reason));
    }
}

void Station::Notice(const std::string& text, const std::string& key, bool said) {
    if (!key.empty()) ClearNotice(key);
    notices_.emplace_back(key, text);
    if (said) say_(text);
    if (view_ != nullptr) view_->NoticesChanged();
}

void Station::WindowNotice(const std::string& text) {
    notices_.emplace_back(std::string(), text);
    if (view_ != nullptr) view_->NoticesChanged();
}

void Station::ClearNotice(const std::string& key) {
    const auto removed = std::erase_if(notices_, [&](const auto& n) { return n.first == key; });
    if (removed > 0 && view_ != nullptr) view_->NoticesChanged();
}

std::vector<std::string> Station::Notices() const {
    std::vector<std::string> texts;
    for (auto it = notices_.rbegin(); it != notices_.rend(); ++it) texts.push_back(it->second);
    return texts;
}

}  // namespace tarvik
