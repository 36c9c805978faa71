#include "packet/WsClientInfo.h"

namespace korvel {

WsString CorelibName()
{
    return L"korvel";
}

WsString CorelibVersion()
{
    return L"19.0.0";
}

} // namespace korvel
