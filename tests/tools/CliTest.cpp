// korvel-cli run as a process against the scripted server, for what only a
// real run shows: exit codes, the options on the wire, what reaches standard
// output, Ctrl+C and continuing a cut download. The texts themselves come
// from the parsers and formatters, which have unit tests of their own.
#include "tests/archive/ScratchFolder.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PackageSigning.h"
#include "tests/support/PercentEncode.h"
#include "tests/support/ScopedRegistryValue.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/ZipWriter.h"
#include "tools/korvel-cli/ContentAnswer.h"
#include "tools/korvel-cli/Json.h"
#include "tools/korvel-cli/Text.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <regex>
#include <sstream>

using namespace korvel::test;
using korvel::cli::FromUtf8;
using korvel::cli::ToUtf8;

namespace {

const std::string kDate = "Sat, 05 Dec 2026 17:00:00 GMT";
const size_t npos = std::string::npos;

ChildResult RunCli(const std::vector<std::wstring>& arguments)
{
    return RunProgram(BesideTest(L"korvel-cli.exe"), arguments);
}

std::string Packet(const std::string& code, const std::string& text, const std::string& body = "")
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><packet><header><date>" + kDate +
           "</date><server><status code=\"" + code + "\">" + text +
           "</status></server></header><body>" + body + "</body></packet>\n";
}

const std::string kOk = Packet("0", "OK");
const std::string kRefused = Packet("6000", "Failure");

// A tag of its own and a scripted URL for downloads; with an answer, the
// pipeline URL in the registry answers with it, as the script says.
struct Server {
    Server(const std::wstring& script, const std::string& answer = "")
        : tag(ScriptedServer::UniqueTag("cli")),
          url(ScriptedServer::Get().Url(L"tag=" + FromUtf8(tag) + L";" + script, L"package.zip"))
    {
        if (!answer.empty())
            pipeline.emplace(L"SOFTWARE\\Talvessa\\Pipeline", L"S_URL",
                             ScriptedServer::Get().Url(L"tag=" + FromUtf8(tag) +
                                                           L";ctype=text%2Fxml;body=" +
                                                           PercentEncode(answer) + L";" + script,
                                                       L"lumq/pipeline"));
    }
    std::string Head() const
    {
        return ScriptedServer::Get().RecordedHead(tag).value_or("(no request)");
    }

    const std::string tag;
    const std::wstring url;
    std::optional<ScopedRegistryValue> pipeline;
};

// A package whose installer is a batch file ending with the code, as a script.
std::wstring Installer(int code)
{
    const std::wstring name = FromUtf8(ScriptedServer::UniqueTag("cli-setup")) + L".zip";
    EXPECT_TRUE(WriteZip(ScriptedServer::Get().FileDir() + L"\\" + name,
                         {{"pakord.id", "[Volume Id]\r\nExePath=setup.bat\r\n"},
                          {"setup.bat", "@exit /b " + std::to_string(code) + "\r\n"}}));
    return L"file=" + name;
}

// The words of a command line, split at blanks; {url} stands for the
// server's URL, {file} and {kept} for the paths given.
std::vector<std::wstring> Words(const wchar_t* line, const Server& server, const std::wstring& file,
                                const std::wstring& kept = L"")
{
    std::vector<std::wstring> words;
    std::wistringstream stream(line);
    for (std::wstring word; stream >> word;)
        words.push_back(word == L"{url}"    ? server.url
                        : word == L"{file}" ? file
                        : word == L"{kept}" ? kept
                                            : word);
    return words;
}

