#include "base/WsString.h"

namespace korvel {

const WsString& EmptyWsString()
{
    static const WsString empty;
    return empty;
}

} // namespace korvel
