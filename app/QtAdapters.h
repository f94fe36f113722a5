// Qt implementations of the logic's platform interfaces.
#pragma once

#include <QAbstractListModel>
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
    // Runs the tick now when an expiry is pending, without waiting for the event loop.
    void ServeIfDue() {
        if (enabled_) OnExpired();
    }

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

// Shows a LineList in a list view without copying it: the list keeps the bytes, the view
// asks for the few rows it paints. Changes reach the view at most every 50 ms, so a busy
// server does not relayout and repaint the list once per request.
class LineListModel : public QAbstractListModel, public LineListView {
  public:
    explicit LineListModel(const LineList& lines, QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    void InsertedAtTop(const std::string& line) override;
    void RemovedLast() override;
    // Tells the view what changed since the last time.
    void Flush();

  private:
    const LineList& lines_;
    int shown_ = 0;           // rows the view knows of
    int pendingInserts_ = 0;  // lines added at the top since, not yet announced
    QTimer flush_;
};

}  // namespace tarvik