TEST(Cli, ExitCodesAndTheMessagesBehindThem)
{
    const ScratchFolder folder;
    const std::wstring kept = folder / L"kept.bin";
    ASSERT_TRUE(WriteBytes(kept, "kept") && WriteBytes(kept + L".part", "stale part"));
    const struct {
        const wchar_t* line; // split at blanks
        std::wstring script; // for {url} and, with an answer, the pipeline
        std::string answer;  // the pipeline's
        DWORD exitCode;
        std::string text;                      // a part of stdout after a success, else of stderr
        std::vector<const char*> request = {}; // parts of the request, its packet as ASCII
    } cases[] = {
        {L"--help", L"", "", 0, "Usage: korvel-cli "},
        // Usage errors come before the library is loaded.
        {L"frobnicate --dll=Z:\\x.dll", L"", "", 2, "korvel-cli: unknown command 'frobnicate'"},
        // The words of the expression, joined, under the column of the fault.
        {L"query a=1 or b=2 and c=3 --dll=Z:\\x.dll", L"", "", 2,
         "korvel-cli: bad query expression: column 12: cannot mix 'and' and 'or' in one group "
         "without parentheses: this 'and' follows an 'or' at column 5; group them, as in a=1 and "
         "(b=2 or c=3)\n  a=1 or b=2 and c=3\n             ^\nRun 'korvel-cli --help'"},
        {L"--dll Z:\\no\\such.dll ping", L"", "", 3,
         "cannot load Z:\\no\\such.dll: error 126 (module not found: there is no such file)\n"},
        {L"--dll C:\\windows\\win.ini ping", L"", "", 3,
         "error 193 (not a DLL for 64-bit Windows)\n"},
        {L"--dll C:\\windows\\system32\\version.dll ping", L"", "", 3, "does not export WsUdOpen"},
        {L"--app MyApp --app-version=2.5 ping --invocation-type 3",
         L"",
         kOk,
         0,
         "Server date: " + kDate + "\nStatus:      0x00000000 kStatusSuccess\n",
         {"MyApp 2.5", "InvocationType=3"}},
        {L"ping", L"", kRefused, 1, "the ping failed: 0x80008007 kStatusServer6000\n"},
        {L"--locale de-DE query a=1 and (b=2 or c~3) --max-hits 7 --status",
         L"",
         Packet("-5", "x"),
         0,
         "-5\n",
         {"?cmd=ContentCmd:Query&MaxHits=7&", "<locale>de-DE</locale>", "<query type=\"Or\">",
          "<text compareType=\"Contains\" field=\"c\">3</text>"}},
        {L"query a=1", L"", kRefused, 1,
         "refused the query with status 6000 (Failure); --raw shows"},
        {L"query a=1", L"", "<packet><header><date>", 1, "0x80004002 kStatusXmlParseFailed\n"},
        {L"query a=1", L"status=404", kOk, 1,
         "HTTP 404: nothing exists at that URL.\n  pipeline: http"},
        {L"query a=1 --timeout 500", L"delay=15000", kOk, 1, "500 ms: 0x80002011 kStatusTimeout\n"},
        // Plain progress lines in a file, never a bar.
        {L"download {url} {file}", L"size=300000", "", 0,
         "\n  100%  293.0 KiB of 293.0 KiB\nSaved "},
        {L"download {url} {file}", L"status=404", "", 1, "failed: 0x80002007 kStatusNotFound\n"},
        {L"download {url} {file} --timeout=1000", L"size=300000;stallafter=100000;stallms=20000",
         "", 1, "1000 ms: 0x80002011 kStatusTimeout\n"},
        {L"download {url} {kept}", L"size=300000", "", 1, " already exists; --overwrite downloads"},
        // Not a byte of the stale part stays.
        {L"download {url} {kept} --overwrite", L"size=300000", "", 0, "\nSaved "},
        {L"download --v1 {url}", L"size=300000", "", 0, "\n  100%\nDownloaded. The package goes"},
        {L"download --v1 {url}", L"status=404", "", 1, "failed: 0x80002007 kStatusNotFound\n"},
        {L"install {url}", Installer(0), "", 0,
         "\nInstalled: the installer finished successfully\n"},
        {L"install {url}", Installer(1602), "", 4, "0x80009002 kStatusInstallCancelled\n"},
        {L"install {url}", Installer(3010), "", 1, "0x80009001 kStatusInstallFailed\n"},
        {L"install {url}", L"size=300000", "", 1, "0x80006002 kStatusExtractFailed\n"},
    };
    for (const auto& c : cases) {
        const Server server(c.script, c.answer);
        const ChildResult result =
            RunCli(Words(c.line, server, folder / FromUtf8(server.tag), kept));
        const std::string label = ToUtf8(c.line) + "\n" + result.out + result.err;
        EXPECT_EQ(result.exitCode, c.exitCode) << label;
        EXPECT_NE((c.exitCode == 0 ? result.out : result.err).find(c.text), npos) << label;
        if (c.exitCode == 0) {
            EXPECT_EQ(result.err, "") << label;
        }
        // A package refused before its installer started never announces it.
        if (c.text.find("0x8000600") != npos) {
            EXPECT_EQ(result.out.find("Running the installer"), npos) << label;
        }
        std::string request = server.Head();
        const std::string utf16 = ScriptedServer::Get().RecordedBody(server.tag).value_or("");
        for (size_t i = 2; i + 1 < utf16.size(); i += 2)
            request += utf16[i];
        for (const char* part : c.request)
            EXPECT_NE(request.find(part), npos) << part << "\n" << request;
    }
    EXPECT_EQ(ScriptedServer::DescribePatternMismatch(kept, 300000), "");
}

