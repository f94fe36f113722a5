#include "ConsoleStream.h"
#include "FileHelpers.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <utility>

namespace tarvik {

ConsoleStream::ConsoleStream(int fd, std::size_t capacity) : fd_(fd), capacity_(capacity) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        gone_reason_ = std::strerror(errno);
        return;
    }
    if (S_ISREG(info.st_mode)) {
        kind_ = Kind::File;
    } else if (S_ISSOCK(info.st_mode)) {
        kind_ = Kind::Socket;  // send() takes MSG_DONTWAIT; the descriptor stays as it is
    } else {
        // Opening the pipe or terminal anew gives a descriptor of our own, whose
        // non-blocking flag nobody else sees.
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        own_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (own_ < 0 && errno == ENXIO) gone_reason_ = "nobody reads it";
    }
}

ConsoleStream::~ConsoleStream() {
    delete writable_;
    CloseIfOpen(own_);
}

void ConsoleStream::WriteLine(std::string_view line) {
    if (!gone_reason_.empty()) {
        ++droppedTotal_;
        return;
    }
    if (buffer_.size() - written_ + line.size() + 1 > capacity_) {
        ++dropped_;
        ++droppedTotal_;
        return;
    }
    if (written_ > capacity_ / 2) {
        buffer_.erase(0, written_);
        written_ = 0;
    }
    buffer_.append(line).push_back('\n');
    Flush();
}

void ConsoleStream::Flush() {
    const int fd = own_ >= 0 ? own_ : fd_;
    while (gone_reason_.empty()) {
        if (written_ == buffer_.size()) {
            buffer_.clear();
            written_ = 0;
            if (dropped_ == 0) break;
            const std::uint64_t dropped = std::exchange(dropped_, 0);
            buffer_ =
                (dropNote_ ? dropNote_(dropped) : std::to_string(dropped) + " lines were dropped") +
                "\n";
            continue;
        }
        const char* data = buffer_.data() + written_;
        const std::size_t size = buffer_.size() - written_;
        ssize_t sent = 0;
        if (kind_ == Kind::Socket) {
            sent = ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        } else if (own_ < 0 && kind_ == Kind::Other) {
            // A descriptor that could not be opened anew: written only when it says it has room.
            pollfd room{fd, POLLOUT, 0};
            sent = ::poll(&room, 1, 0) == 1 && (room.revents & POLLOUT) != 0
                       ? ::write(fd, data, std::min<std::size_t>(size, 512))
                       : (errno = EAGAIN, -1);
        } else {
            sent = ::write(fd, data, size);
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && errno == EAGAIN) {
            WatchWritable(true);
            return;
        }
        if (sent <= 0) {
            gone_reason_ = sent < 0 ? std::strerror(errno) : "it takes nothing";
            buffer_.clear();
            written_ = 0;
            if (gone_) gone_(gone_reason_);
            break;
        }
        written_ += static_cast<std::size_t>(sent);
    }
    WatchWritable(false);
}

void ConsoleStream::WatchWritable(bool watch) {
    if (writable_ == nullptr) {
        if (!watch) return;
        writable_ = new QSocketNotifier(own_ >= 0 ? own_ : fd_, QSocketNotifier::Write, this);
        connect(writable_, &QSocketNotifier::activated, this, [this] { Flush(); });
    }
    writable_->setEnabled(watch);
}

void ConsoleStream::FlushWithin(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    Flush();
    while (gone_reason_.empty() && written_ < buffer_.size()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd room{own_ >= 0 ? own_ : fd_, POLLOUT, 0};
        ::poll(&room, 1, static_cast<int>(left.count()));
        Flush();
    }
}

}  // namespace tarvik
