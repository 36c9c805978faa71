#pragma once

#include "packet/WsPacketHeader.h"
#include "packet/WsXmlDocument.h"

namespace korvel {

// The envelope of every exchange with the pipeline service: a header and a
// body. A request's body is an object that writes itself; a response keeps
// its parsed document and the handle of its "body" element.
class WsPacket {
public:
    WsPacket() = default;
    explicit WsPacket(const WsPacketHeader& header);
    // The body object is not owned and must outlive the packet's use.
    WsPacket(const WsPacketHeader& header, const WsString& bodyElementName,
             const WsXmlSerializable* bodyObject);
    // Reads a parsed response.
    explicit WsPacket(const WsXmlDocument& document);
    virtual ~WsPacket() = default;
    WsPacket(const WsPacket&) = default;
    WsPacket& operator=(const WsPacket&) = default;

    virtual void Serialize(WsXmlDocument& document, pugi::xml_node element) const;

    const WsPacketHeader& Header() const { return header_; }
    pugi::xml_node BodyElement() const { return bodyElement_; }
    // A plain text body, written when there is no body object.
    void SetBodyText(const WsString& text) { bodyText_ = text; }

private:
    WsPacketHeader header_;
    WsString bodyElementName_;
    WsString bodyText_;
    const WsXmlSerializable* bodyObject_ = nullptr;
    pugi::xml_node bodyElement_;
    WsXmlDocument document_;
};

} // namespace korvel
