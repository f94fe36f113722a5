#include "QtAdapters.h"

#include <sys/timerfd.h>
#include <unistd.h>

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

void ListWidgetView::InsertedAtTop(const std::string& line) {
    list_.insertItem(0, QString::fromLocal8Bit(line.data(), static_cast<qsizetype>(line.size())));
}

void ListWidgetView::RemovedLast() { delete list_.takeItem(list_.count() - 1); }

}  // namespace tarvik
