// Tarvik without its window: the configuration, the motors on their step thread, the web
// server, the sweep, the scroll follow and the position files. It runs under QCoreApplication
// when there is no display; the window only shows its state and forwards the operator.
//
//   step thread ── tick ──► SharedMotor ──► coils; scroll bars pushed (under the lock)
//        │ stepped / move ended (after the lock)
//        ▼
//   Station: position shown at display rate; positions saved (queued to the event loop)
//        ▲
//   event loop: web requests, ONVIF, sweep (3 s), scroll follow (20 ms), hot keys, the window
//
// Every axis is served the same way: the pan always, each further axis where its folder is.
#pragma once

#include <QObject>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AutoSweep.h"
#include "ChatBoard.h"
#include "CoilOutput.h"
#include "ConfigFiles.h"
#include "ConfigLock.h"
#include "Configuration.h"
#include "HotKeys.h"
#include "LineList.h"
#include "Motor.h"
#include "OnvifEndpoint.h"
#include "RequestHandler.h"
#include "ScrollFollow.h"
#include "StepEngine.h"
#include "WebServer.h"

namespace tarvik {

// What the window is told; always on the event loop.
class StationView {
  public:
    virtual ~StationView() = default;
    virtual void NoticesChanged() = 0;
    // Position, scroll bar or coils changed; the latest state is read back.
    virtual void MotorChanged() = 0;
    // A preset was saved or removed, here or over ONVIF.
    virtual void PresetsChanged() {}
};

// The coil output for a configuration: the parallel port, or a recording fake in tests.
using CoilFactory = std::function<std::unique_ptr<CoilOutput>(const DriveSettings&)>;
// Where the start-up summary and the notices are said: standard error unless told otherwise.
using SayLine = std::function<void(const std::string&)>;

class Station : public QObject, private MotorListener {
  public:
    Station(std::string baseDir, CoilFactory openCoils, HotKeys& hotKeys, const Clock& clock,
            ServerLimits webLimits = {});
    ~Station() override;

    // Start-up. Returns the message that stops it, or nullopt when Tarvik is running; then
    // a summary of what it got is on standard error.
    std::optional<std::string> Start();
    // Coils that would be simulated stop start-up instead: for a service, which must fail
    // where it can be seen rather than run while nothing turns. Before Start.
    void RequireCoils() { requireCoils_ = true; }
    // Saves the position and the phase, switches the coils off, gives the hot keys back. Once.
    void Shutdown();
    // What must happen even when the display is gone and Qt ends the process: the step
    // thread stopped, the position and the phase saved and the coils off. Once, after a full
    // start-up.
    void SaveAndSwitchOff();
    bool LastSaveFailed() const { return lastSaveFailed_; }

    // The operator's actions, on the pan motor unless the tilt is named.
    void BigMove(Direction direction, Axis axis = Axis::Pan);
    void SingleStep(Direction direction, Axis axis = Axis::Pan);
    void ReturnToMiddle(Axis axis = Axis::Pan);
    // Nullopt when taken, otherwise why not (the old size stays).
    std::optional<std::string> ChangeStepSize(std::string_view text);
    void Center();
    bool ToggleSweep();
    void DragScroll(int value, Axis axis = Axis::Pan);

    // The presets ONVIF serves, with Config/Onvif.ini: the window lists, saves, goes to and
    // removes the same ones. Saving under a name that exists replaces that preset.
    bool HasPresets() const { return onvif_ != nullptr; }
    std::vector<onvif::Preset> Presets() const;
    // Why not, or nullopt.
    std::optional<std::string> SavePreset(const std::string& name);
    void GoToPreset(const std::string& token);
    void RemovePreset(const std::string& token);

