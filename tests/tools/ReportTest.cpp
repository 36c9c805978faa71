// How korvel-cli reports a failure: a status as eight hexadecimal digits and
// its name, and where the pipeline is and why there.
#include "tools/korvel-cli/Report.h"
#include "tools/korvel-cli/PipelineLocation.h"

#include "api/korvel.h"
#include "packet/DeploymentHosts.h"
#include "tests/support/ScopedRegistryValue.h"
#include "tools/korvel-cli/Text.h"

#include <gtest/gtest.h>

using namespace korvel::cli;
using namespace korvel::test;

namespace {

// A known status as the program prints it, its code and name, is
// Cli.ExitCodesAndTheMessagesBehindThem's.
TEST(Report, AnUnknownStatusIsItsHexadecimalCode)
{
    EXPECT_EQ(DescribeStatus(0x12345678u), "0x12345678 unknown status");
}

TEST(PipelineLocation, TheWrappersKeyTheMainKeyOrTheDefault)
{
    const std::wstring key = L"SOFTWARE\\Talvessa\\Pipeline";
    const std::string main = "HKLM\\SOFTWARE\\Talvessa\\Pipeline";
    const std::string wrapper = main + "\\CliWrap";
    const struct {
        const wchar_t* mainUrl;
        const wchar_t* wrapperUrl;
        const wchar_t* wrapperName;
        std::string detail;
    } cases[] = {
        {L"http://a/p", L"http://b/p", L"",
         "pipeline: http://a/p\n(from the registry value S_URL under " + main + ")"},
        {L"http://a/p", L"http://b/p", L"CliWrap",
         "pipeline: http://b/p\n(from the registry value S_URL under " + wrapper + ")"},
        {nullptr, nullptr, L"CliWrap",
         "pipeline: https://" + ToUtf8(korvel::kDefaultPipelineHost) +
             "/lumq/pipeline\n(from the library's built-in default, as there is no S_URL "
             "under " +
             wrapper + " or " + main + ")"},
    };
    for (const auto& c : cases) {
        const ScopedRegistryValue mainUrl(key, L"S_URL", c.mainUrl);
        const ScopedRegistryValue wrapperUrl(key + L"\\CliWrap", L"S_URL", c.wrapperUrl);
        EXPECT_EQ(PipelineDetail(kStatusServerUnreachable, c.wrapperName), c.detail);
    }
    // A status of the pipeline's own: it answered, so where it is is no question.
    EXPECT_EQ(PipelineDetail(0x80008007u, L""), "");
}

} // namespace
