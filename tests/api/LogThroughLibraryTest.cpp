// The log as a host meets it: switched on in the registry before the library
// is loaded, closed when it is unloaded.
#include "tests/support/ScopedRegistryValue.h"
#include "tools/host/KorvelLibrary.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

using korvel::host::KorvelLibrary;
using korvel::test::ScopedRegistryValue;

namespace {

const wchar_t kTestingKey[] = L"SOFTWARE\\Talvessa\\InternalTesting";

std::wstring TempFilePath(const wchar_t* name)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring path = std::wstring(folder) + name;
    DeleteFileW(path.c_str());
    return path;
}

std::optional<std::string> ReadBytes(const std::wstring& path)
{
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    if (!file)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The log's lines without their time stamps.
std::vector<std::wstring> Messages(const std::string& bytes)
{
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    std::vector<std::wstring> lines;
    std::wistringstream stream(text);
    for (std::wstring line; std::getline(stream, line);) {
        const auto end = line.find(L"]: ");
        lines.push_back(line.rfind(L"[", 0) == 0 && end != std::wstring::npos ? line.substr(end + 3)
                                                                              : line);
    }
    return lines;
}

} // namespace

TEST(LogThroughLibrary, UnloadClosesTheManagerBeforeItsSessions)
{
    const std::wstring path = TempFilePath(L"korvel-unload.log");
    {
        ScopedRegistryValue value(kTestingKey, L"vostrellogging", path);
        KorvelLibrary korvel;
        uint32_t id = 0;
        korvel->WsUdOpen(L"host", L"1", L"", L"", L"", &id);
        korvel->WsUdOpen(L"host", L"1", L"", L"", L"", &id);
        korvel->WsUdClose(1);
    }
    const auto bytes = ReadBytes(path);
    ASSERT_TRUE(bytes.has_value());
    ASSERT_GE(bytes->size(), 2u);
    EXPECT_EQ(bytes->substr(0, 2), "\xFF\xFE");
    const std::vector<std::wstring> expected = {
        L"WsHttp Library",
        std::wstring(48, L'-'),
        L"<WsUpdatesManager::WsUpdatesManager>",
        L"<WsUpdatesSession::WsUpdatesSession>",
        L"<WsUpdatesSession::WsUpdatesSession>",
        L"</WsUpdatesSession::~WsUpdatesSession>",
        L"</WsUpdatesManager::WsUpdatesManager>",
        L"</WsUpdatesSession::~WsUpdatesSession>",
        std::wstring(48, L'-'),
        L"***SUMMARY***",
        std::wstring(48, L'-'),
    };
    EXPECT_EQ(Messages(*bytes), expected);
    DeleteFileW(path.c_str());
}
