// The chat board: messages arrive in request paths and the whole board is the reply.
#pragma once

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

    // Every line of the board, newest first, each followed by CR LF.
    std::string BuildChatText() const;
    // The whole reply: BuildChatText() and one more CR LF. Built once for each state of the
    // board and shared by every connection that sends it, however many never read it.
    std::shared_ptr<const std::string> Reply();

  private:
    LineList& msgList_;
    const Clock& clock_;
    std::shared_ptr<const std::string> reply_;  // of the board as it stands; null: stale
};

}  // namespace tarvik
