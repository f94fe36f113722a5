#include "ChatBoard.h"

#include <optional>

namespace tarvik {
namespace {

std::optional<int> HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return std::nullopt;
}

// A message may not carry control bytes: they could forge lines in the reply or the list.
void BlankControlBytes(std::string& text) {
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 32 || byte == 127) c = ' ';
    }
}

}  // namespace

std::string URLDecode(std::string_view sEncodedURL) {
    std::string decoded;
    decoded.reserve(sEncodedURL.size());
    for (std::size_t i = 0; i < sEncodedURL.size(); ++i) {
        char c = sEncodedURL[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%') {
            // Up to two digits follow; at the very end of the text there may be only one.
            const std::string_view digits = sEncodedURL.substr(i + 1, 2);
            if (digits.empty()) return {};
            int value = 0;
            for (char digit : digits) {
                const auto nibble = HexValue(digit);
                if (!nibble) return {};
                value = value * 16 + *nibble;
            }
            c = static_cast<char>(value);
            i += 2;
        }
        decoded += c;
    }
    return decoded;
}

void ChatBoard::ChatRequest(std::string_view RequestPath, Connection& connection) {
    const std::string_view message = RequestPath.size() > 6 ? RequestPath.substr(6) : "";
    if (!message.empty()) {
        std::string text = URLDecode(message);
        BlankControlBytes(text);
        msgList_.InsertTop(LogLine(clock_, connection, text));
        reply_.reset();
    }
    msgList_.TrimTo(kMaxLogLines);
    connection.SendShared(Reply());
}

std::shared_ptr<const std::string> ChatBoard::Reply() {
    if (!reply_) {
        auto ChatText = std::make_shared<std::string>(BuildChatText());
        *ChatText += kCrLf;
        reply_ = std::move(ChatText);
    }
    return reply_;
}

std::string ChatBoard::BuildChatText() const {
    std::size_t size = 0;
    for (std::size_t i = 0; i < msgList_.Count(); ++i) size += msgList_.Line(i).size() + 2;
    std::string ChatText;
    ChatText.reserve(size + 2);
    for (std::size_t i = 0; i < msgList_.Count(); ++i) {
        ChatText += msgList_.Line(i);
        ChatText += kCrLf;
    }
    return ChatText;
}

}  // namespace tarvik
