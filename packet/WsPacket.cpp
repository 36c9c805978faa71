#include "packet/WsPacket.h"

#include "packet/PipelineConfig.h"

namespace korvel {

namespace {

const wchar_t kSchemaInstanceUri[] = L"http://www.w3.org/2001/XMLSchema-instance";

WsString SchemaLocation()
{
    return PacketNamespaceUri() + L" Schemas/Common/2.0/Packet.xsd";
}

} // namespace

WsPacket::WsPacket(const WsPacketHeader& header) : header_(header)
{
}

WsPacket::WsPacket(const WsPacketHeader& header, const WsString& bodyElementName,
                   const WsXmlSerializable* bodyObject)
    : header_(header), bodyElementName_(bodyElementName), bodyObject_(bodyObject)
{
}

WsPacket::WsPacket(const WsXmlDocument& document) : document_(document)
{
    if (const pugi::xml_node header = FindChild(document_.Root(), L"header"))
        header_ = WsPacketHeader(header);
    bodyElement_ = FindChild(document_.Root(), L"body");
}

void WsPacket::Serialize(WsXmlDocument& document, pugi::xml_node element) const
{
    document.AddNamespace(L"xsi", kSchemaInstanceUri);
    SetAttribute(document.Root(), L"xsi:schemaLocation", SchemaLocation(), false);
    SetAttribute(document.Root(), L"schemaVersion", L"2.0", false);
    AppendObject(element, L"header", document, header_);
    if (bodyObject_ != nullptr) {
        AppendObject(AppendElement(element, L"body"), bodyElementName_, document, *bodyObject_);
    } else if (!bodyText_.empty()) {
        AppendText(AppendElement(element, L"body"), bodyText_);
    } else if (bodyElement_) {
        element.append_copy(bodyElement_);
    }
}

} // namespace korvel
