// The C examples of docs/API.md, built from the guide itself, run against
// the reference pipeline server with the sample catalog and its package.
#include "tests/support/ChildProcess.h"
#include "tests/support/ScopedRegistryValue.h"
#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace korvel::test;

namespace {

// The examples open their sessions for the wrapper library "HostWrap".
const wchar_t kWrapperKey[] = L"SOFTWARE\\Talvessa\\Pipeline\\HostWrap";

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix)
{
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        const size_t end = text.find('\n', begin);
        const std::string line = text.substr(begin, end - begin);
        if (line.rfind(prefix, 0) == 0)
            lines.push_back(line);
        begin = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

class DocExamples : public testing::Test {
protected:
    DocExamples()
        : server_(FindServerFolder(L"KORVEL_SAMPLE_PIPELINE_DIR", L"server\\port")),
          base_("http://127.0.0.1:" + std::to_string(server_.port)),
          pipeline_(kWrapperKey, L"S_URL", Wide(base_) + L"/lumq/pipeline")
    {
    }

    const ServerFolder server_;
    const std::string base_;
    const ScopedRegistryValue pipeline_;
};

TEST_F(DocExamples, TheLoadingProgramOpensAndClosesASession)
{
    const ChildResult result =
        RunProgram(ChildProcess::BesideTest(L"doc-example-loading.exe"), {}, 30000);
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_EQ(result.out, "session 1 open\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(DocExamples, TheFunctionsRunAHostsDay)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring target = std::wstring(folder) + L"korvel-doc-examples.zip";
    DeleteFileW(target.c_str());
    const std::optional<std::string> package =
        ReadWholeFile(server_.path + L"\\packages\\hostapp-2.1.3.zip");
    ASSERT_TRUE(package.has_value());

    const ChildResult result =
        RunProgram(ChildProcess::BesideTest(L"doc-examples.exe"), {target}, 120000);
    EXPECT_EQ(result.exitCode, 0u) << result.out << result.err;
    EXPECT_EQ(result.err, "");

    const std::vector<std::string> date = LinesStartingWith(result.out, "server date: ");
    ASSERT_EQ(date.size(), 1u) << result.out;
    EXPECT_GT(date[0].size(), std::string("server date: ").size() + 20) << date[0];

    // The sample catalog's entries for ProductId 1234 on Windows 10 or 11,
    // in catalog order, read from the answer with XmlLite.
    const std::vector<std::string> entries = {
        "entry hostapp-2.1.3-win-en (Update)", "entry hostapp-2.1.3-win-de (Update)",
        "entry hostapp-2.0.9-win-en (Update)", "entry hostapp-content-2026-11 (Content)"};
    EXPECT_EQ(LinesStartingWith(result.out, "entry "), entries) << result.out;
    const std::vector<std::string> packages = LinesStartingWith(result.out, "  package ");
    ASSERT_EQ(packages.size(), entries.size()) << result.out;
    EXPECT_EQ(packages[0], "  package " + base_ + "/packages/hostapp-2.1.3.zip, " +
                               std::to_string(package->size()) + " bytes");

    // The file download holds the package byte for byte; the package
    // download then installs it with the sample installer.
    EXPECT_NE(result.out.find(std::to_string(package->size()) + " bytes, done\n"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(ReadWholeFile(target).value_or("(missing)") == *package, true);
    EXPECT_NE(result.out.find("\ninstalled\n"), std::string::npos) << result.out;
    DeleteFileW(target.c_str());
}

} // namespace
