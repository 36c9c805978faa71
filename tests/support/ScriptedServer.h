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

// A whole file, read while others may still write it; nothing when it
// cannot be read.
std::optional<std::string> ReadWholeFile(const std::wstring& path);

// The test side of the scripted answers of the reference server (tools/pipeline-server)
// that ctest starts before the transport tests. Each request's URL carries a
// script saying how the server answers, for example
//
//     ScriptedServer::Get().Url(L"tag=resume-1;size=100000;range=ignore")
//
// and the server records every request as <tag>-<n>.head and <tag>-<n>.body,
// complete before the answer is sent. The environment variable
// KORVEL_HTTP_SERVER_DIR names the server's folder (a Linux path; under Wine
// it is reached through drive Z:).
class ScriptedServer {
public:
    // The server of this test run; throws std::runtime_error when the
    // environment variable or the server's port file is missing.
    static const ScriptedServer& Get();

    // http://127.0.0.1:<port>/s/<script>/<tail>. Nothing is percent-encoded:
    // a value holding '/' or ';' must be written %2F or %3B by the caller.
    std::wstring Url(const std::wstring& script, const std::wstring& tail = L"file") const;

    uint16_t Port() const { return port_; }
    // The Windows path of the folder holding the request records.
    std::wstring RecordDir() const;
    // The Windows path of the folder whose files the script key file=NAME
    // serves; tests write the files they want served there.
    std::wstring FileDir() const;

    // The n-th recorded request of a tag (n from 1): the request line and
    // headers exactly as received, blank line included, and the body bytes.
    std::optional<std::string> RecordedHead(const std::string& tag, int n = 1) const;
    std::optional<std::string> RecordedBody(const std::string& tag, int n = 1) const;
    // How many requests the server has recorded under a tag.
    int RecordCount(const std::string& tag) const;

    // The bytes the server sends for size=N bodies: the byte at absolute offset
    // i is ((i mod 1000003) * 2654435761 >> 13) & 0xFF.
    static std::string PatternBytes(uint64_t offset, size_t length);
    // True when the file is exactly expectedSize bytes of the pattern from 0.
    static bool FileHoldsPattern(const std::wstring& path, uint64_t expectedSize);
    // Empty when FileHoldsPattern would be true, otherwise what is wrong (a
    // missing file, the size, or the offset of the first wrong byte), for a
    // test's failure message.
    static std::string DescribePatternMismatch(const std::wstring& path, uint64_t expectedSize);

    // A tag no other request of this test run uses, also across test programs:
    // the prefix, the process id and start time, and a counter. The server
    // accepts tags of letters, digits, '_', '.' and '-', so the prefix must be
    // made of those.
    static std::string UniqueTag(const char* prefix);

private:
    ScriptedServer(std::wstring directory, uint16_t port);
    std::wstring RecordPath(const std::string& tag, int n, const wchar_t* suffix) const;

    std::wstring directory_; // Windows path of KORVEL_HTTP_SERVER_DIR
    uint16_t port_;
};

} // namespace korvel::test
