#pragma once

#include <pugixml.hpp>

namespace korvel {

class WsXmlDocument;

// An object that writes itself into an element of a document being built.
class WsXmlSerializable {
public:
    virtual ~WsXmlSerializable() = default;

    // Attributes go on element itself, children below it; document is handed
    // on unchanged to nested objects. Raises a status when the object is not
    // in a state that can be written.
    virtual void Serialize(WsXmlDocument& document, pugi::xml_node element) const = 0;
};

} // namespace korvel
