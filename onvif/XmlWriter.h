// The replies' XML, written so that text is escaped unless the writer says otherwise: an
// element's text, an attribute's value and a Text() are escaped; only RawXml() takes markup
// as it is, for XML this program wrote itself. What a client, a file or the system says can
// thus never turn into markup by a forgotten call.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace tarvik::onvif {

// Well-formed XML, built from the functions below and joined with +.
class Markup {
  public:
    Markup() = default;

    Markup& operator+=(const Markup& more) {
        xml_ += more.xml_;
        return *this;
    }
    friend Markup operator+(Markup first, const Markup& second) { return first += second; }
    const std::string& Xml() const { return xml_; }

  private:
    friend Markup RawXml(std::string trusted);
    explicit Markup(std::string xml) : xml_(std::move(xml)) {}

    std::string xml_;
};

// Names and values of attributes, written in this order.
using Attributes = std::initializer_list<std::pair<std::string_view, std::string_view>>;

// Text as character data, escaped.
Markup Text(std::string_view text);
// <name>text</name>, the text escaped.
Markup Tag(std::string_view name, std::string_view text);
// <name>inner</name>
Markup Tag(std::string_view name, const Markup& inner);
// <name a="v" …>inner</name>, the values escaped.
Markup Tag(std::string_view name, Attributes attributes, const Markup& inner);
// <name a="v" …/>, the values escaped.
Markup EmptyTag(std::string_view name, Attributes attributes);
// Markup taken as it is, unescaped: only for XML this program wrote itself, never for text
// that came from elsewhere.
Markup RawXml(std::string trusted);

// A whole document of UTF-8: the XML declaration, then its root element.
std::string Document(const Markup& root);

}  // namespace tarvik::onvif
