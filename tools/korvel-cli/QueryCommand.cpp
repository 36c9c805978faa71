// korvel-cli query: builds the query from the expression, runs it and shows
// the answer as a list, raw, or as the server's status code.
#include "tools/korvel-cli/Commands.h"
#include "tools/korvel-cli/Console.h"
#include "tools/korvel-cli/ContentAnswer.h"
#include "tools/korvel-cli/ExitCodes.h"
#include "tools/korvel-cli/PipelineLocation.h"
#include "tools/korvel-cli/Report.h"
#include "tools/korvel-cli/Session.h"
#include "tools/korvel-cli/Spinner.h"
#include "tools/korvel-cli/StopConditions.h"

#include <vector>

namespace korvel::cli {

namespace {

constexpr uint32_t kDefaultTimeoutMs = 30000;

class LibraryQueryBuilder : public QueryBuilder {
public:
    explicit LibraryQueryBuilder(const Session& session) : session_(session) {}

    uint32_t OpenGroup(GroupType type) override
    {
        return session_->WsUdQueryOpenGroup(session_.Id(), static_cast<uint32_t>(type));
    }
    uint32_t CloseGroup() override { return session_->WsUdQueryCloseGroup(session_.Id()); }
    uint32_t AddTerm(const std::wstring& field, const std::wstring& value) override
    {
        return session_->WsUdQueryAddTerm(session_.Id(), field.c_str(), value.c_str());
    }
    uint32_t AddText(const std::wstring& field, const std::wstring& value,
                     CompareType compare) override
    {
        return session_->WsUdQueryAddText(session_.Id(), field.c_str(), value.c_str(), 0,
                                          static_cast<uint32_t>(compare));
    }

private:
    const Session& session_;
};

// Submits without waiting and polls, so that Ctrl+C and the time limit can
// end the wait and a terminal shows that it goes on. Returns false when the
// user cancelled.
bool RunToCompletion(const Session& session, const CommandLine& line, const StopConditions& stop)
{
    Spinner spinner([](const std::string& text) { Out().Write(text); }, Out().IsTerminal(),
                    "waiting for the pipeline server", GetTickCount64());
    uint32_t status = session->WsUdQuerySubmit(session.Id(), line.maxHits, 0);
    while (status == kStatusPending) {
        spinner.Tick(GetTickCount64());
        if (stop.CtrlCPressed()) {
            spinner.Clear();
            session->WsUdQueryCancel(session.Id());
            return false;
        }
        if (stop.TimeLimitReached()) {
            spinner.Clear();
            session->WsUdQueryCancel(session.Id());
            throw StatusError("the query did not finish within " +
                                  std::to_string(stop.TimeoutMs()) + " ms",
                              kStatusTimeout, PipelineDetail(kStatusTimeout, line.session.wrapper));
        }
        status = session->WsUdQueryCheck(session.Id(), kPollIntervalMs);
    }
    spinner.Clear();
    if (status != kStatusSuccess)
        throw StatusError("the query failed", status, PipelineDetail(status, line.session.wrapper));
    return true;
}

std::string ResponseBody(const Session& session)
{
    uint32_t size = 0;
    Require(session->WsUdQueryResultSize(session.Id(), &size), "cannot read the answer's size");
    std::vector<uint8_t> buffer(size);
    if (size > 0)
        Require(session->WsUdQueryResult(session.Id(), buffer.data()), "cannot read the answer");
    return std::string(buffer.begin(), buffer.end());
}

void ReportRefusal(const std::optional<ContentAnswer>& answer, int32_t serverStatus)
{
    const std::string text =
        answer && !answer->statusText.empty() ? " (" + answer->statusText + ")" : std::string();
    ReportError("the server refused the query with status " + std::to_string(serverStatus) + text +
                "; --raw shows its whole answer");
}

// The listing, or with --json the same as one JSON object; an answer with a
// server status other than 0 lists nothing and is a failure.
int ShowEntries(const std::string& body, int32_t serverStatus, bool json)
{
    const std::optional<ContentAnswer> answer = ReadContentAnswer(body);
    if (!answer) {
        ReportError("the answer holds no XML element; --raw shows it as received");
        return kExitFailed;
    }
    if (json)
        Out().Write(ContentAnswerJson(*answer, serverStatus));
    if (serverStatus != 0) {
        ReportRefusal(answer, serverStatus);
        return kExitFailed;
    }
    if (!json)
        Out().Write(FormatContentAnswer(*answer));
    return kExitSuccess;
}

} // namespace

int RunQuery(const CommandContext& context)
{
    const CommandLine& line = context.line;
    Session session(context.api, line.session);
    Require(session->WsUdQueryReset(session.Id()), "cannot reset the query");
    LibraryQueryBuilder builder(session);
    Require(BuildQuery(line.query, builder), "cannot build the query");

    const StopConditions stop(line.timeoutMs.value_or(kDefaultTimeoutMs));
    if (!RunToCompletion(session, line, stop)) {
        ReportError("query cancelled");
        return kExitCtrlC;
    }
    const std::string body = ResponseBody(session);
    if (line.raw) {
        Out().WriteBytes(body);
        return kExitSuccess;
    }
    uint32_t serverStatus = 0;
    Require(session->WsUdQueryStatus(session.Id(), &serverStatus),
            "cannot read the status in the server's answer");
    if (line.serverStatus) {
        Out().Write(std::to_string(static_cast<int32_t>(serverStatus)) + "\n");
        return kExitSuccess;
    }
    return ShowEntries(body, static_cast<int32_t>(serverStatus), line.json);
}

} // namespace korvel::cli
