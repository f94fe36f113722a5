#include "Soap.h"

#include "Conversions.h"

#include <QXmlStreamReader>

namespace tarvik::onvif {
namespace {

std::string Std(QStringView text) {
    return text.toString().toStdString();
}

// XML's white space around an element's text.
std::string Trimmed(const std::string& text) {
    return std::string(TrimOf(text, " \t\r\n"));
}

class TreeReader {
  public:
    explicit TreeReader(std::string_view xml)
        : reader_(QByteArray::fromRawData(xml.data(), static_cast<qsizetype>(xml.size()))) {
        reader_.setNamespaceProcessing(true);
    }

    // The document element, or why there is none.
    std::variant<XmlElement, std::string> Read() {
        XmlElement root;
        while (!reader_.atEnd()) {
            const auto token = reader_.readNext();
            if (token == QXmlStreamReader::DTD) return std::string("a DTD is not accepted");
            if (token == QXmlStreamReader::EntityReference) {
                return std::string("entity references are not accepted");
            }
            if (token == QXmlStreamReader::StartElement) {
                if (auto problem = ReadElement(root, 1); !problem.empty()) return problem;
                return root;
            }
        }
        return reader_.hasError() ? Std(reader_.errorString()) : std::string("no XML element");
    }

  private:
    // Reads the element whose start was just read, with everything inside it.
    std::string ReadElement(XmlElement& element, int depth) {
        if (depth > kMaxDepth) return "elements nested deeper than " + std::to_string(kMaxDepth);
        if (++elements_ > kMaxElements)
            return "more than " + std::to_string(kMaxElements) + " elements";
        element.ns = Std(reader_.namespaceUri());
        element.name = Std(reader_.name());
        for (const auto& attribute : reader_.attributes()) {
            element.attributes.emplace_back(Std(attribute.name()), Std(attribute.value()));
        }
        std::string text;
        while (!reader_.atEnd()) {
            switch (reader_.readNext()) {
                case QXmlStreamReader::StartElement: {
                    element.children.emplace_back();
                    if (auto problem = ReadElement(element.children.back(), depth + 1);
                        !problem.empty()) {
                        return problem;
                    }
                    break;
                }
                case QXmlStreamReader::Characters:
                    text += Std(reader_.text());
                    break;
                case QXmlStreamReader::EndElement:
                    element.text = Trimmed(text);
                    return {};
                case QXmlStreamReader::DTD:
                    return "a DTD is not accepted";
                case QXmlStreamReader::EntityReference:
                    return "entity references are not accepted";
                default:
                    break;
            }
        }
        return reader_.hasError() ? Std(reader_.errorString()) : "the document ends too early";
    }

    QXmlStreamReader reader_;
    int elements_ = 0;
};

}  // namespace

const XmlElement* XmlElement::Child(std::string_view localName) const {
    for (const XmlElement& child : children) {
        if (child.name == localName) return &child;
    }
    return nullptr;
}

const XmlElement* XmlElement::Find(std::initializer_list<std::string_view> path) const {
    const XmlElement* at = this;
    for (std::string_view step : path) {
        at = at->Child(step);
        if (at == nullptr) return nullptr;
    }
    return at;
}

std::string XmlElement::Attribute(std::string_view localName) const {
    for (const auto& [key, value] : attributes) {
        if (key == localName) return value;
    }
    return {};
}

std::variant<Envelope, std::string> ParseEnvelope(std::string_view xml) {
    TreeReader reader(xml);
    auto read = reader.Read();
    if (auto* problem = std::get_if<std::string>(&read)) return *problem;
    XmlElement& root = std::get<XmlElement>(read);
    Envelope envelope;
    if (root.name != "Envelope" || (root.ns != kSoap12 && root.ns != kSoap11)) {
        return std::string("not a SOAP envelope");
    }
    envelope.soap12 = root.ns == kSoap12;
    for (XmlElement& part : root.children) {
        if (part.ns != root.ns) continue;
        if (part.name == "Header") envelope.header = std::move(part);
        if (part.name == "Body" && !part.children.empty()) {
            envelope.operation = std::move(part.children.front());
        }
    }
    if (envelope.operation.name.empty()) return std::string("a SOAP body without an operation");
    return envelope;
}

std::string Escaped(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&apos;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

}  // namespace tarvik::onvif
