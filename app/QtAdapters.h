// Qt implementations of the logic's platform interfaces.
#pragma once

#include <QListWidget>
#include <QObject>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QTimer>
#include <functional>

#include "LineList.h"
#include "Platform.h"

namespace tarvik {

// A QTimer with a fixed interval.
class QtTimer : public Timer {
  public:
    QtTimer(QTimer& timer) : timer_(timer) {}
    void SetEnabled(bool enabled) override {
        if (enabled && !timer_.isActive()) timer_.start();
        if (!enabled) timer_.stop();
    }
    bool IsEnabled() const override { return timer_.isActive(); }

  private:
    QTimer& timer_;
};

// The step timer: a Linux timerfd with a 1 ms period watched in the event loop. Qt's own
// timers round each wait up to whole milliseconds and tick noticeably slower than asked.
// Expiries that were missed are not made up: a burst of steps is what a motor cannot follow.
class StepTimerFd : public QObject, public Timer {
  public:
    StepTimerFd(long periodNs, std::function<void()> onTick);
    ~StepTimerFd() override;
    void SetEnabled(bool enabled) override;
    bool IsEnabled() const override { return enabled_; }

  private:
    void OnExpired();

    int fd_ = -1;
    long periodNs_;
    bool enabled_ = false;
    std::function<void()> onTick_;
    QSocketNotifier* notifier_ = nullptr;
};

class QtScrollBar : public ScrollBarModel {
  public:
    explicit QtScrollBar(QScrollBar& bar) : bar_(bar) {}
    int Value() const override { return bar_.value(); }
    bool SetValue(int value) override;
    void SetRange(int minimum, int maximum) override { bar_.setRange(minimum, maximum); }
    int Minimum() const override { return bar_.minimum(); }
    int Maximum() const override { return bar_.maximum(); }

  private:
    QScrollBar& bar_;
};

// Mirrors a LineList in a list widget; the model keeps the bytes, the widget shows text.
// Changes reach the widget at most every 50 ms: a busy server would otherwise repaint
// the list once per request.
class ListWidgetView : public LineListView {
  public:
    explicit ListWidgetView(QListWidget& list);
    void InsertedAtTop(const std::string& line) override;
    void RemovedLast() override;
    // Applies what is pending now.
    void Flush();

  private:
    QListWidget& list_;
    QStringList pendingTop_;  // newest last
    int pendingRemovals_ = 0;
    QTimer flush_;
};

}  // namespace tarvik
