#include "http/ChainCloser.h"

#include "base/WsLog.h"

#include <utility>

namespace korvel {

ChainCloser::ChainCloser(InternetHandle& root, InternetHandle& connection, InternetHandle& request,
                         std::unique_ptr<AsyncCompletion>& chain)
    : root_(std::move(root)), connection_(std::move(connection)), request_(std::move(request)),
      chain_(std::move(chain))
{
}

ChainCloser::~ChainCloser()
{
    if (chain_)
        Close();
}

// Closing a handle ends the call an abort left pending on it; WinINet then
// still completes that call and sends each handle's closing notice, and both
// may need the chain's memory and this module's code.
std::unique_ptr<AsyncCompletion> ChainCloser::Close()
{
    const bool callWasPending = chain_->HasPendingCall();
    bool silent = CloseChild(request_, *chain_);
    silent = CloseChild(connection_, *chain_) && silent;
    // The root carries no context: WinINet sends it no notice of its own.
    root_.DetachCallback();
    root_.Close();
    if (silent && !callWasPending) {
        chain_->Retire();
        return std::move(chain_);
    }
    // Callbacks that could be removed while a call was pending belong to a
    // WinINet that breaks its own rule: its call may still use the chain's
    // memory, and no notice will say when it is done.
    if (silent)
        LogLine(L"\tA call was pending when its notices stopped; its memory is kept.");
    abandoned_ = AsyncCompletion::Abandon(std::move(chain_), !silent);
    return nullptr;
}

bool ChainCloser::CloseChild(InternetHandle& handle, AsyncCompletion& chain)
{
    if (!handle.IsOpen())
        return true;
    const bool silent = handle.DetachCallback();
    if (!silent)
        chain.ExpectClosingNotice();
    handle.Close();
    return silent;
}

DWORD_PTR ChainCloser::Run()
{
    Close();
    return abandoned_;
}

bool ChainCloser::KeepModule(DWORD_PTR result, HMODULE reference)
{
    return result != 0 && AsyncCompletion::HoldModuleFor(result, reference);
}

} // namespace korvel
