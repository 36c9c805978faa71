// korvel-cli as a user first meets it: help, usage errors and a library
// that cannot be loaded, with their exit codes.
#include "tests/tools/CliProcess.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace korvel::test;

namespace {

const char kUsageHint[] = "Run 'korvel-cli --help' or 'korvel-cli COMMAND --help' for usage.\n";

TEST(CliUsage, ProgramHelpListsCommandsOptionsAndExitCodes)
{
    const CliResult result = RunCli({L"--help"});
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.rfind("Usage: korvel-cli ", 0), 0u) << result.out;
    for (const char* text :
         {"\n  ping ", "\n  query EXPR ", "\n  download URL [FILE] ", "\n  install URL ",
          "--app NAME", "--app-version V", "--wrapper NAME", "--wrapper-version V", "--locale L",
          "--silent", "--invocation-type N", "--dll PATH", "\nExit codes:\n", "\n  0    success",
          "\n  2    usage error", "\n  3    korvel.dll", "\n  130  cancelled with Ctrl+C"})
        EXPECT_NE(result.out.find(text), std::string::npos) << text;
}

TEST(CliUsage, EveryCommandHasItsHelp)
{
    const struct {
        const wchar_t* command;
        const char* usage;
        const char* detail;
    } commands[] = {
        {L"ping", "Usage: korvel-cli ping [--timeout MS]\n", "--timeout MS"},
        {L"query", "Usage: korvel-cli query EXPR ", "\\\" is a quote"},
        {L"download", "Usage: korvel-cli download URL [FILE] ", "Ctrl+C"},
        {L"install", "Usage: korvel-cli install URL ", "cancelled by its\nuser"},
    };
    for (const auto& c : commands) {
        const CliResult viaOption = RunCli({c.command, L"--help"});
        EXPECT_EQ(viaOption.exitCode, 0u);
        EXPECT_EQ(viaOption.out.rfind(c.usage, 0), 0u) << viaOption.out;
        EXPECT_NE(viaOption.out.find(c.detail), std::string::npos) << viaOption.out;
        EXPECT_NE(viaOption.out.find("Exit codes:"), std::string::npos) << viaOption.out;
        const CliResult viaCommand = RunCli({L"help", c.command});
        EXPECT_EQ(viaCommand.exitCode, 0u);
        EXPECT_EQ(viaCommand.out, viaOption.out);
    }
}

TEST(CliUsage, UsageErrorsExitWithTwoBeforeTheLibraryIsLoaded)
{
    const struct {
        std::vector<std::wstring> arguments;
        const char* message;
    } cases[] = {
        {{}, "korvel-cli: no command given; the commands are ping, query, download and install\n"},
        {{L"frobnicate"}, "korvel-cli: unknown command 'frobnicate'"},
        {{L"ping", L"--bogus"}, "korvel-cli: unknown option '--bogus'\n"},
        {{L"query"}, "korvel-cli: missing arguments; usage: korvel-cli query EXPR"},
        {{L"download", L"--v1", L"http://h/p", L"p.zip"}, "korvel-cli: --v1 keeps the package"},
        {{L"--invocation-type", L"9", L"ping"},
         "korvel-cli: --invocation-type needs a number from 0 to 7"},
    };
    for (const auto& c : cases) {
        std::vector<std::wstring> arguments = c.arguments;
        arguments.push_back(L"--dll=Z:\\no\\such\\korvel.dll");
        const CliResult result = RunCli(arguments);
        EXPECT_EQ(result.exitCode, 2u) << c.message;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind(c.message, 0), 0u) << result.err;
        EXPECT_NE(result.err.find(kUsageHint), std::string::npos) << result.err;
    }
}

TEST(CliUsage, ABadExpressionIsShownWithACaretUnderTheFault)
{
    const CliResult result = RunCli({L"query", L"Os=Windows or Os=Linux and Lang=de"});
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(result.err,
              std::string("korvel-cli: bad query expression: column 24: cannot mix 'and' and 'or' "
                          "in one group without parentheses: this 'and' follows an 'or' at "
                          "column 12; group them, as in a=1 and (b=2 or c=3)\n"
                          "  Os=Windows or Os=Linux and Lang=de\n") +
                  std::string(2 + 23, ' ') + "^\n" + kUsageHint);
}

TEST(CliUsage, ALibraryThatCannotBeLoadedExitsWithThree)
{
    const CliResult missing = RunCli({L"--dll", L"Z:\\no\\such\\korvel.dll", L"ping"});
    EXPECT_EQ(missing.exitCode, 3u);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "korvel-cli: cannot load Z:\\no\\such\\korvel.dll: error 126 (module "
                           "not found: there is no such file)\n");

    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring text = std::wstring(folder) + L"korvel-cli-not-a-dll.dll";
    {
        std::ofstream file(text.c_str(), std::ios::binary);
        file << "not a module";
    }
    const CliResult notModule = RunCli({L"--dll", text, L"ping"});
    DeleteFileW(text.c_str());
    EXPECT_EQ(notModule.exitCode, 3u);
    EXPECT_EQ(notModule.err, "korvel-cli: cannot load " + std::string(text.begin(), text.end()) +
                                 ": error 193 (not a DLL for 64-bit Windows)\n");

    const CliResult foreign = RunCli({L"--dll", L"C:\\windows\\system32\\version.dll", L"ping"});
    EXPECT_EQ(foreign.exitCode, 3u);
    EXPECT_NE(foreign.err.find("does not export WsUdOpen"), std::string::npos) << foreign.err;
}

} // namespace
