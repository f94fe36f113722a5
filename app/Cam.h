// The main window: owns the motor, the web server, the console and every control.
#pragma once

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <optional>
#include <string>

#include "AutoSweep.h"
#include "ChatBoard.h"
#include "CoilIndicators.h"
#include "ConfigFiles.h"
#include "ConfigLock.h"
#include "HotKeys.h"
#include "LineList.h"
#include "Motor.h"
#include "QtAdapters.h"
#include "RequestHandler.h"
#include "SystemClock.h"
#include "WebServer.h"

namespace tarvik {

class ParallelPort;

class Cam : public QWidget, private MotorObserver {
  public:
    // `port` resolves I/O addresses; `describePort` (may be null) says whether it is real.
    Cam(std::string baseDir, PortWriter& port, ParallelPort* describePort = nullptr,
        WebServerLimits webLimits = {});
    ~Cam() override;

    // Start-up. Returns the message that stops it, or nullopt when Tarvik is running.
    std::optional<QString> Form_Load();
    // Saves the position, switches the coils off, gives back tray, keys and hook. Once.
    void Shutdown();
    // What must happen even when the display is gone and Qt ends the process: the position
    // saved and the coils off. Once, and only after a complete start-up.
    void SaveAndSwitchOff();
    // Whether the last save, at exit or earlier, failed.
    bool LastSaveFailed() const { return lastSaveFailed_; }

    void Command1_Click() { motor_.BigMoveLeft(); }
    void Command2_Click() { motor_.BigMoveRight(); }
    bool Step(std::int16_t steps, std::string_view Direction) {
        return motor_.Step(steps, Direction);
    }
    void Stepcount(std::int16_t phase) { motor_.Stepcount(phase); }

    Motor& motor() { return motor_; }
    AutoSweep& sweep() { return sweep_; }
    const LineList& requestLog() const { return List1Model; }
    const LineList& chatBoard() const { return MsgListModel; }
    WebServer& webServer() { return *webServer_; }
    const std::string& baseDir() const { return baseDir_; }
    QString Notices() const;
    // 0: the default pointer, 99: Tarvik's own.
    int MousePointer() const { return customPointer_ ? 99 : 0; }

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

  private:
    void ShowPosition(std::int16_t TotalSteps) override;
    void MoveEnded() override;

    void BuildControls();
    void BuildTray();
    void WireControls();
    void SetBigStep(std::int16_t value);
    void SavePosition();
    void CheckPositionFileWritable();
    // A notice at the bottom of the window and on standard error. A notice with a key
    // replaces the earlier one with that key; ClearNotice removes it.
    void Notice(const QString& text, const QString& key = {});
    void ClearNotice(const QString& key);
    void ShowNotices();
    std::optional<QString> StartListener();
    void RegisterHotKeys();

    void TmrStepServer_Timer() { motor_.Tick(); }
    void TimerScroll_Timer();
    void CmdResetCam_Click() { motor_.ReturnToMiddle(); }
    void CmdSingleL_Click() { motor_.Step(1, "l"); }
    void CmdSingleR_Click() { motor_.Step(1, "r"); }
    void ChangBigstep_Click();
    void CmdCenter_Click();
    void CmdAutoTmr_Click();
    void AutoTmr_Timer() { sweep_.Tick(); }
    void mnushow_Click();
    void mnuExit_Click();
    void OnHotKey(int id);

    std::string baseDir_;
    ParallelPort* describePort_;

    // Controls, named as the operator and the tests know them.
    QGroupBox* Frame1;
    QGroupBox* Frame2;
    QGroupBox* Frame3;
    QPushButton* Command1;
    QPushButton* Command2;
    QPushButton* CmdSingleL;
    QPushButton* CmdSingleR;
    QPushButton* CmdResetCam;
    QPushButton* CmdCenter;
    QPushButton* CmdAutoTmr;
    QPushButton* ChangBigstep;
    QLineEdit* StepText;
    QLabel* StepNote;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label4;
    QLabel* StepLabel;
    QLabel* Label5;
    QLabel* ScrollLabel;
    QScrollBar* MotorScroll;
    QListView* List1;
    QListView* MsgList;
    CoilIndicators* CoilLamps;
    QLabel* PortLabel;
    QLabel* NoticeLabel;
    QTimer TimerScroll;
    QTimer AutoTmr;
    QMenu* mnuPopup = nullptr;
    QAction* mnushow = nullptr;
    QAction* mnuExit = nullptr;
    QSystemTrayIcon* TrayIcon = nullptr;

    PortMonitor port_;
    QtScrollBar scroll_;
    StepTimerFd TmrStepServer;
    QtTimer autoTimer_;
    Motor motor_;
    AutoSweep sweep_;
    Pages pages_;
    SystemClock clock_;
    LineList List1Model;
    LineList MsgListModel;
    LineListModel list1View_;
    LineListModel msgListView_;
    ChatBoard chat_;
    RequestHandler handler_;
    std::unique_ptr<WebServer> webServer_;
    std::unique_ptr<HotKeys> hotKeys_;
    std::unique_ptr<WindowProc> windowProc_;
    ConfigLock configLock_;
    QList<std::pair<QString, QString>> notices_;  // key, text; newest first
    bool lastSaveFailed_ = false;
    bool nonAtomicSaidOnce_ = false;
    bool coilsEnergised_ = false;
    bool switchedOff_ = false;
    bool customPointer_ = false;
    bool loaded_ = false;
    bool shutDown_ = false;
};

}  // namespace tarvik
