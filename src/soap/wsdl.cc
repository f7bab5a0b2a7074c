// wsdl.cc: writing a service's WSDL document.
// SPDX-License-Identifier: MIT
#include "soap/wsdl.h"

#include "util/xml_text.h"

namespace marloven::soap {

namespace {

class writer {
  public:
    explicit writer(std::string& out) : out_(out) {}

    // One line at `depth` levels of indentation.
    writer& line(int depth, std::string_view text) {
        out_.append(static_cast<std::size_t>(depth) * 2, ' ');
        out_ += text;
        out_ += '\n';
        return *this;
    }

  private:
    std::string& out_;
};

std::string attr(std::string_view text) {
    std::string out;
    append_xml_text(out, text);
    return out;
}

std::string type_ref(const type& t) {
    return (t.is_scalar() ? "xsd:" : "tns:") + t.name;
}

void write_type(writer& w, const type& t) {
    switch (t.kind) {
        case kind::enumeration:
            w.line(3, "<xsd:simpleType name=\"" + attr(t.name) + "\">");
            w.line(4, "<xsd:restriction base=\"xsd:string\">");
            for (const enum_name& n : t.names) {
                w.line(5, "<xsd:enumeration value=\"" + attr(n.name) + "\"/>");
            }
            w.line(4, "</xsd:restriction>");
            w.line(3, "</xsd:simpleType>");
            break;
        case kind::structure:
            // The server reads every element of a record as optional (an element left out keeps
            // its starting value), so clients may leave any of them out.
            w.line(3, "<xsd:complexType name=\"" + attr(t.name) + "\">");
            w.line(4, "<xsd:sequence>");
            for (const element& e : t.elements) {
                w.line(5, "<xsd:element name=\"" + attr(e.name) + "\" type=\"" + type_ref(*e.of) +
                              "\" minOccurs=\"0\"/>");
            }
            w.line(4, "</xsd:sequence>");
            w.line(3, "</xsd:complexType>");
            break;
        case kind::array:
            w.line(3, "<xsd:complexType name=\"" + attr(t.name) + "\">");
            w.line(4, "<xsd:complexContent>");
            w.line(5, "<xsd:restriction base=\"soapenc:Array\">");
            w.line(6, "<xsd:attribute ref=\"soapenc:arrayType\" wsdl:arrayType=\"" +
                          type_ref(*t.item) + "[]\"/>");
            w.line(5, "</xsd:restriction>");
            w.line(4, "</xsd:complexContent>");
            w.line(3, "</xsd:complexType>");
            break;
        case kind::string:
        case kind::integer:
        case kind::boolean:
        case kind::base64:
            break;
    }
}

void write_message(writer& w, const std::string& name, const std::vector<element>& parts) {
    if (parts.empty()) {
        w.line(1, "<message name=\"" + attr(name) + "\"/>");
        return;
    }
    w.line(1, "<message name=\"" + attr(name) + "\">");
    for (const element& p : parts) {
        w.line(2, "<part name=\"" + attr(p.name) + "\" type=\"" + type_ref(*p.of) + "\"/>");
    }
    w.line(1, "</message>");
}

}  // namespace

std::string wsdl(const service& s, std::string_view address) {
    const std::string ns = attr(s.ns());
    const std::string name = attr(s.name());
    const std::string encoded = "use=\"encoded\" namespace=\"" + ns +
                                "\" encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"";
    std::string out;
    writer w(out);
    w.line(0, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    w.line(0, "<definitions name=\"" + name + "\" targetNamespace=\"" + ns + "\"");
    w.line(2, "xmlns:tns=\"" + ns + "\"");
    w.line(2, "xmlns:soap=\"http://schemas.xmlsoap.org/wsdl/soap/\"");
    w.line(2, "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\"");
    w.line(2, "xmlns:wsdl=\"http://schemas.xmlsoap.org/wsdl/\"");
    w.line(2, "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"");
    w.line(2, "xmlns=\"http://schemas.xmlsoap.org/wsdl/\">");

    w.line(1, "<types>");
    w.line(2, "<xsd:schema targetNamespace=\"" + ns + "\">");
    w.line(3, "<xsd:import namespace=\"http://schemas.xmlsoap.org/soap/encoding/\"/>");
    w.line(3, "<xsd:import namespace=\"http://schemas.xmlsoap.org/wsdl/\"/>");
    for (const type& t : s.types()) {
        write_type(w, t);
    }
    w.line(2, "</xsd:schema>");
    w.line(1, "</types>");

    for (const method& m : s.methods()) {
        write_message(w, m.name + "Request", m.params);
        write_message(w, m.name + "Response", m.results);
    }

    w.line(1, "<portType name=\"" + name + "PortType\">");
    for (const method& m : s.methods()) {
        const std::string op = attr(m.name);
        w.line(2, "<operation name=\"" + op + "\">");
        w.line(3, "<input message=\"tns:" + op + "Request\"/>");
        w.line(3, "<output message=\"tns:" + op + "Response\"/>");
        w.line(2, "</operation>");
    }
    w.line(1, "</portType>");

    w.line(1, "<binding name=\"" + name + "Binding\" type=\"tns:" + name + "PortType\">");
    w.line(2, "<soap:binding style=\"rpc\" transport=\"http://schemas.xmlsoap.org/soap/http\"/>");
    for (const method& m : s.methods()) {
        const std::string op = attr(m.name);
        w.line(2, "<operation name=\"" + op + "\">");
        w.line(3, "<soap:operation soapAction=\"" + ns + (op + "\" style=\"rpc\"/>"));
        w.line(3, "<input><soap:body " + encoded + "/></input>");
        w.line(3, "<output><soap:body " + encoded + "/></output>");
        w.line(2, "</operation>");
    }
    w.line(1, "</binding>");

    w.line(1, "<service name=\"" + name + "\">");
    w.line(2, "<port name=\"" + name + "Port\" binding=\"tns:" + name + "Binding\">");
    w.line(3, "<soap:address location=\"" + std::string(address) + "\"/>");
    w.line(2, "</port>");
    w.line(1, "</service>");
    w.line(0, "</definitions>");
    return out;
}

}  // namespace marloven::soap
