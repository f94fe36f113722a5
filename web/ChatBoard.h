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
std::string URLDecode(std::string_view sEncodedURL);

class ChatBoard {
  public:
    ChatBoard(LineList& MsgList, const Clock& clock) : msgList_(MsgList), clock_(clock) {}

    // Path begins with "/chat". From its seventh character on it is a message.
    void ChatRequest(std::string_view RequestPath, Connection& connection);

    // Every line of the board, newest first, each followed by CR LF: the reply without its
    // last CR LF.
    std::string BuildChatText() const;
    // The chunks of that text as they stand.
    const std::deque<std::shared_ptr<const std::string>>& Chunks() const { return chunks_; }

  private:
    void AddLine(std::string line);
    void DropOldestLine();

    LineList& msgList_;
    const Clock& clock_;
    std::deque<std::shared_ptr<const std::string>> chunks_;  // newest first
    std::deque<std::size_t> linesIn_;                        // lines of each chunk
};

}  // namespace tarvik
