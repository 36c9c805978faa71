// The command line of korvel-cli: where options may stand, what each command
// accepts, and which mistakes are usage errors.
#include "tools/korvel-cli/CommandLine.h"

#include <gtest/gtest.h>

using namespace korvel::cli;

namespace {

// What a parse that must succeed gives.
CommandLine Parsed(const std::vector<std::wstring>& arguments)
{
    const CommandLineResult parsed = ParseCommandLine(arguments);
    EXPECT_TRUE(parsed.Ok()) << parsed.error;
    return parsed.line;
}

// Options stand before or after the command, and "--" ends them. The other
// global options reach the wire, and queries, files and --v1 run, in
// Cli.ExitCodesAndTheMessagesBehindThem.
TEST(CommandLine, OptionsAndOperandsLandInTheirFields)
{
    const CommandLine wrapped =
        Parsed({L"--wrapper", L"Wrap", L"ping", L"--wrapper-version", L"1.1"});
    EXPECT_EQ(wrapped.session.wrapper, L"Wrap");
    EXPECT_EQ(wrapped.session.wrapperVersion, L"1.1");
    const CommandLine download =
        Parsed({L"download", L"http://h/dir/p.zip?x=1", L"--overwrite", L"--json"});
    EXPECT_EQ(download.file.value_or(L""), L"p.zip");
    EXPECT_TRUE(download.overwrite && download.json);
    EXPECT_EQ(Parsed({L"install", L"http://h/p.zip", L"--timeout=0"}).timeoutMs.value_or(99), 0u);
    const CommandLine odd = Parsed({L"download", L"--", L"-odd-url", L"--odd-file"});
    EXPECT_EQ(odd.url, L"-odd-url");
    EXPECT_EQ(odd.file.value_or(L""), L"--odd-file");
}

TEST(CommandLine, FlagsCarrySilentInBitZeroAndTheInvocationTypeAbove)
{
    const struct {
        std::vector<std::wstring> arguments;
        uint32_t flags;
    } cases[] = {
        {{L"ping"}, 0},
        {{L"ping", L"--silent"}, 1},
        {{L"ping", L"--invocation-type", L"7"}, 14},
        {{L"--silent", L"--invocation-type=3", L"ping"}, 7},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Parsed(c.arguments).session.Flags(), c.flags);
}

TEST(CommandLine, HelpForTheProgramAndForEachCommand)
{
    const struct {
        std::vector<std::wstring> arguments;
        Command command;
    } cases[] = {
        {{L"--help"}, Command::None},
        {{L"-h"}, Command::None},
        {{L"help"}, Command::None},
        {{L"help", L"download"}, Command::Download},
        {{L"download", L"--help"}, Command::Download},
        {{L"query", L"-h"}, Command::Query},
        {{L"--help", L"install"}, Command::Install},
    };
    for (const auto& c : cases) {
        const CommandLine line = Parsed(c.arguments);
        EXPECT_TRUE(line.help);
        EXPECT_EQ(line.command, c.command);
    }
}

TEST(CommandLine, UsageErrorsSayWhatIsWrong)
{
    const struct {
        std::vector<std::wstring> arguments;
        const char* error;
    } cases[] = {
        {{}, "no command given"},
        {{L"help", L"frobnicate"}, "no help for 'frobnicate'"},
        {{L"ping", L"--bogus"}, "unknown option '--bogus'"},
        {{L"ping", L"-x"}, "unknown option '-x'"},
        {{L"ping", L"--raw"}, "--raw does not apply to 'ping'"},
        {{L"download", L"u", L"--max-hits", L"3"}, "--max-hits does not apply to 'download'"},
        {{L"ping", L"extra"}, "too many arguments; usage: korvel-cli ping"},
        {{L"ping", L"--timeout"}, "--timeout needs a value"},
        {{L"ping", L"--timeout", L"soon"}, "--timeout needs milliseconds from 0 to 4294967295"},
        {{L"ping", L"--timeout", L"4294967296"}, "from 0 to 4294967295, not '4294967296'"},
        {{L"ping", L"--timeout=-1"}, "not '-1'"},
        {{L"ping", L"--silent=yes"}, "--silent takes no value"},
        {{L"ping", L"--invocation-type", L"8"}, "--invocation-type needs a number from 0 to 7"},
        {{L"ping", L"--dll="}, "--dll needs a path"},
        {{L"query", L"a=1", L"--raw", L"--status"},
         "--raw, --status and --json cannot be combined"},
        {{L"query"},
         "missing arguments; usage: korvel-cli query EXPR [--max-hits N] [--timeout MS] [--raw | "
         "--status | --json]"},
        {{L"ping", L"--json"}, "--json does not apply to 'ping'"},
        {{L"install", L"u", L"--overwrite"}, "--overwrite does not apply to 'install'"},
        {{L"download", L"--v1", L"--overwrite", L"http://h/p.zip"}, "--overwrite applies to FILE"},
        {{L"download", L"http://h/dir/"}, "the URL names no file to save to; give FILE"},
        {{L"download"}, "missing arguments; usage: korvel-cli download URL [FILE]"},
        {{L"download", L"u", L"f", L"g"}, "too many arguments"},
        {{L"download", L"u", L"f", L"--v1"}, "leave out either FILE or --v1"},
        {{L"download", L""}, "the URL is empty"},
        {{L"install", L"u", L"f"}, "too many arguments; usage: korvel-cli install URL"},
    };
    for (const auto& c : cases) {
        const CommandLineResult parsed = ParseCommandLine(c.arguments);
        ASSERT_FALSE(parsed.Ok()) << c.error;
        EXPECT_NE(parsed.error.find(c.error), std::string::npos)
            << "expected: " << c.error << "\ngot: " << parsed.error;
        EXPECT_FALSE(parsed.expressionColumn.has_value()) << parsed.error;
    }
}

TEST(CommandLine, TheFileNameOfAUrlIsItsLastPathSegment)
{
    const struct {
        const wchar_t* url;
        const wchar_t* name; // nullptr: no usable name
    } cases[] = {
        {L"http://h/packages/hostapp-2.1.3.zip", L"hostapp-2.1.3.zip"},
        {L"https://h:8443/a/b.zip?token=x/y#frag", L"b.zip"},
        {L"http://h/p/setup%20x64.exe", L"setup%20x64.exe"},
        {L"http://h/p.zip#part/2", L"p.zip"},
        {L"http://h/", nullptr},
        {L"http://h", nullptr},
        {L"http://h?file=a.zip", nullptr},
        {L"http://h/a/", nullptr},
        {L"http://h/a/..", nullptr},
        {L"http://h/a/trailing.", nullptr},
        {L"http://h/a:b", nullptr},
        {L"http://h/a\\b", nullptr},
        {L"http://h/a%2Fb|c", nullptr},
        {L"no-scheme/p.zip", nullptr},
    };
    for (const auto& c : cases) {
        const std::optional<std::wstring> name = FileNameFromUrl(c.url);
        if (c.name == nullptr)
            EXPECT_FALSE(name.has_value()) << std::string(c.url, c.url + wcslen(c.url));
        else
            EXPECT_EQ(name.value_or(L"(none)"), c.name);
    }
}

} // namespace