TEST(Cli, QueryOutputReachesStandardOutputWhole)
{
    const std::string answer =
        Packet("0", "OK",
               "<contentResult count=\"1\" total=\"1\"><entry id=\"e1\" type=\"Update\">"
               "<metadata field=\"Title\">Gr\xC3\xB6\xC3\x9F"
               "e</metadata></entry></contentResult>");
    // What the formatter makes of the answer, with the CR LF of a text line.
    const auto json = [](const std::string& body, int32_t status) {
        std::string text =
            korvel::cli::ContentAnswerJson(*korvel::cli::ReadContentAnswer(body), status);
        return text.insert(text.size() - 1, "\r");
    };
    const struct {
        const wchar_t* option;
        std::string answer;
        DWORD exitCode;
        std::string out; // byte for byte
    } cases[] = {
        {L"--json", answer, 0, json(answer, 0)},
        {L"--raw", answer + "\r\n\xC3\xA9 trailing\n", 0, answer + "\r\n\xC3\xA9 trailing\n"},
    };
    for (const auto& c : cases) {
        const Server server(L"", c.answer);
        const ChildResult result = RunCli({L"query", L"a=1", c.option});
        EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
        EXPECT_EQ(result.rawOut, c.out);
    }
}

TEST(Cli, DownloadJsonSaysWhetherThePartWasContinued)
{
    const std::string complete =
        "\"complete\",\"status\":\"0x40002005\",\"statusName\":\"kStatusTransferComplete\"";
    const struct {
        std::string part;
        const wchar_t* script;
        uint64_t size; // of the file made; 0: the download fails
        std::string result;
        std::string figures;
    } cases[] = {
        {ScriptedServer::PatternBytes(0, 1000), L"size=5000", 5000, complete,
         "\"bytes\":5000,\"total\":5000,\"continuedFrom\":1000,\"restarted\":false}"},
        // The data stalls short of the part, so that the figures show the new start.
        {std::string(150000, 'x'), L"size=400000;range=ignore;stallafter=40000;stallms=1500",
         400000, complete,
         "\"bytes\":400000,\"total\":400000,\"continuedFrom\":0,\"restarted\":true}"},
        {"", L"status=404", 0,
         "\"failed\",\"status\":\"0x80002007\",\"statusName\":\"kStatusNotFound\"",
         "\"bytes\":0,\"total\":0,\"continuedFrom\":0,\"restarted\":false}"},
    };
    for (const auto& c : cases) {
        const ScratchFolder folder;
        const std::wstring file = folder / L"json.bin";
        if (!c.part.empty()) {
            ASSERT_TRUE(WriteBytes(file + L".part", c.part));
        }
        const Server server(c.script);
        const ChildResult result = RunCli({L"download", server.url, file, L"--json"});
        EXPECT_EQ(result.exitCode, c.size ? 0u : 1u) << result.err;
        EXPECT_EQ(
            std::regex_replace(result.rawOut, std::regex("\"seconds\":[0-9.]+,"), ""),
            "{\"result\":" + c.result + ",\"url\":" + korvel::cli::JsonString(ToUtf8(server.url)) +
                ",\"file\":" + korvel::cli::JsonString(ToUtf8(file)) + "," + c.figures + "\r\n");
        if (c.size) {
            EXPECT_EQ(ScriptedServer::DescribePatternMismatch(file, c.size), "");
        }
    }
}

TEST(Cli, ACutDownloadIsContinuedByTheCommandItPrints)
{
    const ScratchFolder folder;
    const std::wstring file = folder / L"cut.bin";
    const std::string part = ToUtf8(file) + ".part";
    const Server cutting(L"size=400000;cut=100000;etag=v1");
    const ChildResult cut = RunCli({L"download", cutting.url, file});
    EXPECT_EQ(cut.exitCode, 1u);
    EXPECT_NE(cut.err.find("\n  97.7 KiB (100000 bytes) are kept in " + part +
                           "; to continue:\n    korvel-cli download \"" + ToUtf8(cutting.url) +
                           "\" \"" + ToUtf8(file) + "\"\n"),
              npos)
        << cut.err;
    EXPECT_FALSE(Exists(file));
    EXPECT_TRUE(Exists(file + L".part.validator")) << "the part's version stays for its resume";

    const Server whole(L"size=400000;etag=v1");
    const ChildResult again = RunCli({L"download", whole.url, file});
    EXPECT_EQ(again.exitCode, 0u) << again.err;
    EXPECT_NE(again.out.find("\n  an unfinished download left 97.7 KiB (100000 bytes) in " + part +
                             "\n  the server continues it: downloading the rest\n"),
              npos)
        << again.out;
    EXPECT_NE(whole.Head().find("Range: bytes=100000-"), npos) << whole.Head();
    EXPECT_EQ(ScriptedServer::DescribePatternMismatch(file, 400000), "");
    EXPECT_FALSE(Exists(file + L".part.validator"));
}

