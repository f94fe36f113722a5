#include "XmlWriter.h"

#include "Soap.h"

namespace tarvik::onvif {
namespace {

std::string StartTag(std::string_view name, Attributes attributes) {
    std::string start = "<" + std::string(name);
    for (const auto& [key, value] : attributes) {
        start.append(" ").append(key).append("=\"").append(Escaped(value)).append("\"");
    }
    return start;
}

std::string EndTag(std::string_view name) {
    return "</" + std::string(name) + ">";
}

}  // namespace

Markup Text(std::string_view text) {
    return RawXml(Escaped(text));
}

Markup Tag(std::string_view name, std::string_view text) {
    return Tag(name, Text(text));
}

Markup Tag(std::string_view name, const Markup& inner) {
    return Tag(name, {}, inner);
}

Markup Tag(std::string_view name, Attributes attributes, const Markup& inner) {
    return RawXml(StartTag(name, attributes) + ">" + inner.Xml() + EndTag(name));
}

Markup EmptyTag(std::string_view name, Attributes attributes) {
    return RawXml(StartTag(name, attributes) + "/>");
}

Markup RawXml(std::string trusted) {
    return Markup(std::move(trusted));
}

std::string Document(const Markup& root) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + root.Xml();
}

}  // namespace tarvik::onvif
