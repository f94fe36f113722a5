// A list of text lines kept as bytes, newest at the top, shown by a list widget.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>

namespace tarvik {

// What a list widget does to mirror a LineList.
class LineListView {
  public:
    virtual ~LineListView() = default;
    virtual void InsertedAtTop(const std::string& line) = 0;
    virtual void RemovedLast() = 0;
};

class LineList {
  public:
    void SetView(LineListView* view) { view_ = view; }
    // Also hands every new line to `echo` (a copy of the log on standard output).
    void SetEcho(std::function<void(const std::string&)> echo) { echo_ = std::move(echo); }

    void InsertTop(std::string line);
    void RemoveLast();
    std::size_t Count() const { return lines_.size(); }
    const std::string& Line(std::size_t index) const { return lines_[index]; }

    // Removes the last line while more than `cap` are held.
    void TrimTo(std::size_t cap);

  private:
    std::deque<std::string> lines_;
    LineListView* view_ = nullptr;
    std::function<void(const std::string&)> echo_;
};

// The maximum number of lines in the request log and on the chat board.
inline constexpr std::size_t kMaxLogLines = 1000;

}  // namespace tarvik
