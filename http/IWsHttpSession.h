#pragma once

#include "base/WsString.h"
#include "http/WsHttpProgress.h"

#include <windows.h>

#include <string>

namespace korvel {

// One HTTP or HTTPS transaction at a time. Owners destroy the concrete
// session, so the interface has no virtual destructor.
class IWsHttpSession {
public:
    virtual void Abort() = 0;
    virtual void Submit(const WsString& url, const WsString& postData, std::string& response) = 0;
    virtual void GetProgress(WsHttpProgress& progress) const = 0;
    virtual void SetStreamToFile(bool enable, const WsString& file, const WsString& checksum) = 0;
    virtual void SetStreamToFile(bool enable, const WsString& file) = 0;
    virtual void SetStreamToFile(bool enable) = 0;
    virtual const WsString& GetStreamFile() const = 0;
    virtual void SetPostFile(const WsString& path) = 0;
    virtual void AddUserAgentComponent(const WsString& token) = 0;
    virtual void SetSilent(bool silent) = 0;
    virtual void SetParentWindow(HWND window) = 0;
    virtual void SetAcceptTypes(uint32_t types) = 0;
    virtual void SetUseCompression(bool use) = 0;
    virtual void SetApiKey(const WsString& key) = 0;
    virtual void SetBearerToken(const WsString& token) = 0;

protected:
    ~IWsHttpSession() = default;
};

} // namespace korvel
