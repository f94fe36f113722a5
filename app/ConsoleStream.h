// Standard output or standard error, written without ever stopping the event loop.
//
// A pipe nobody reads, a terminal paused with Ctrl+S or a reader that has gone away must not
// stop the web server or the motor's saves. Lines go through a bounded buffer and are written
// without blocking as the stream takes them; lines that do not fit are dropped and counted,
// and the count is said once the stream has drained. A stream that is gone (the pipe's reader
// has closed it) takes nothing more, which is said once through `gone`.
#pragma once

#include <QObject>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class QSocketNotifier;

namespace tarvik {

class ConsoleStream : public QObject {
  public:
    // `fd` is 1 or 2. Pipes, terminals and sockets are written without blocking through a
    // descriptor of this stream's own, so that the shell sharing the original one never finds
    // it non-blocking; regular files never block and are written as they are.
    explicit ConsoleStream(int fd, std::size_t capacity = 256 * 1024);
    ~ConsoleStream() override;

    // Adds a line (a line break is appended).
    void WriteLine(std::string_view line);
    // Writes what the stream takes within `limit`: at exit, so that the last lines are not
    // lost, without hanging on a reader that never reads.
    void FlushWithin(std::chrono::milliseconds limit);

    // Called once when the stream is gone, with the reason.
    void OnGone(std::function<void(const std::string&)> gone) { gone_ = std::move(gone); }
    // How lines dropped for want of room are announced once the stream has drained: "N lines
    // were dropped" by default.
    void SetDropNote(std::function<std::string(std::uint64_t)> note) {
        dropNote_ = std::move(note);
    }
    std::uint64_t Dropped() const { return droppedTotal_; }
    bool Gone() const { return !gone_reason_.empty(); }

  private:
    enum class Kind { File, Socket, Other };
    void Flush();
    void WatchWritable(bool watch);

    int fd_;
    int own_ = -1;  // our own non-blocking descriptor, when one was opened
    Kind kind_ = Kind::Other;
    std::size_t capacity_;
    std::string buffer_;
    std::size_t written_ = 0;    // of buffer_
    std::uint64_t dropped_ = 0;  // since the last note
    std::uint64_t droppedTotal_ = 0;
    std::string gone_reason_;
    std::function<void(const std::string&)> gone_;
    std::function<std::string(std::uint64_t)> dropNote_;
    QSocketNotifier* writable_ = nullptr;
};

}  // namespace tarvik
