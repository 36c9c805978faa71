#include "tests/support/ScriptedServer.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace korvel::test {

namespace {

constexpr uint64_t kPatternPeriod = 1000003;
constexpr uint64_t kPatternMultiplier = 2654435761u;
constexpr size_t kBlockSize = 1 << 20;

// Owns a file handle opened for reading.
class ReadHandle {
public:
    explicit ReadHandle(const std::wstring& path)
        : handle_(CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
    {
    }
    ~ReadHandle()
    {
        if (IsOpen())
            CloseHandle(handle_);
    }
    ReadHandle(const ReadHandle&) = delete;
    ReadHandle& operator=(const ReadHandle&) = delete;

    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

    std::optional<uint64_t> Size() const
    {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(handle_, &size))
            return std::nullopt;
        return static_cast<uint64_t>(size.QuadPart);
    }

    // Fills data with up to length bytes and returns how many were read;
    // fewer only at the end of the file.
    std::optional<size_t> Read(char* data, size_t length) const
    {
        size_t filled = 0;
        while (filled < length) {
            DWORD chunk = static_cast<DWORD>(std::min<size_t>(length - filled, 1u << 30));
            DWORD got = 0;
            if (!ReadFile(handle_, data + filled, chunk, &got, nullptr))
                return std::nullopt;
            if (got == 0)
                break;
            filled += got;
        }
        return filled;
    }

private:
    HANDLE handle_;
};

// The pattern for one period plus one block of wrap-around, built once: the
// bytes of any block starting inside the period are one contiguous range.
const char* PatternAt(uint64_t offset)
{
    static const std::string table = [] {
        std::string bytes(kPatternPeriod + kBlockSize, '\0');
        for (size_t i = 0; i < bytes.size(); ++i) {
            // i mod 1000003 < 2^20, so the product stays below 2^52.
            uint64_t k = i % kPatternPeriod;
            bytes[i] = static_cast<char>(((k * kPatternMultiplier) >> 13) & 0xFF);
        }
        return bytes;
    }();
    return table.data() + offset % kPatternPeriod;
}

std::optional<std::wstring> EnvironmentValue(const wchar_t* name)
{
    DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
    if (needed == 0)
        return std::nullopt;
    std::wstring value(needed, L'\0');
    DWORD length = GetEnvironmentVariableW(name, &value[0], needed);
    if (length == 0 || length >= needed)
        return std::nullopt;
    value.resize(length);
    return value;
}

// Wine maps drive Z: to the Linux root; a value that already is a Windows
// path is kept as it is.
std::wstring ToWindowsPath(std::wstring path)
{
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (!path.empty() && path[0] == L'\\')
        path = L"Z:" + path;
    while (path.size() > 3 && path.back() == L'\\')
        path.pop_back();
    return path;
}

std::string Narrow(const std::wstring& text)
{
    std::string result;
    for (wchar_t c : text)
        result += c < 0x80 ? static_cast<char>(c) : '?';
    return result;
}

std::wstring Widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

uint16_t ParsePort(const std::string& text, const std::wstring& path)
{
    size_t begin = text.find_first_not_of(" \t\r\n");
    size_t end = text.find_last_not_of(" \t\r\n");
    std::string trimmed = begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
    // Only a plain decimal number is a port; anything else is a broken file.
    bool valid =
        !trimmed.empty() && trimmed.size() <= 5 &&
        std::all_of(trimmed.begin(), trimmed.end(), [](char c) { return c >= '0' && c <= '9'; });
    unsigned long port = valid ? std::stoul(trimmed) : 0;
    if (port == 0 || port > 65535)
        throw std::runtime_error("no port number in " + Narrow(path) + ": \"" + trimmed + "\"");
    return static_cast<uint16_t>(port);
}

std::string Hex(uint64_t value)
{
    char text[32];
    snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

ScriptedServer::ScriptedServer(std::wstring directory, uint16_t port)
    : directory_(std::move(directory)), port_(port)
{
}

ServerFolder FindServerFolder(const wchar_t* variable, const std::wstring& portFile)
{
    std::optional<std::wstring> dir = EnvironmentValue(variable);
    if (!dir || dir->empty())
        throw std::runtime_error(Narrow(variable) +
                                 " is not set (run the test through ctest, whose fixture starts "
                                 "the server)");
    ServerFolder folder{ToWindowsPath(*dir), 0};
    const std::wstring portPath = folder.path + L"\\" + portFile;
    std::optional<std::string> text = ReadWholeFile(portPath);
    if (!text)
        throw std::runtime_error("cannot read " + Narrow(portPath) + " (is the server running?)");
    folder.port = ParsePort(*text, portPath);
    return folder;
}

std::optional<std::string> ReadWholeFile(const std::wstring& path)
{
    ReadHandle file(path);
    if (!file.IsOpen())
        return std::nullopt;
    std::optional<uint64_t> size = file.Size();
    if (!size)
        return std::nullopt;
    std::string data(static_cast<size_t>(*size), '\0');
    std::optional<size_t> got = file.Read(&data[0], data.size());
    if (!got)
        return std::nullopt;
    data.resize(*got);
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

std::wstring ScriptedServer::RecordDir() const
{
    return directory_ + L"\\records";
}

std::wstring ScriptedServer::FileDir() const
{
    return directory_ + L"\\files";
}

std::wstring ScriptedServer::RecordPath(const std::string& tag, int n, const wchar_t* suffix) const
{
    return RecordDir() + L"\\" + Widen(tag) + L"-" + std::to_wstring(n) + L"." + suffix;
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
    while (bytes.size() < length) {
        size_t n = std::min(length - bytes.size(), kBlockSize);
        bytes.append(PatternAt(offset + bytes.size()), n);
    }
    return bytes;
}

bool ScriptedServer::FileHoldsPattern(const std::wstring& path, uint64_t expectedSize)
{
    return DescribePatternMismatch(path, expectedSize).empty();
}

std::string ScriptedServer::DescribePatternMismatch(const std::wstring& path, uint64_t expectedSize)
{
    ReadHandle file(path);
    if (!file.IsOpen()) {
        DWORD error = GetLastError();
        return "cannot open " + Narrow(path) + " (error " + std::to_string(error) + ")";
    }
    std::optional<uint64_t> size = file.Size();
    if (!size)
        return "cannot read the size of " + Narrow(path);
    if (*size != expectedSize)
        return Narrow(path) + " holds " + std::to_string(*size) + " bytes, expected " +
               std::to_string(expectedSize);
    // One buffer for all blocks: a fresh large allocation per block costs more
    // than the comparison under Wine.
    std::vector<char> block(kBlockSize);
    for (uint64_t offset = 0; offset < expectedSize;) {
        size_t length = static_cast<size_t>(std::min<uint64_t>(kBlockSize, expectedSize - offset));
        std::optional<size_t> read = file.Read(block.data(), length);
        if (!read || *read != length)
            return "cannot read " + Narrow(path) + " at offset " + std::to_string(offset);
        const char* begin = block.data();
        const char* end = begin + length;
        auto [got, want] = std::mismatch(begin, end, PatternAt(offset));
        if (got != end) {
            uint64_t at = offset + static_cast<uint64_t>(got - begin);
            return Narrow(path) + " differs from the pattern at offset " + std::to_string(at) +
                   ": " + Hex(static_cast<unsigned char>(*got)) + " instead of " +
                   Hex(static_cast<unsigned char>(*want));
        }
        offset += length;
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
        uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
        char text[64];
        snprintf(text, sizeof text, "%lu-%llx", GetCurrentProcessId(),
                 static_cast<unsigned long long>(ticks));
        return std::string(text);
    }();
    static std::atomic<unsigned> counter{0};
    return std::string(prefix) + "-" + process + "-" + std::to_string(++counter);
}

} // namespace korvel::test
