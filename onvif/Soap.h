// SOAP envelopes: read with a namespace-aware XML parser that takes no DTD and expands no
// entity but XML's own, and written with the same namespaces back.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tarvik::onvif {

inline constexpr const char* kSoap12 = "http://www.w3.org/2003/05/soap-envelope";
inline constexpr const char* kSoap11 = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr const char* kDevice = "http://www.onvif.org/ver10/device/wsdl";
inline constexpr const char* kMedia = "http://www.onvif.org/ver10/media/wsdl";
inline constexpr const char* kPtz = "http://www.onvif.org/ver20/ptz/wsdl";
inline constexpr const char* kSchema = "http://www.onvif.org/ver10/schema";
inline constexpr const char* kSecurity =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd";
inline constexpr const char* kUtility =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd";

// One element: its namespace and local name, attributes (by local name), text and children.
struct XmlElement {
    std::string ns;
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::string text;  // the element's own character data, trimmed
    std::vector<XmlElement> children;

    // The first child with that local name (any namespace), or null.
    const XmlElement* Child(std::string_view localName) const;
    // Follows a path of local names down the first matches, or null.
    const XmlElement* Find(std::initializer_list<std::string_view> path) const;
    // An attribute by local name, or empty.
    std::string Attribute(std::string_view localName) const;
};

struct Envelope {
    bool soap12 = true;
    XmlElement header;     // empty when there is none
    XmlElement operation;  // the Body's first element
};

// Bounds on what is parsed, whatever a client sends.
inline constexpr int kMaxDepth = 32;
inline constexpr int kMaxElements = 4096;

// The envelope, or why it is not one.
std::variant<Envelope, std::string> ParseEnvelope(std::string_view xml);

// Text escaped for XML character data and attribute values.
std::string Escaped(std::string_view text);

}  // namespace tarvik::onvif
