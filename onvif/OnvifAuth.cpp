#include "OnvifAuth.h"

#include "Conversions.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <cctype>
#include <charconv>
#include <random>

namespace tarvik::onvif {
namespace {

constexpr auto kWindow = std::chrono::minutes(5);
// How far ahead of this clock a token's Created may be; also how long after a start a token
// must have been made. Clients set their time from GetSystemDateAndTime or by NTP.
constexpr auto kAhead = std::chrono::seconds(5);
constexpr std::size_t kMostTokensKept = 50000;
constexpr std::size_t kMostDigestNonces = 4096;
constexpr std::uint32_t kCountsKept = 64;
constexpr const char* kRealm = "tarvik";

QByteArray Bytes(const std::string& text) {
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

std::string Hex(QCryptographicHash::Algorithm algorithm, const std::string& text) {
    return QCryptographicHash::hash(Bytes(text), algorithm).toHex().toStdString();
}

std::int64_t Seconds(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

// The parameters of an Authorization header: Digest name="value", name=value, ...
std::map<std::string, std::string> DigestParameters(const std::string& header) {
    std::map<std::string, std::string> parameters;
    std::size_t at = header.find(' ');
    while (at != std::string::npos && at < header.size()) {
        while (at < header.size() && (header[at] == ' ' || header[at] == ',')) ++at;
        const std::size_t equals = header.find('=', at);
        if (equals == std::string::npos) break;
        const std::string name = AsciiLower(header.substr(at, equals - at));
        std::string value;
        at = equals + 1;
        if (at < header.size() && header[at] == '"') {
            const std::size_t close = header.find('"', at + 1);
            if (close == std::string::npos) break;
            value = header.substr(at + 1, close - at - 1);
            at = close + 1;
        } else {
            const std::size_t end = header.find(',', at);
            value = header.substr(at, end == std::string::npos ? std::string::npos : end - at);
            while (!value.empty() && value.back() == ' ') value.pop_back();
            at = end;
        }
        parameters[name] = value;
    }
    return parameters;
}

// A number of `digits` digits at most in `base`, nothing else.
template <typename Number>
bool ReadNumber(std::string_view text, std::size_t digits, int base, Number& value) {
    if (text.empty() || text.size() > digits) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool SameSecret(const std::string& a, const std::string& b) {
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    }
    return difference == 0;
}

OnvifAuth::OnvifAuth(std::string user, std::string password, Now now)
    : user_(std::move(user)), password_(std::move(password)), now_(std::move(now)) {
    started_ = now_();
    std::random_device random;
    for (int i = 0; i < 32; ++i) secret_ += static_cast<char>(random() & 0xFF);
}

OnvifAuth::Verdict OnvifAuth::Check(const XmlElement& soapHeader, const std::string& authorization,
                                    const Request& request) {
    ForgetExpired();
    if (const XmlElement* token = soapHeader.Find({"Security", "UsernameToken"})) {
        return VerdictOf(Scheme::WsSecurity, CheckUsernameToken(*token, request));
    }
    if (authorization.starts_with("Digest ")) {
        return VerdictOf(Scheme::Digest, CheckDigest(authorization, request));
    }
    return {};
}

OnvifAuth::Verdict OnvifAuth::VerdictOf(Scheme scheme, Refusal refusal) const {
    return {refusal == Refusal::None ? std::optional(user_) : std::nullopt, scheme, refusal};
}

OnvifAuth::Refusal OnvifAuth::CheckUsernameToken(const XmlElement& token, const Request& request) {
    const XmlElement* username = token.Child("Username");
    const XmlElement* password = token.Child("Password");
    if (username == nullptr || password == nullptr || !SameSecret(username->text, user_)) {
        return Refusal::WrongCredentials;
    }
    if (password->Attribute("Type").ends_with("#PasswordText")) {
        return SameSecret(password->text, password_) ? Refusal::None : Refusal::WrongCredentials;
    }
    const XmlElement* nonce = token.Child("Nonce");
    const XmlElement* created = token.Child("Created");
    if (nonce == nullptr || created == nullptr) return Refusal::WrongCredentials;
    const QDateTime when =
        QDateTime::fromString(QString::fromStdString(created->text), Qt::ISODateWithMs);
    if (!when.isValid()) return Refusal::WrongCredentials;
    const auto createdAt =
        std::chrono::system_clock::time_point(std::chrono::milliseconds(when.toMSecsSinceEpoch()));
    const auto now = now_();
    if (createdAt < now - kWindow || createdAt > now + kAhead || createdAt < started_ + kAhead) {
        return Refusal::OutsideWindow;
    }
    const QByteArray nonceBytes = QByteArray::fromBase64(Bytes(nonce->text));
    const std::string expected =
        QCryptographicHash::hash(nonceBytes + Bytes(created->text) + Bytes(password_),
                                 QCryptographicHash::Sha1)
            .toBase64()
            .toStdString();
    if (!SameSecret(password->text, expected)) return Refusal::WrongCredentials;
    return TakeToken(nonceBytes.toStdString(), createdAt, request);
}

OnvifAuth::Refusal OnvifAuth::TakeToken(const std::string& nonce,
                                        std::chrono::system_clock::time_point createdAt,
                                        const Request& request) {
    auto found = tokenNonces_.find(nonce);
    if (found != tokenNonces_.end()) {
        if (found->second.peer != request.peer || request.changes) return Refusal::Replayed;
    } else {
        if (tokenNonces_.size() >= kMostTokensKept) return Refusal::Full;
        found = tokenNonces_.emplace(nonce, TokenNonce{request.peer, {}}).first;
    }
    TokenNonce& kept = found->second;
    if (createdAt + kWindow > kept.forgettable) {
        kept.forgettable = createdAt + kWindow;
        tokenExpiries_.emplace(kept.forgettable, nonce);
    }
    return Refusal::None;
}

OnvifAuth::Refusal OnvifAuth::CheckDigest(const std::string& authorization,
                                          const Request& request) {
    auto p = DigestParameters(authorization);
    const std::string algorithm = p.count("algorithm") != 0 ? p["algorithm"] : "MD5";
    const auto hash = algorithm == "SHA-256" ? QCryptographicHash::Sha256 : QCryptographicHash::Md5;
    if ((algorithm != "MD5" && algorithm != "SHA-256") || p["qop"] != "auth" ||
        !SameSecret(p["username"], user_) || p["realm"] != kRealm || p["uri"] != request.uri) {
        return Refusal::WrongCredentials;
    }
    const auto nonce = ReadNonce(p["nonce"]);
    if (!nonce) return Refusal::Stale;
    const std::string ha1 = Hex(hash, user_ + ":" + kRealm + ":" + password_);
    const std::string ha2 = Hex(hash, request.method + ":" + request.uri);
    const std::string expected =
        Hex(hash, ha1 + ":" + p["nonce"] + ":" + p["nc"] + ":" + p["cnonce"] + ":auth:" + ha2);
    if (!SameSecret(p["response"], expected)) return Refusal::WrongCredentials;
    return TakeCount(*nonce, p["nc"]);
}

// A count above the highest so far, or one of the 64 below it not used yet, is taken.
OnvifAuth::Refusal OnvifAuth::TakeCount(const NonceId& nonce, const std::string& count) {
    std::uint32_t nc = 0;
    if (count.size() != 8 || !ReadNumber(count, 8, 16, nc) || nc == 0) {
        return Refusal::WrongCredentials;
    }
    auto found = digestNonces_.find(nonce);
    if (found == digestNonces_.end()) {
        if (nonce <= forgottenUpTo_) return Refusal::Stale;
        if (digestNonces_.size() >= kMostDigestNonces) {
            forgottenUpTo_ = std::max(forgottenUpTo_, digestNonces_.begin()->first);
            digestNonces_.erase(digestNonces_.begin());
            if (nonce <= forgottenUpTo_) return Refusal::Stale;
        }
        found = digestNonces_.emplace(nonce, CountsSeen{}).first;
    }
    CountsSeen& seen = found->second;
    if (nc > seen.highest) {
        const std::uint32_t shift = nc - seen.highest;
        seen.below = shift >= kCountsKept ? 0 : seen.below << shift;
        seen.below |= 1;
        seen.highest = nc;
        return Refusal::None;
    }
    const std::uint32_t back = seen.highest - nc;
    if (back >= kCountsKept) return Refusal::Stale;
    const std::uint64_t bit = std::uint64_t{1} << back;
    if ((seen.below & bit) != 0) return Refusal::Replayed;
    seen.below |= bit;
    return Refusal::None;
}

std::string OnvifAuth::NonceOf(const NonceId& id) const {
    char serial[17];
    std::snprintf(serial, sizeof serial, "%llx", static_cast<unsigned long long>(id.second));
    const std::string head = std::to_string(id.first) + "." + serial;
    return head + "." + Hex(QCryptographicHash::Sha256, secret_ + head).substr(0, 32);
}

// The nonce's time and serial, when it is one of ours and not expired.
std::optional<OnvifAuth::NonceId> OnvifAuth::ReadNonce(const std::string& nonce) const {
    const auto dot = nonce.find('.');
    const auto dot2 = dot == std::string::npos ? dot : nonce.find('.', dot + 1);
    if (dot2 == std::string::npos) return std::nullopt;
    NonceId id;
    if (!ReadNumber(std::string_view(nonce).substr(0, dot), 12, 10, id.first) ||
        !ReadNumber(std::string_view(nonce).substr(dot + 1, dot2 - dot - 1), 16, 16, id.second)) {
        return std::nullopt;
    }
    const std::int64_t now = Seconds(now_());
    const std::int64_t window = std::chrono::duration_cast<std::chrono::seconds>(kWindow).count();
    if (id.first > now + 1 || now - id.first > window || !SameSecret(nonce, NonceOf(id))) {
        return std::nullopt;
    }
    return id;
}

// Digest nonces past their 5 minutes, and token nonces no token could be taken with any more.
void OnvifAuth::ForgetExpired() {
    const auto now = now_();
    const std::int64_t oldest = Seconds(now - kWindow);
    while (!digestNonces_.empty() && digestNonces_.begin()->first.first < oldest) {
        digestNonces_.erase(digestNonces_.begin());
    }
    while (!tokenExpiries_.empty() && tokenExpiries_.begin()->first < now) {
        const auto found = tokenNonces_.find(tokenExpiries_.begin()->second);
        if (found != tokenNonces_.end() && found->second.forgettable < now)
            tokenNonces_.erase(found);
        tokenExpiries_.erase(tokenExpiries_.begin());
    }
}

std::vector<std::string> OnvifAuth::Challenges(bool stale) {
    const std::string nonce = NonceOf({Seconds(now_()), nextSerial_++});
    std::vector<std::string> challenges;
    for (const char* algorithm : {"SHA-256", "MD5"}) {
        challenges.push_back(std::string("Digest realm=\"") + kRealm +
                             "\", algorithm=" + algorithm + ", qop=\"auth\", nonce=\"" + nonce +
                             "\", stale=" + (stale ? "TRUE" : "FALSE"));
    }
    return challenges;
}

}  // namespace tarvik::onvif
