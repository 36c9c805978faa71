#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace korvel::test {

// The folder of a local test server that a ctest fixture started: the
// environment variable names it (a Linux path, reached under Wine through
// drive Z:), and the server wrote its port to portFile inside it. Throws
// std::runtime_error saying what is missing.
struct ServerFolder {
    std::wstring path; // as a Windows path
    uint16_t port;
};
ServerFolder FindServerFolder(const wchar_t* variable, const std::wstring& portFile);

// Text for messages and the tests' own names: ASCII, anything else as '?'.
std::string Narrow(const std::wstring& text);

// A whole file, read while others may still write it; nothing when it
// cannot be read.
std::optional<std::string> ReadWholeFile(const std::wstring& path);

// The reference server (tools/pipeline-server) in the folder that
// KORVEL_HTTP_SERVER_DIR names. Each request's URL carries a script saying how
// it answers, e.g. Url(L"tag=resume-1;size=100000;range=ignore"), and the
// server records every request as <tag>-<n>.head and .body before it answers.
class ScriptedServer {
public:
    static const ScriptedServer& Get();

    // http://127.0.0.1:<port>/s/<script>/<tail>. Nothing is percent-encoded:
    // a value holding '/' or ';' must be written %2F or %3B by the caller.
    std::wstring Url(const std::wstring& script, const std::wstring& tail = L"file") const;

    // The folder whose files the script key file=NAME serves.
    std::wstring FileDir() const;

    // The n-th request of a tag (from 1): its head as received and its body.
    std::optional<std::string> RecordedHead(const std::string& tag, int n = 1) const;
    std::optional<std::string> RecordedBody(const std::string& tag, int n = 1) const;
    int RecordCount(const std::string& tag) const;

    // The bytes the server sends for size=N bodies: the byte at absolute offset
    // i is ((i mod 1000003) * 2654435761 >> 13) & 0xFF.
    static std::string PatternBytes(uint64_t offset, size_t length);
    // Whether the file is exactly expectedSize bytes of the pattern, or else
    // what is wrong with it ("" when it is).
    static bool FileHoldsPattern(const std::wstring& path, uint64_t expectedSize);
    static std::string DescribePatternMismatch(const std::wstring& path, uint64_t expectedSize);

    // A tag no other request of this test run uses, also across test
    // programs; the prefix is of letters, digits, '_', '.' and '-'.
    static std::string UniqueTag(const char* prefix);

private:
    ScriptedServer(std::wstring directory, uint16_t port);
    std::wstring RecordPath(const std::string& tag, int n, const wchar_t* suffix) const;

    std::wstring directory_; // Windows path of KORVEL_HTTP_SERVER_DIR
    uint16_t port_;
};

} // namespace korvel::test
