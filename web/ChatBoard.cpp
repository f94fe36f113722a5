#include "ChatBoard.h"

#include <optional>

#include "Conversions.h"

namespace tarvik {
namespace {

// A message may not carry control bytes: they could forge lines in the reply or the list.
void BlankControlBytes(std::string& text) {
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 32 || byte == 127) c = ' ';
    }
}

}  // namespace

std::string URLDecode(std::string_view encoded) {
    std::string decoded;
    decoded.reserve(encoded.size());
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        char c = encoded[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%') {
            // Up to two digits follow; at the very end of the text there may be only one.
            const std::string_view digits = encoded.substr(i + 1, 2);
            if (digits.empty()) return {};
            int value = 0;
            for (char digit : digits) {
                const auto nibble = HexDigitValue(digit);
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

void ChatBoard::ChatRequest(std::string_view path, Connection& connection) {
    const std::string_view message = path.size() > 6 ? path.substr(6) : "";
    if (!message.empty()) {
        std::string text = URLDecode(message);
        BlankControlBytes(text);
        std::string line = LogLine(clock_, connection, text);
        lines_.InsertTop(line);
        AddLine(std::move(line));
    }
    while (lines_.Count() > kMaxLogLines) {
        lines_.RemoveLast();
        DropOldestLine();
    }
    for (const auto& chunk : chunks_) connection.SendShared(chunk);
    connection.SendLasting(kCrLf);
}

// Small lines share a chunk up to this size: a reply of a thousand short lines is a few
// pieces to write, and a new line copies at most this much.
constexpr std::size_t kChunkBytes = 16 * 1024;

void ChatBoard::AddLine(std::string line) {
    line += kCrLf;
    if (!chunks_.empty() && chunks_.front()->size() + line.size() <= kChunkBytes) {
        chunks_.front() = std::make_shared<const std::string>(line + *chunks_.front());
        ++linesIn_.front();
        return;
    }
    chunks_.push_front(std::make_shared<const std::string>(std::move(line)));
    linesIn_.push_front(1);
}

void ChatBoard::DropOldestLine() {
    if (chunks_.empty()) return;
    if (linesIn_.back() == 1) {
        chunks_.pop_back();
        linesIn_.pop_back();
        return;
    }
    const std::string& text = *chunks_.back();
    const std::size_t end = text.rfind(kCrLf, text.size() - kCrLf.size() - 1);
    chunks_.back() = std::make_shared<const std::string>(text.substr(0, end + kCrLf.size()));
    --linesIn_.back();
}

}  // namespace tarvik