// verify gives the library's verdict on a package, without the library:
// keys written with the wrong separator and a signature spelt anew are
// refused, and the refused part of the keys is named.
TEST(Cli, VerifyChecksAPackageAsAHostWould)
{
    const std::wstring folder = ScriptedServer::Get().FileDir();
    const SigningKey key = MakeSigningKey(folder, ScriptedServer::UniqueTag("cli-key"));
    const SigningKey other = MakeSigningKey(folder, ScriptedServer::UniqueTag("cli-other"));
    const std::wstring package =
        folder + L"\\" + FromUtf8(ScriptedServer::UniqueTag("cli")) + L".zip";
    ASSERT_TRUE(WriteZip(package, {{"pakord.id", "[Volume Id]\r\nExePath=setup.exe\r\n"}}));
    ASSERT_TRUE(SignPackageToFit(folder, package, key));
    const std::string signedBytes = ReadWholeFile(package).value_or("");
    const auto respelled = [](Respelling how) {
        return [how](const std::string& bytes) { return Respelled(bytes, how); };
    };
    const auto same = [](const std::string& bytes) { return bytes; };
    // A spelling too long for the signature block reads as no signature.
    const char* notTrusted = " would not be installed\n";
    const struct {
        std::wstring keys;
        std::function<std::string(const std::string&)> edit;
        DWORD exitCode;
        std::string text;
    } cases[] = {
        {L"x;" + key.packageKeys, same, 1, "\n  PackageKeys part 1 (\"x\") is not the base64"},
        {key.packageKeys + L" " + other.packageKeys, same, 1, "keys are separated by ';'"},
        {key.packageKeys, same, 0, " is signed by one of the given keys (1)"},
        {other.packageKeys + L";" + key.packageKeys, same, 0, "one of the given keys (2)"},
        {key.packageKeys, [](const std::string& b) { return b + "!"; }, 1,
         "would not be installed\n  the package carries no signature"},
        {key.packageKeys, respelled(Respelling::kOtherS), 1, notTrusted},
        {key.packageKeys, respelled(Respelling::kPaddedR), 1, notTrusted},
        {key.packageKeys, respelled(Respelling::kLongLength), 1, notTrusted},
        {key.packageKeys, respelled(Respelling::kBytesAfter), 1, notTrusted},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::ofstream(package.c_str(), std::ios::binary | std::ios::trunc) << c.edit(signedBytes);
        const ChildResult result = RunCli({L"verify", package, L"--key", c.keys});
        EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
        EXPECT_NE((c.exitCode == 0 ? result.out : result.err).find(c.text), npos) << result.err;
    }
    DeleteFileW(package.c_str());
    DeleteFileW((folder + L"\\" + FromUtf8(key.pem)).c_str());
    DeleteFileW((folder + L"\\" + FromUtf8(other.pem)).c_str());
}

TEST(Cli, CtrlCEndsTheCommandWith130)
{
    const SharedConsole console;
    ASSERT_TRUE(console.Ready()) << "AllocConsole failed, error " << GetLastError();
    const ScratchFolder folder;
    const std::wstring file = folder / L"cancelled.bin";
    // The server's stall or delay outlasts the wait for the end.
    const struct {
        const wchar_t* line;
        const wchar_t* script;
        const char* shownFirst; // on stdout before Ctrl+C
        const char* err;
    } cases[] = {
        // A download is cancelled through the library and keeps what came.
        {L"download {url} {file}", L"size=400000;stallafter=100000;stallms=30000", "%",
         "korvel-cli: download cancelled\n  "},
        {L"query a=1", L"delay=30000", "", "korvel-cli: query cancelled\n"},
        // The library cannot cancel a ping: the program ends at once.
        {L"ping", L"delay=30000", "", "korvel-cli: cancelled with Ctrl+C\n"},
    };
    for (const auto& c : cases) {
        const Server server(c.script, kOk);
        ChildProcess cli(BesideTest(L"korvel-cli.exe"), Words(c.line, server, file));
        for (int i = 0; i < 1000 && (ScriptedServer::Get().RecordCount(server.tag) == 0 ||
                                     cli.Output().find(c.shownFirst) == npos);
             ++i)
            Sleep(20);
        ASSERT_TRUE(SharedConsole::SendCtrlC()) << "error " << GetLastError();
        const ChildResult result = cli.Finish(15000);
        EXPECT_EQ(result.exitCode, 130u) << c.err;
        EXPECT_EQ(result.err.rfind(c.err, 0), 0u) << result.err;
    }
    const std::string kept = ReadBytes(file + L".part");
    EXPECT_GT(kept.size(), 0u);
    EXPECT_EQ(kept, ScriptedServer::PatternBytes(0, kept.size()));
}

} // namespace
