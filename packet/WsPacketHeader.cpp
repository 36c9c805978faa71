#include "packet/WsPacketHeader.h"

#include "packet/WsXmlDocument.h"

#include <cwchar>

namespace korvel {

namespace {

struct ClientPart {
    const wchar_t* element;
    WsString WsClientInfo::*name;
    WsString WsClientInfo::*version;
};

// In the order the header writes them.
const ClientPart kClientParts[] = {
    {L"swapp", &WsClientInfo::swappName, &WsClientInfo::swappVersion},
    {L"corelib", &WsClientInfo::corelibName, &WsClientInfo::corelibVersion},
    {L"wrapperlib", &WsClientInfo::wrapperlibName, &WsClientInfo::wrapperlibVersion},
};

} // namespace

WsPacketHeader::WsPacketHeader(const WsClientInfo& client, const WsString& locale)
    : client_(client), locale_(locale)
{
}

WsPacketHeader::WsPacketHeader(pugi::xml_node element)
{
    date_ = GetChildText(element, L"date");
    if (const pugi::xml_node client = FindChild(element, L"client")) {
        for (const ClientPart& part : kClientParts) {
            if (const pugi::xml_node e = FindChild(client, part.element)) {
                client_.*part.version = GetAttribute(e, L"version");
                client_.*part.name = GetText(e);
            }
        }
    }
    if (const pugi::xml_node server = FindChild(element, L"server")) {
        if (const pugi::xml_node status = FindChild(server, L"status")) {
            statusCode_ = GetAttribute(status, L"code");
            statusText_ = GetText(status);
        }
    }
}

int32_t WsPacketHeader::StatusCode() const
{
    return static_cast<int32_t>(std::wcstol(statusCode_.c_str(), nullptr, 10));
}

void WsPacketHeader::Serialize(WsXmlDocument&, pugi::xml_node element) const
{
    AppendTextElement(element, L"locale", locale_, true);
    AppendTextElement(element, L"date", date_, true);
    const pugi::xml_node client = AppendElement(element, L"client");
    for (const ClientPart& part : kClientParts) {
        const pugi::xml_node e = AppendElement(client, part.element);
        AppendText(e, client_.*part.name);
        SetAttribute(e, L"version", client_.*part.version, true);
    }
}

} // namespace korvel
