#include "QtAdapters.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace tarvik {

StepTimerFd::StepTimerFd(long periodNs, std::function<void()> onTick)
    : periodNs_(periodNs), onTick_(std::move(onTick)) {
    fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd_ < 0) return;
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &StepTimerFd::OnExpired);
}

StepTimerFd::~StepTimerFd() {
    delete notifier_;
    if (fd_ >= 0) ::close(fd_);
}

void StepTimerFd::SetEnabled(bool enabled) {
    if (enabled == enabled_ || fd_ < 0) return;
    enabled_ = enabled;
    itimerspec spec{};
    if (enabled) {
        spec.it_interval.tv_nsec = periodNs_;
        spec.it_value.tv_nsec = periodNs_;
    }
    ::timerfd_settime(fd_, 0, &spec, nullptr);
}

void StepTimerFd::OnExpired() {
    std::uint64_t expirations = 0;
    if (::read(fd_, &expirations, sizeof expirations) != sizeof expirations) return;
    if (enabled_) onTick_();
}

bool QtScrollBar::SetValue(int value) {
    if (value < bar_.minimum() || value > bar_.maximum()) return false;
    bar_.setValue(value);
    return true;
}

ListWidgetView::ListWidgetView(QListWidget& list) : list_(list) {
    flush_.setSingleShot(true);
    flush_.setInterval(50);
    QObject::connect(&flush_, &QTimer::timeout, &list_, [this] { Flush(); });
}

void ListWidgetView::InsertedAtTop(const std::string& line) {
    pendingTop_.append(QString::fromLocal8Bit(line.data(), static_cast<qsizetype>(line.size())));
    if (!flush_.isActive()) flush_.start();
}

void ListWidgetView::RemovedLast() {
    ++pendingRemovals_;
    if (!flush_.isActive()) flush_.start();
}

// Removals first come off the lines already shown, then off the oldest pending ones.
void ListWidgetView::Flush() {
    flush_.stop();
    while (pendingRemovals_ > 0 && list_.count() > 0) {
        delete list_.takeItem(list_.count() - 1);
        --pendingRemovals_;
    }
    const int drop = std::min(pendingRemovals_, static_cast<int>(pendingTop_.size()));
    pendingTop_.remove(0, drop);
    pendingRemovals_ = 0;
    std::reverse(pendingTop_.begin(), pendingTop_.end());
    list_.insertItems(0, pendingTop_);
    pendingTop_.clear();
}

}  // namespace tarvik
