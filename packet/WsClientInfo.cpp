#include "packet/WsClientInfo.h"

namespace korvel {

const WsString& CorelibName()
{
    static const WsString name(L"korvel");
    return name;
}

const WsString& CorelibVersion()
{
    static const WsString version(L"19.0.0");
    return version;
}

} // namespace korvel
