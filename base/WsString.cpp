#include "base/WsString.h"

#include "base/NeverDestroyed.h"

namespace korvel {

const WsString& EmptyWsString()
{
    static const NeverDestroyed<WsString> empty;
    return empty.Get();
}

} // namespace korvel