    // State for the window.
    bool Has(Axis axis) const { return motor_.Has(axis); }
    bool HasTilt() const { return Has(Axis::Tilt); }
    std::int16_t Position(Axis axis = Axis::Pan);
    std::int16_t BigStep(Axis axis = Axis::Pan);
    bool IsMoving();
    ScrollFollow& Scroll(Axis axis = Axis::Pan) { return scrolls_[IndexOf(axis)]; }
    std::uint8_t CoilPattern() const { return coils_.LastPattern(); }
    std::string CoilDescription() const { return coils_.Describe(); }
    std::uint16_t ListeningPort() const { return server_.LocalPort(); }
    // "http://garden:8534/": where a browser reaches the web server.
    std::string WebAddress() const;
    const std::string& StepPriority() const { return engine_.Priority(); }
    // "X11 key grabs: Alt+Z held, Alt+X held"
    const std::string& HotKeyState() const { return hotKeyState_; }
    const LineList& RequestLog() const { return requestLog_; }
    const LineList& ChatList() const { return chatList_; }
    LineList& RequestLog() { return requestLog_; }
    LineList& ChatList() { return chatList_; }
    // A notice in the window and, when `said`, on standard error. A notice with a key
    // replaces the earlier one with that key.
    void Notice(const std::string& text, const std::string& key = {}, bool said = true);
    // A notice for the window alone: what cannot be said on standard error any more.
    void WindowNotice(const std::string& text);
    void SetSay(SayLine say) { say_ = std::move(say); }
    // Newest first.
    std::vector<std::string> Notices() const;
    void SetView(StationView* view) { view_ = view; }

  private:
    // On the step thread, under the motor's lock.
    void Stepped(Axis axis, std::int16_t position, Direction direction) override;
    void MoveEnded(Axis axis, std::int16_t position) override;

    void RegisterHotKeys();
    void ShowHotKeys(const std::vector<ShortcutState>& states);
    void PrintSummary() const;
    std::optional<std::string> StartListener(const Configuration& config);
    void OpenOnvif(Configuration& config);
    void CheckSavable(const std::string& path, const std::string& what);
    void SaveState();
    bool SaveValue(const std::string& path, const std::string& what, int value);
    void FollowScroll();
    void ShowMotorSoon();
    // The step thread's way to the event loop: an eventfd, so that nothing but atomics
    // and the motor's lock is shared between the threads.
    void Wake();
    void OnWake();
    void ClearNotice(const std::string& key);

    std::string baseDir_;
    const Clock& clock_;
    CoilFactory openCoils_;
    HotKeys& hotKeys_;
    ConfigLock configLock_;
    Pages pages_;
    WatchedCoils coils_;
    SharedMotor motor_;  // before the step thread, which ticks it
    StepEngine engine_;
    PerAxis<ScrollFollow> scrolls_;
    QTimer sweepTimer_;
    QTimer followTimer_;
    QTimer displayTimer_;
    std::unique_ptr<Timer> sweepTimerSeam_;
    AutoSweep sweep_;
    LineList requestLog_;
    LineList chatList_;
    ChatBoard chat_;
    RequestHandler handler_;
    DescriptorBudget descriptors_;
    WebServer server_;
    std::unique_ptr<OnvifEndpoint> onvif_;  // when Config/Onvif.ini exists
    StationView* view_ = nullptr;
    std::vector<std::pair<std::string, std::string>> notices_;  // key, text; oldest first
    std::atomic<bool> displayPending_{false};
    std::atomic<bool> moveEndedPending_{false};
    int wake_ = -1;
    bool started_ = false;
    bool switchedOff_ = false;
    bool shutDown_ = false;
    bool lastSaveFailed_ = false;
    bool requireCoils_ = false;
    std::vector<std::string> nonAtomicSaid_;  // files whose saves were said not to be atomic
    std::string hotKeyState_;
    std::string hotKeyReasons_;  // why keys are not held, for the start-up line
    std::string exitSummary_;
    std::string wakeProblem_;                 // why the step thread has no way to the event loop
    std::string listenAddress_;               // empty: every interface
    std::vector<std::string> axisSummaries_;  // each further axis: its folder and its coils
    SayLine say_;
};

}  // namespace tarvik
