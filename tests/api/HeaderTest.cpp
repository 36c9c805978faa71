// The public headers: the status codes as C and C++ spell them, the name
// table both share, and the function-pointer types of the exports. The C
// side is HeaderAsC.c, compiled as strict ISO C.
#include "api/korvel.h"
#include "api/korvel_status.h"
#include "base/WsStatus.h"
#include "tools/host/KorvelLibrary.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <type_traits>

extern "C" {
size_t HeaderAsCCodeCount(void);
uint32_t HeaderAsCCode(size_t index, const char** name);
const char* HeaderAsCStatusMeaning(uint32_t status);
int HeaderAsCResolveAll(HMODULE module);
uint32_t HeaderAsCOpenAndClose(HMODULE module);
}

namespace {

// Each pointer type matches its export's declaration exactly.
#define KORVEL_EXPORT(name) static_assert(std::is_same_v<PFN_##name, decltype(&::name)>);
#include "tests/api/ExportList.h"
#undef KORVEL_EXPORT

// The library raises the very codes the public header promises to hosts.
#define KORVEL_STATUS(name) static_assert(uint32_t(::name) == uint32_t(korvel::name));
#include "tests/api/StatusList.h"
#undef KORVEL_STATUS

TEST(Header, CAndCppGiveEveryNameTheSameCodeAndMeaning)
{
    ASSERT_EQ(HeaderAsCCodeCount(), 55u);
    std::set<uint32_t> codes;
    std::set<std::string> meanings;
    for (size_t i = 0; i < HeaderAsCCodeCount(); ++i) {
        const char* name = nullptr;
        const uint32_t code = HeaderAsCCode(i, &name);
        EXPECT_TRUE(codes.insert(code).second) << name << " repeats a code";
        // The C++ build of the table is keyed by the enumerators.
        ASSERT_NE(KorvelStatusName(code), nullptr) << name;
        EXPECT_STREQ(KorvelStatusName(code), name);
        ASSERT_NE(KorvelStatusMeaning(code), nullptr) << name;
        EXPECT_STREQ(HeaderAsCStatusMeaning(code), KorvelStatusMeaning(code)) << name;
        EXPECT_TRUE(meanings.insert(KorvelStatusMeaning(code)).second)
            << name << " repeats a meaning";
    }
}

TEST(Header, CodesTheLibraryDoesNotDefineHaveNoName)
{
    for (const uint32_t code : {0x80002017u, 0x12345678u, 0x40002006u, 0xFFFFFFFFu}) {
        EXPECT_EQ(KorvelStatusLookup(code), nullptr) << std::hex << code;
        EXPECT_EQ(KorvelStatusName(code), nullptr) << std::hex << code;
        EXPECT_EQ(HeaderAsCStatusMeaning(code), nullptr) << std::hex << code;
    }
}

TEST(Header, ACHostReachesEveryExportThroughItsPointerType)
{
    const korvel::host::KorvelLibrary korvel;
    EXPECT_EQ(HeaderAsCResolveAll(korvel.Module()), 50);
    EXPECT_EQ(HeaderAsCOpenAndClose(korvel.Module()), 0u);
}

} // namespace
