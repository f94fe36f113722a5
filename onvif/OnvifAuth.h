// Who may steer: the user and password of Onvif.ini, shown either as a WS-Security
// UsernameToken in the SOAP header or as HTTP Digest (RFC 7616: MD5 or SHA-256, qop=auth).
//
// UsernameToken: digest = Base64(SHA-1(nonce + created + password)), or the password as text.
// Its Created may lie at most 5 minutes in the past and 5 seconds in the future of this clock,
// and must be at least 5 seconds after this start: a token used before a restart can never
// be taken after it. Every nonce is remembered for as long as a token with it could be
// taken; while that memory is full, new tokens are refused rather than old nonces forgotten.
// A nonce seen before is taken again only from the peer that first used it, for an operation
// that changes nothing: a session of libonvif sends its first token again with every call,
// at times byte for byte. A token sent again never moves the mount or changes a preset.
//
// Digest: each challenge has a nonce of its own that carries its time, a serial and a keyed
// check, and expires after 5 minutes (then stale=TRUE). The counts (nc) each nonce was used
// with are remembered, 64 back from the highest, so that a browser's parallel connections
// may send them out of order but none twice. Secrets are compared in constant time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Soap.h"

namespace tarvik::onvif {

class OnvifAuth {
  public:
    // Why a check refused.
    enum class Refusal {
        None,
        WrongCredentials,  // a wrong user or password: a guess
        Replayed,          // credentials taken before, sent again
        OutsideWindow,     // a token's Created too old, too far ahead, or before this start
        Stale,             // a Digest nonce expired or forgotten: the client asks anew
        Full,              // the memory of nonces is full for now
    };
    // How the credentials came: a refusal of WS-Security is answered with a SOAP fault (HTTP
    // 400), one of HTTP Digest with 401 and new challenges.
    enum class Scheme { None, Digest, WsSecurity };
    // What a check found.
    struct Verdict {
        std::optional<std::string> user;  // who logged in; nobody when refused or without any
        Scheme scheme = Scheme::None;     // None: no credentials came
        Refusal refusal = Refusal::None;
        bool Allowed() const { return user.has_value(); }
        // The client's Digest nonce had expired: its next challenge says stale=TRUE, so that
        // it asks again without asking its user.
        bool StaleNonce() const { return refusal == Refusal::Stale; }
    };
    using Now = std::function<std::chrono::system_clock::time_point()>;

    OnvifAuth(std::string user, std::string password, Now now = std::chrono::system_clock::now);

    struct Request {
        std::string method;
        std::string uri;
        std::string peer;
        bool changes = true;  // the operation moves the mount or changes a preset
    };
    // The request's credentials: the SOAP header's UsernameToken, else the HTTP
    // Authorization header.
    Verdict Check(const XmlElement& soapHeader, const std::string& authorization,
                  const Request& request);
    // The WWW-Authenticate values: SHA-256 first, then MD5, with a new nonce.
    std::vector<std::string> Challenges(bool stale);

  private:
    // A Digest nonce by its time and serial, and the counts it was used with.
    using NonceId = std::pair<std::int64_t, std::uint64_t>;
    struct CountsSeen {
        std::uint32_t highest = 0;
        std::uint64_t below = 0;  // bit i: highest - i was used
    };
    struct TokenNonce {
        std::string peer;  // who used it first
        std::chrono::system_clock::time_point forgettable;
    };

    // Each check below answers Refusal::None for credentials it takes.
    Refusal CheckUsernameToken(const XmlElement& token, const Request& request);
    Refusal CheckDigest(const std::string& authorization, const Request& request);
    Refusal TakeToken(const std::string& nonce, std::chrono::system_clock::time_point createdAt,
                      const Request& request);
    Refusal TakeCount(const NonceId& nonce, const std::string& count);
    Verdict VerdictOf(Scheme scheme, Refusal refusal) const;
    std::string NonceOf(const NonceId& id) const;
    std::optional<NonceId> ReadNonce(const std::string& nonce) const;
    void ForgetExpired();

    std::string user_;
    std::string password_;
    Now now_;
    std::chrono::system_clock::time_point started_;
    std::string secret_;  // keys the Digest nonces; new at every start
    std::uint64_t nextSerial_ = 0;
    std::map<NonceId, CountsSeen> digestNonces_;  // oldest first
    NonceId forgottenUpTo_{-1, 0};                // older unused nonces are stale
    std::map<std::string, TokenNonce> tokenNonces_;
    std::multimap<std::chrono::system_clock::time_point, std::string> tokenExpiries_;
};

// Byte strings compared without an early exit, so that the time taken tells nothing.
bool SameSecret(const std::string& a, const std::string& b);

}  // namespace tarvik::onvif
