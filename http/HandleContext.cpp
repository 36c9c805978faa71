#include "http/HandleContext.h"

#include "http/NoticeGate.h"

namespace korvel {

HandleContext::~HandleContext()
{
    NoticeGate::LetGo(module_);
}

void HandleContext::Release()
{
    if (--references_ == 0)
        delete this;
}

void HandleContext::HoldModule(HMODULE reference)
{
    NoticeGate::LetGo(module_);
    module_ = reference;
}

void HandleContext::Notice(DWORD_PTR context, DWORD status, void* information)
{
    auto* target = reinterpret_cast<HandleContext*>(context);
    if (status == INTERNET_STATUS_REQUEST_COMPLETE && information != nullptr) {
        target->Completed(*static_cast<const INTERNET_ASYNC_RESULT*>(information));
    } else if (status == INTERNET_STATUS_HANDLE_CLOSING) {
        target->HandleClosed();
        target->Release();
    }
}

} // namespace korvel
