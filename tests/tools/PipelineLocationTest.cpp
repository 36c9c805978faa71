// Where a failed request of korvel-cli says the pipeline is, and why there.
#include "tools/korvel-cli/PipelineLocation.h"

#include "api/korvel.h"
#include "packet/DeploymentHosts.h"
#include "tests/support/ScopedRegistryValue.h"
#include "tools/korvel-cli/Text.h"

#include <gtest/gtest.h>

#include <optional>

using namespace korvel::test;

namespace {

// S_URL under a key for the scope, or none there with nullptr.
struct PipelineUrl {
    PipelineUrl(const std::wstring& key, const wchar_t* url)
    {
        if (url)
            value.emplace(key, L"S_URL", url);
        else
            absent.emplace(key, L"S_URL");
    }
    std::optional<ScopedRegistryValue> value;
    std::optional<ScopedRegistryValueAbsent> absent;
};

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
         "pipeline: https://" + korvel::cli::ToUtf8(korvel::kDefaultPipelineHost) +
             "/lumq/pipeline\n(from the library's built-in default, as there is no S_URL "
             "under " +
             wrapper + " or " + main + ")"},
    };
    for (const auto& c : cases) {
        const PipelineUrl mainUrl(key, c.mainUrl);
        const PipelineUrl wrapperUrl(key + L"\\CliWrap", c.wrapperUrl);
        EXPECT_EQ(korvel::cli::PipelineDetail(kStatusServerUnreachable, c.wrapperName), c.detail);
    }
    // A status of the pipeline's own: it answered, so where it is is no question.
    EXPECT_EQ(korvel::cli::PipelineDetail(0x80008007u, L""), "");
}

} // namespace
