#include "tools/korvel-cli/ResumeWatch.h"

#include "api/korvel.h"

namespace korvel::cli {

ResumeWatch::Finding ResumeWatch::Observe(uint32_t state, uint64_t received, uint64_t total)
{
    if (partialBytes_ == 0 || finding_ != Finding::None)
        return Finding::None;
    if (state != kStatusTransferReceiving && state != kStatusTransferComplete)
        return Finding::None;
    if (received < partialBytes_)
        finding_ = Finding::Restarted;
    else if (state == kStatusTransferComplete && received == partialBytes_ && total == received)
        finding_ = Finding::AlreadyWhole;
    else
        finding_ = Finding::Continued;
    return finding_;
}

} // namespace korvel::cli
