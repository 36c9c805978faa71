// The C examples of docs/API.md, built from the guide itself, run against
// the reference pipeline server with the sample catalog and its package.
#include "tests/support/ChildProcess.h"
#include "tests/support/ScopedRegistryValue.h"
#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace korvel::test;

namespace {

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix)
{
    std::vector<std::string> lines;
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1))
        if (at == 0 || text[at - 1] == '\n')
            lines.push_back(text.substr(at, text.find('\n', at) - at));
    return lines;
}

TEST(DocExamples, TheLoadingProgramAndTheFunctionsRunAHostsDay)
{
    const ServerFolder server = FindServerFolder(L"KORVEL_SAMPLE_PIPELINE_DIR", L"server\\port");
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port);
    // The examples open their sessions for the wrapper library "HostWrap".
    const ScopedRegistryValue pipeline(L"SOFTWARE\\Talvessa\\Pipeline\\HostWrap", L"S_URL",
                                       std::wstring(base.begin(), base.end()) + L"/lumq/pipeline");
    const ChildResult loading = RunProgram(BesideTest(L"doc-example-loading.exe"), {}, 30000);
    EXPECT_EQ(loading.exitCode, 0u) << loading.err;
    EXPECT_EQ(loading.out, "session 1 open\n");
    EXPECT_EQ(loading.err, "");

    const std::wstring target =
        (std::filesystem::temp_directory_path() / L"korvel-doc-examples.zip").wstring();
    DeleteFileW(target.c_str());
    const std::string package =
        ReadWholeFile(server.path + L"\\packages\\hostapp-2.1.3.zip").value_or("(missing)");

    const ChildResult result = RunProgram(BesideTest(L"doc-examples.exe"), {target}, 120000);
    EXPECT_EQ(result.exitCode, 0u) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    const std::vector<std::string> date = LinesStartingWith(result.out, "server date: ");
    ASSERT_EQ(date.size(), 1u) << result.out;
    EXPECT_GT(date[0].size(), std::string("server date: ").size() + 20) << date[0];
    // The sample catalog's entries for ProductId 1234 on Windows 10 or 11,
    // in catalog order, read from the answer with XmlLite: ids and types from
    // attributes, titles from text nodes.
    const std::vector<std::string> entries = {
        "entry hostapp-2.1.3-win-en (Update)", "entry hostapp-2.1.3-win-de (Update)",
        "entry hostapp-2.0.9-win-en (Update)", "entry hostapp-content-2026-11 (Content)"};
    EXPECT_EQ(LinesStartingWith(result.out, "entry "), entries) << result.out;
    const std::vector<std::string> titles = {
        "  title HostApp 2.1.3 maintenance update", "  title HostApp 2.1.3 Wartungsupdate",
        "  title HostApp 2.0.9 security update", "  title HostApp template pack, November 2026"};
    EXPECT_EQ(LinesStartingWith(result.out, "  title "), titles) << result.out;
    const std::vector<std::string> packages = LinesStartingWith(result.out, "  package ");
    ASSERT_EQ(packages.size(), entries.size()) << result.out;
    EXPECT_EQ(packages[0], "  package " + base + "/packages/hostapp-2.1.3.zip, " +
                               std::to_string(package.size()) + " bytes");
    // The file download holds the package byte for byte; the package
    // download then installs it with the sample installer.
    EXPECT_NE(result.out.find(std::to_string(package.size()) + " bytes, done\n"), std::string::npos)
        << result.out;
    EXPECT_TRUE(ReadWholeFile(target) == package);
    EXPECT_NE(result.out.find("\ninstalled\n"), std::string::npos) << result.out;
    DeleteFileW(target.c_str());
}

} // namespace
