// The chat board: messages arrive in request paths and the whole board is the reply.
//
// The reply is kept as immutable chunks of whole lines, newest first, each followed by
// CR LF. Every reply refers to the chunks of the board as it stood; a new message makes a
// new first chunk and the oldest line leaves by a new last chunk, so a post costs about its
// own size (never the board's), and readers that never read keep only the few chunks that
// have changed since, not a board each.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "LineList.h"
#include "WebPlatform.h"

namespace tarvik {

// Decodes "+" to a space and "%XX" to the byte XX. A "%" without two hexadecimal digits
// after it makes the whole result empty. No multi-byte decoding.
std::string URLDecode(std::string_view encoded);

class ChatBoard {
  public:
    ChatBoard(LineList& lines, const Clock& clock) : lines_(lines), clock_(clock) {}

    // The path begins with "/chat"; from its seventh character on it is a message. The reply
    // is every line of the board, newest first, each followed by CR LF, and a last CR LF.
    void ChatRequest(std::string_view path, Connection& connection);

  private:
    void AddLine(std::string line);
    void DropOldestLine();

    LineList& lines_;  // the board as the window lists it
    const Clock& clock_;
    std::deque<std::shared_ptr<const std::string>> chunks_;  // newest first
    std::deque<std::size_t> linesIn_;                        // lines of each chunk
};

}  // namespace tarvik
