// The window: shows the station's state and forwards the operator's actions. It holds no
// program state of its own beyond what a window is (pointer, tray icon). The legacy control
// names are each control's objectName; docs/architecture.md maps them.
#pragma once

#include <QWidget>

#include "LineListModel.h"
#include "Station.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QListView;
class QListWidget;
class QMenu;
class QPushButton;
class QScrollBar;
class QSystemTrayIcon;

namespace tarvik {

class CoilIndicators;

class Cam : public QWidget, private StationView {
  public:
    static constexpr int kTiltColumn = 460;  // x of the tilt's controls
    explicit Cam(Station& station);
    ~Cam() override;

    // Shows the state after start-up and puts the icon in the tray menu's reach.
    void Attach();
    QString NoticeText() const;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

  private:
    void NoticesChanged() override;
    void MotorChanged() override;

    void BuildControls();
    void BuildTiltControls();
    void BuildPresetControls();
    void PresetsChanged() override;
    void SavePreset();
    std::string ChosenPreset() const;
    void DescribeControls();
    void BuildTray();
    void Wire();
    void WireAxis(Axis axis);
    void ShowBigStep();
    void FitCaptions();
    void ChangeStepSize();
    void RestoreFromTray();

    Station& station_;
    QPushButton* bigLeftButton_;
    QPushButton* bigRightButton_;
    QPushButton* singleLeftButton_;
    QPushButton* singleRightButton_;
    QPushButton* resetButton_;
    QPushButton* centerButton_;
    QPushButton* sweepButton_;
    QPushButton* changeStepButton_;
    QLineEdit* stepSizeBox_;
    QLabel* stepSizeNote_;
    QLabel* listeningPortLabel_;
    QLabel* requestHeading_;  // with the web server's address
    QLabel* positionLabel_;
    QLabel* scrollValueLabel_;
    QScrollBar* scrollBar_;
    QListView* requestLogView_;
    QListView* chatView_;
    CoilIndicators* coilLamps_;
    QLabel* coilOutputLabel_;
    QLabel* hotKeyLabel_;  // which backend holds the keys, and as what
    QLabel* noticeLabel_;
    // The controls of one axis, wherever the layout puts them; none for an axis the mount
    // lacks. The buttons are named by the way they move: towards the lower or higher end.
    struct AxisControls {
        QPushButton* bigLower = nullptr;
        QPushButton* bigHigher = nullptr;
        QPushButton* singleLower = nullptr;
        QPushButton* singleHigher = nullptr;
        QPushButton* middle = nullptr;
        QLabel* position = nullptr;
        QScrollBar* bar = nullptr;
        CoilIndicators* lamps = nullptr;
        // The caption of a big move of `steps` towards the lower end or the higher end.
        QString (*caption)(std::int16_t steps, bool lower) = nullptr;
    };
    PerAxis<AxisControls> axes_;
    QListWidget* presetList_ = nullptr;  // the presets box exists with ONVIF only
    QLineEdit* presetNameBox_ = nullptr;
    QLabel* presetNote_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    QSystemTrayIcon* trayIcon_ = nullptr;
    LineListModel requestLogModel_;
    LineListModel chatModel_;
};

}  // namespace tarvik
