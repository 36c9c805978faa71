// korvel-cli ping: asks the pipeline server to answer and shows its date and
// the status the library made of its answer.
#include "tools/korvel-cli/Commands.h"
#include "tools/korvel-cli/Console.h"
#include "tools/korvel-cli/ExitCodes.h"
#include "tools/korvel-cli/PipelineLocation.h"
#include "tools/korvel-cli/Report.h"
#include "tools/korvel-cli/Session.h"
#include "tools/korvel-cli/Text.h"

#include <oleauto.h>

namespace korvel::cli {

namespace {

constexpr uint32_t kDefaultTimeoutMs = 30000;

// A VARIANT that the library fills with a BSTR and that frees it again.
class StringVariant {
public:
    StringVariant() { VariantInit(&value_); }
    ~StringVariant() { VariantClear(&value_); }
    StringVariant(const StringVariant&) = delete;
    StringVariant& operator=(const StringVariant&) = delete;

    VARIANT* Get() { return &value_; }
    std::string Utf8() const
    {
        if (V_VT(&value_) != VT_BSTR || V_BSTR(&value_) == nullptr)
            return {};
        return ToUtf8(std::wstring_view(V_BSTR(&value_), SysStringLen(V_BSTR(&value_))));
    }

private:
    VARIANT value_;
};

} // namespace

int RunPing(const CommandContext& context)
{
    Session session(context.api, context.line.session);
    const uint32_t timeoutMs = context.line.timeoutMs.value_or(kDefaultTimeoutMs);
    StringVariant date;
    // The ping has no polled form: it is waited for, so "no limit" is INFINITE.
    const uint32_t status =
        session->WsUdServerPing(session.Id(), timeoutMs == 0 ? INFINITE : timeoutMs, date.Get());
    const std::string dateText = date.Utf8();
    Out().Write("Server date: " + (dateText.empty() ? std::string("(none)") : dateText) + "\n" +
                "Status:      " + DescribeStatus(status) + "\n");
    if (status != 0) {
        ReportFailure("the ping failed", status,
                      PipelineDetail(status, context.line.session.wrapper));
        return kExitFailed;
    }
    return kExitSuccess;
}

} // namespace korvel::cli
