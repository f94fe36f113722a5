#include "LineList.h"

namespace tarvik {

void LineList::InsertTop(std::string line) {
    lines_.push_front(std::move(line));
    if (view_ != nullptr) view_->InsertedAtTop(lines_.front());
    if (echo_) echo_(lines_.front());
}

void LineList::RemoveLast() {
    if (lines_.empty()) return;
    lines_.pop_back();
    if (view_ != nullptr) view_->RemovedLast();
}

void LineList::TrimTo(std::size_t cap) {
    while (lines_.size() > cap) RemoveLast();
}

}  // namespace tarvik
