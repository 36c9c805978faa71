#include "tools/korvel-cli/Session.h"

namespace korvel::cli {

void Require(uint32_t status, const char* action)
{
    if (status != 0)
        throw StatusError(action, status);
}

Session::Session(const host::KorvelApi& api, const SessionSettings& settings) : api_(api)
{
    Require(api_.WsUdOpen2(settings.app.c_str(), settings.appVersion.c_str(),
                           settings.wrapper.c_str(), settings.wrapperVersion.c_str(),
                           settings.locale.c_str(), settings.Flags(), &id_),
            "cannot open a session");
}

Session::~Session()
{
    api_.WsUdClose(id_);
}

} // namespace korvel::cli
