#pragma once

#include "base/WsString.h"

namespace korvel {

// Who is calling: the host application, the wrapper library between it and
// this library, and this library itself. Copied into every request and
// packet header a session makes.
struct WsClientInfo {
    WsString swappName;
    WsString swappVersion;
    WsString wrapperlibName;
    WsString wrapperlibVersion;
    WsString corelibName;
    WsString corelibVersion;
};

WsString CorelibName();
WsString CorelibVersion();

} // namespace korvel
