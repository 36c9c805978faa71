#pragma once

#include "packet/WsClientInfo.h"
#include "packet/WsXmlSerializable.h"

#include <cstdint>

namespace korvel {

// The header of a packet: who sends a request, and in a response the
// server's status and date.
class WsPacketHeader : public WsXmlSerializable {
public:
    WsPacketHeader() = default;
    // A request's header.
    WsPacketHeader(const WsClientInfo& client, const WsString& locale);
    // Read from a response's "header" element; children are found by name.
    explicit WsPacketHeader(pugi::xml_node element);

    // The "code" of header/server/status as a signed decimal number: leading
    // blanks and a sign are allowed, reading stops at the first non-digit,
    // no digits read as 0.
    int32_t StatusCode() const;
    const WsString& StatusText() const { return statusText_; }
    const WsString& Date() const { return date_; }
    const WsClientInfo& Client() const { return client_; }

    void Serialize(WsXmlDocument& document, pugi::xml_node element) const override;

private:
    WsString statusText_;
    WsString statusCode_;
    WsString date_;
    WsClientInfo client_;
    WsString locale_;
};

} // namespace korvel
