#pragma once

#include "tools/korvel-cli/QueryExpression.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel::cli {

enum class Command { None, Help, Ping, Query, Download, Install, Verify };

// What the session is opened with: the five strings and the flags.
struct SessionSettings {
    std::wstring app = L"korvel-cli";
    std::wstring appVersion = L"19.0.0";
    std::wstring wrapper;
    std::wstring wrapperVersion;
    std::wstring locale = L"en-US";
    bool silent = false;
    uint32_t invocationType = 0;

    // Bit 0 silent, bits 1 to 3 the invocation type.
    uint32_t Flags() const { return (silent ? 1u : 0u) | (invocationType << 1); }
};

struct CommandLine {
    Command command = Command::None;
    // --help, or `help COMMAND`: show the help of `command` (or the program's).
    bool help = false;
    SessionSettings session;
    std::optional<std::wstring> dllPath;

    std::optional<uint32_t> timeoutMs; // 0 means no limit
    uint32_t maxHits = 50;
    bool raw = false;
    bool serverStatus = false;
    bool json = false;
    bool firstVersion = false;
    bool overwrite = false;

    std::wstring expression; // query: the operands joined by blanks
    QueryGroup query;
    std::wstring url;
    // The file of a download to a file: FILE as given, or the URL's last
    // path segment. Absent for the download the library keeps (--v1).
    std::optional<std::wstring> file;

    // verify: the package and the keys, as the registry value PackageKeys
    // holds them or the path of a file with them (a PEM public key too).
    std::wstring package;
    std::wstring keys;
};

struct CommandLineResult {
    CommandLine line;
    std::string error; // empty on success; one line, UTF-8
    // For an expression error: the expression and the 0-based column of the
    // fault, so that a caret can point at it.
    std::optional<size_t> expressionColumn;
    std::wstring expression;
    bool Ok() const { return error.empty(); }
};

// Parses the arguments after the program name. Options may come before or
// after the command, as "--name value" or "--name=value"; "--" ends them.
// Checks everything that can be checked without the library, the query
// expression included.
CommandLineResult ParseCommandLine(const std::vector<std::wstring>& arguments);

const wchar_t* CommandName(Command command);

// The last segment of the URL's path, as `curl -O` and wget name the file
// they save; nothing when the path ends with a slash or the segment is no
// usable Windows file name. The segment is taken as it stands, escapes
// included.
std::optional<std::wstring> FileNameFromUrl(std::wstring_view url);

} // namespace korvel::cli
