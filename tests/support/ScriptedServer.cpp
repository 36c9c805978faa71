#include "tests/support/ScriptedServer.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace korvel::test {

namespace {

constexpr uint64_t kPatternPeriod = 1000003;
constexpr size_t kBlockSize = 1 << 20;

// The pattern for one period plus one block of wrap-around, built once: the
// bytes of any block starting inside the period are one contiguous range.
const char* PatternAt(uint64_t offset)
{
    static const std::string table = [] {
        std::string bytes(kPatternPeriod + kBlockSize, '\0');
        // i mod 1000003 < 2^20, so the product stays below 2^52.
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>((((i % kPatternPeriod) * 2654435761u) >> 13) & 0xFF);
        return bytes;
    }();
    return table.data() + offset % kPatternPeriod;
}

} // namespace

std::string Narrow(const std::wstring& text)
{
    std::string result;
    for (wchar_t c : text)
        result += c < 0x80 ? static_cast<char>(c) : '?';
    return result;
}

ScriptedServer::ScriptedServer(std::wstring directory, uint16_t port)
    : directory_(std::move(directory)), port_(port)
{
}

ServerFolder FindServerFolder(const wchar_t* variable, const std::wstring& portFile)
{
    wchar_t value[MAX_PATH] = L"";
    const DWORD length = GetEnvironmentVariableW(variable, value, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        throw std::runtime_error(Narrow(variable) +
                                 " is not set (run the test through ctest, whose fixture starts "
                                 "the server)");
    // Wine maps drive Z: to the Linux root; a Windows path is kept as it is.
    std::wstring path = value;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (path[0] == L'\\')
        path = L"Z:" + path;
    while (path.size() > 3 && path.back() == L'\\')
        path.pop_back();
    const std::wstring portPath = path + L"\\" + portFile;
    const std::optional<std::string> text = ReadWholeFile(portPath);
    if (!text)
        throw std::runtime_error("cannot read " + Narrow(portPath) + " (is the server running?)");
    // Only a decimal number between blanks is a port; anything else is a broken file.
    char* end = nullptr;
    const unsigned long port = std::strtoul(text->c_str(), &end, 10);
    if (port == 0 || port > 65535 ||
        text->find_first_not_of(" \t\r\n", end - text->c_str()) != std::string::npos)
        throw std::runtime_error("no port number in " + Narrow(portPath) + ": \"" + *text + "\"");
    return {path, static_cast<uint16_t>(port)};
}

std::optional<std::string> ReadWholeFile(const std::wstring& path)
{
    // Shared so that a writer may go on writing, renaming or deleting the file.
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    const std::unique_ptr<void, decltype(&CloseHandle)> file(handle, &CloseHandle);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle, &size) || size.QuadPart > MAXDWORD)
        return std::nullopt;
    std::string data(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!ReadFile(handle, data.data(), static_cast<DWORD>(data.size()), &got, nullptr))
        return std::nullopt;
    data.resize(got);
    return data;
}

const ScriptedServer& ScriptedServer::Get()
{
    // A failed first call throws and leaves the static uninitialised, so a
    // later call tries again.
    static const ScriptedServer server = [] {
        const ServerFolder folder = FindServerFolder(L"KORVEL_HTTP_SERVER_DIR", L"port");
        return ScriptedServer(folder.path, folder.port);
    }();
    return server;
}

std::wstring ScriptedServer::Url(const std::wstring& script, const std::wstring& tail) const
{
    return L"http://127.0.0.1:" + std::to_wstring(port_) + L"/s/" + script + L"/" + tail;
}

std::wstring ScriptedServer::FileDir() const
{
    return directory_ + L"\\files";
}

std::wstring ScriptedServer::RecordPath(const std::string& tag, int n, const wchar_t* suffix) const
{
    return directory_ + L"\\records\\" + std::wstring(tag.begin(), tag.end()) + L"-" +
           std::to_wstring(n) + L"." + suffix;
}

std::optional<std::string> ScriptedServer::RecordedHead(const std::string& tag, int n) const
{
    return ReadWholeFile(RecordPath(tag, n, L"head"));
}

std::optional<std::string> ScriptedServer::RecordedBody(const std::string& tag, int n) const
{
    return ReadWholeFile(RecordPath(tag, n, L"body"));
}

int ScriptedServer::RecordCount(const std::string& tag) const
{
    // The server numbers without gaps and writes a head file last.
    int count = 0;
    while (GetFileAttributesW(RecordPath(tag, count + 1, L"head").c_str()) !=
           INVALID_FILE_ATTRIBUTES)
        ++count;
    return count;
}

std::string ScriptedServer::PatternBytes(uint64_t offset, size_t length)
{
    std::string bytes;
    bytes.reserve(length);
    while (bytes.size() < length)
        bytes.append(PatternAt(offset + bytes.size()), std::min(length - bytes.size(), kBlockSize));
    return bytes;
}

bool ScriptedServer::FileHoldsPattern(const std::wstring& path, uint64_t expectedSize)
{
    return DescribePatternMismatch(path, expectedSize).empty();
}

std::string ScriptedServer::DescribePatternMismatch(const std::wstring& path, uint64_t expectedSize)
{
    const std::optional<std::string> bytes = ReadWholeFile(path);
    if (!bytes)
        return "cannot read " + Narrow(path) + " (error " + std::to_string(GetLastError()) + ")";
    if (bytes->size() != expectedSize)
        return Narrow(path) + " holds " + std::to_string(bytes->size()) + " bytes, expected " +
               std::to_string(expectedSize);
    for (size_t offset = 0; offset < bytes->size(); offset += kBlockSize) {
        const char* block = bytes->data() + offset;
        const size_t length = std::min(kBlockSize, bytes->size() - offset);
        const auto [got, want] = std::mismatch(block, block + length, PatternAt(offset));
        if (got != block + length)
            return Narrow(path) + " differs from the pattern at offset " +
                   std::to_string(got - bytes->data()) + ": " +
                   std::to_string(static_cast<unsigned char>(*got)) + " instead of " +
                   std::to_string(static_cast<unsigned char>(*want));
    }
    return "";
}

std::string ScriptedServer::UniqueTag(const char* prefix)
{
    // Wine reuses process ids of ended processes, so two test programs run one
    // after the other may share one; the start time of the process tells them
    // apart.
    static const std::string process = [] {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        char text[64];
        snprintf(text, sizeof text, "%lu-%llx", GetCurrentProcessId(),
                 (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
        return std::string(text);
    }();
    static std::atomic<unsigned> counter{0};
    return std::string(prefix) + "-" + process + "-" + std::to_string(++counter);
}

} // namespace korvel::test
