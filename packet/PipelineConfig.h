#pragma once

#include "base/WsString.h"

namespace korvel {

// Where the pipeline service is and how to talk to it, read from the
// registry when needed and never cached.

// The service URL: "S_URL" (secure) or "URL" under the pipeline key's
// subkey named after the wrapper library, else under the pipeline key, else
// the built-in default for the scheme.
WsString GetServerUrl(bool secure, const WsString& wrapperlibName);

// The same URL with where it came from: the key whose value decides (the
// wrapper library's subkey when it holds the value, else the pipeline key),
// and whether that value named the URL or the default stands.
struct ServerUrlSource {
    WsString url;
    WsString key;
    bool fromRegistry = false;
};
ServerUrlSource FindServerUrl(bool secure, const WsString& wrapperlibName);

// Response compression is on unless "DisableEncoding" reads as true.
bool IsEncodingEnabled();

// The default namespace of every packet.
WsString PacketNamespaceUri();

} // namespace korvel
