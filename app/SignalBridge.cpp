#include "SignalBridge.h"
#include "FileHelpers.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

#include <QSocketNotifier>
#include <csignal>

namespace tarvik {
namespace {

int g_pipe[2] = {-1, -1};

// Only async-signal-safe work here: hand the signal number to the event loop.
void OnSignal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const auto ignored = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

SignalBridge::SignalBridge(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, g_pipe) != 0) return;
    notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SignalBridge::OnReadable);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(number, &action, nullptr);
}

// Once the shutdown has begun, further signals are ignored until the process ends: with the
// default action a late one would end Tarvik with its number instead of its own exit status.
SignalBridge::~SignalBridge() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    for (int number : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(number, &action, nullptr);
    delete notifier_;
    for (int& fd : g_pipe) CloseIfOpen(std::exchange(fd, -1));
}

void SignalBridge::OnReadable() {
    unsigned char byte = 0;
    while (::read(g_pipe[0], &byte, 1) == 1) onSignal_(byte);
}

}  // namespace tarvik
