// Turns SIGTERM, SIGINT and SIGHUP into a call on the event loop, so that a logout or a
// kill runs the ordinary shutdown (position saved, coils off) instead of ending mid-move.
#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace tarvik {

class SignalBridge : public QObject {
  public:
    explicit SignalBridge(std::function<void(int)> onSignal);
    ~SignalBridge() override;

  private:
    void OnReadable();

    std::function<void(int)> onSignal_;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace tarvik
