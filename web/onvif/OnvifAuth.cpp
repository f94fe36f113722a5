#include "OnvifAuth.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <cctype>
#include <map>
#include <random>

namespace tarvik::onvif {
namespace {

constexpr auto kWindow = std::chrono::minutes(5);
constexpr std::size_t kMostNoncesKept = 10000;
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
        std::string name = header.substr(at, equals - at);
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
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
    std::random_device random;
    for (int i = 0; i < 32; ++i) secret_ += static_cast<char>(random() & 0xFF);
}

OnvifAuth::Verdict OnvifAuth::Check(const XmlElement& soapHeader, const std::string& authorization,
                                    const std::string& method, const std::string& uri) {
    refusedWsSecurity_ = false;
    staleDigest_ = false;
    if (const XmlElement* token = soapHeader.Find({"Security", "UsernameToken"})) {
        const Verdict verdict = CheckUsernameToken(*token);
        refusedWsSecurity_ = verdict != Verdict::Allowed;
        return verdict;
    }
    if (authorization.starts_with("Digest ")) return CheckDigest(authorization, method, uri);
    return Verdict::NoCredentials;
}

OnvifAuth::Verdict OnvifAuth::CheckUsernameToken(const XmlElement& token) {
    const XmlElement* username = token.Child("Username");
    const XmlElement* password = token.Child("Password");
    if (username == nullptr || password == nullptr || !SameSecret(username->text, user_)) {
        return Verdict::Refused;
    }
    if (password->Attribute("Type").ends_with("#PasswordText")) {
        return SameSecret(password->text, password_) ? Verdict::Allowed : Verdict::Refused;
    }
    const XmlElement* nonce = token.Child("Nonce");
    const XmlElement* created = token.Child("Created");
    if (nonce == nullptr || created == nullptr) return Verdict::Refused;
    const QDateTime when =
        QDateTime::fromString(QString::fromStdString(created->text), Qt::ISODateWithMs);
    if (!when.isValid()) return Verdict::Refused;
    const auto createdAt =
        std::chrono::system_clock::time_point(std::chrono::milliseconds(when.toMSecsSinceEpoch()));
    const auto now = now_();
    if (createdAt > now + kWindow || createdAt < now - kWindow) return Verdict::Refused;
    const QByteArray nonceBytes = QByteArray::fromBase64(Bytes(nonce->text));
    const std::string expected =
        QCryptographicHash::hash(nonceBytes + Bytes(created->text) + Bytes(password_),
                                 QCryptographicHash::Sha1)
            .toBase64()
            .toStdString();
    if (!SameSecret(password->text, expected)) return Verdict::Refused;
    return Replayed(nonceBytes.toStdString(), createdAt) ? Verdict::Refused : Verdict::Allowed;
}

// Remembers the nonce for the window; true when it was seen within it already.
bool OnvifAuth::Replayed(const std::string& nonce, std::chrono::system_clock::time_point created) {
    const auto oldest = now_() - kWindow;
    while (!seen_.empty() && (seen_.front().first < oldest || seen_.size() >= kMostNoncesKept)) {
        seenNonces_.erase(seen_.front().second);
        seen_.pop_front();
    }
    if (!seenNonces_.insert(nonce).second) return true;
    seen_.emplace_back(std::max(created, now_()), nonce);
    return false;
}

OnvifAuth::Verdict OnvifAuth::CheckDigest(const std::string& authorization,
                                          const std::string& method, const std::string& uri) {
    auto p = DigestParameters(authorization);
    const std::string algorithm = p.count("algorithm") != 0 ? p["algorithm"] : "MD5";
    const auto hash = algorithm == "SHA-256" ? QCryptographicHash::Sha256 : QCryptographicHash::Md5;
    if ((algorithm != "MD5" && algorithm != "SHA-256") || p["qop"] != "auth" ||
        !SameSecret(p["username"], user_) || p["realm"] != kRealm || p["uri"] != uri) {
        return Verdict::Refused;
    }
    if (!FreshNonce(p["nonce"])) {
        staleDigest_ = true;
        return Verdict::Refused;
    }
    const std::string ha1 = Hex(hash, user_ + ":" + kRealm + ":" + password_);
    const std::string ha2 = Hex(hash, method + ":" + uri);
    const std::string expected =
        Hex(hash, ha1 + ":" + p["nonce"] + ":" + p["nc"] + ":" + p["cnonce"] + ":auth:" + ha2);
    return SameSecret(p["response"], expected) ? Verdict::Allowed : Verdict::Refused;
}

std::string OnvifAuth::NonceAt(std::int64_t seconds) const {
    const std::string time = std::to_string(seconds);
    return time + "." + Hex(QCryptographicHash::Sha256, secret_ + time).substr(0, 32);
}

bool OnvifAuth::FreshNonce(const std::string& nonce) const {
    const auto dot = nonce.find('.');
    if (dot == std::string::npos || dot == 0 || dot > 12) return false;
    for (std::size_t i = 0; i < dot; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(nonce[i]))) return false;
    }
    const std::int64_t issued = std::stoll(nonce.substr(0, dot));
    const std::int64_t now = Seconds(now_());
    const std::int64_t window = std::chrono::duration_cast<std::chrono::seconds>(kWindow).count();
    return issued <= now + 1 && now - issued <= window && SameSecret(nonce, NonceAt(issued));
}

std::vector<std::string> OnvifAuth::Challenges(bool stale) const {
    const std::string nonce = NonceAt(Seconds(now_()));
    std::vector<std::string> challenges;
    for (const char* algorithm : {"SHA-256", "MD5"}) {
        challenges.push_back(std::string("Digest realm=\"") + kRealm +
                             "\", algorithm=" + algorithm + ", qop=\"auth\", nonce=\"" + nonce +
                             "\", stale=" + (stale || staleDigest_ ? "TRUE" : "FALSE"));
    }
    return challenges;
}

}  // namespace tarvik::onvif
