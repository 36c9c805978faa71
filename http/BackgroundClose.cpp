#include "http/BackgroundClose.h"

#include "base/ProcessState.h"
#include "http/WinInetApi.h"

#include <memory>
#include <utility>

namespace korvel {

namespace {

struct CloseJob {
    std::vector<HINTERNET> handles;
    HMODULE module;
};

void CALLBACK CloseAll(PTP_CALLBACK_INSTANCE instance, void* context)
{
    const std::unique_ptr<CloseJob> job(static_cast<CloseJob*>(context));
    for (const HINTERNET handle : job->handles)
        WinInet().InternetCloseHandle(handle);
    FreeLibraryWhenCallbackReturns(instance, job->module);
}

} // namespace

void CloseInBackground(std::vector<HINTERNET> handles)
{
    if (handles.empty())
        return;
    if (const HMODULE module = TakeModuleReference()) {
        auto job = std::make_unique<CloseJob>(CloseJob{std::move(handles), module});
        if (TrySubmitThreadpoolCallback(&CloseAll, job.get(), nullptr)) {
            static_cast<void>(job.release());
            return;
        }
        handles = std::move(job->handles);
        FreeLibrary(module);
    }
    const auto close = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(WinInet().InternetCloseHandle));
    if (!QueueUserWorkItem(close, handles.back(), WT_EXECUTEDEFAULT))
        WinInet().InternetCloseHandle(handles.back());
}

} // namespace korvel
