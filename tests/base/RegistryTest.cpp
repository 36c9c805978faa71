#include "base/Registry.h"
#include "tests/support/WsStringPrinter.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace korvel {
namespace {

// A key of its own under HKEY_LOCAL_MACHINE, deleted with all its values afterwards.
class RegistryTest : public ::testing::Test {
protected:
    RegistryTest()
    {
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key_, nullptr);
    }
    ~RegistryTest() override
    {
        RegCloseKey(key_);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (CompanyKeyPath() + L"\\KorvelTests").c_str());
    }

    const WsString path_ = CompanyKeyPath() + L"\\KorvelTests\\Registry";
    HKEY key_ = nullptr;
};

TEST_F(RegistryTest, AMissingKeyOrValueLeavesTheOutputUnchanged)
{
    const WsString missingKey = path_ + L"\\Missing";
    WsString text(L"preset");
    EXPECT_FALSE(RegistryValueExists(missingKey, L"Value"));
    EXPECT_FALSE(ReadRegistryString(missingKey, L"Value", text));
    EXPECT_EQ(text, L"preset");

    EXPECT_FALSE(RegistryValueExists(path_, L"Value"));
    EXPECT_TRUE(ReadRegistryString(path_, L"Value", text));
    EXPECT_EQ(text, L"preset");
}

TEST_F(RegistryTest, AnyValueIsTextUpToItsFirstNulAndWithinItsSize)
{
    std::vector<std::tuple<DWORD, std::string, std::wstring>> cases = {
        {REG_DWORD, std::string("B\0A\0", 4), L"BA"},
        {REG_BINARY, std::string("A\0B\0C", 5), L"AB"},
        {REG_BINARY, std::string("A\0\0\0B\0", 6), L"A"},
        {REG_MULTI_SZ, std::string("o\0n\0\0\0t\0\0\0\0\0", 12), L"on"},
        {REG_BINARY, std::string("Z", 1), L""},
        {REG_BINARY, std::string(), L"preset"}};
    // Strings around the sizes of a first read buffer.
    for (std::size_t length : {0u, 1u, 511u, 512u, 1500u, 5000u}) {
        std::wstring text;
        for (std::size_t i = 0; i < length; ++i)
            text += static_cast<wchar_t>(L'a' + i % 26);
        cases.emplace_back(
            REG_SZ, std::string(reinterpret_cast<const char*>(text.c_str()), (length + 1) * 2),
            text);
    }
    for (const auto& [type, bytes, expected] : cases) {
        RegSetValueExW(key_, L"Value", 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                       bytes.size());
        WsString text(L"preset");
        EXPECT_TRUE(RegistryValueExists(path_, L"Value"));
        EXPECT_TRUE(ReadRegistryString(path_, L"Value", text));
        EXPECT_EQ(text, expected) << bytes.size() << " bytes of type " << type;
    }
}

} // namespace
} // namespace korvel
