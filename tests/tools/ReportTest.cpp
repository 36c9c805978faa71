// How korvel-cli writes a status: eight hexadecimal digits and the name.
#include "tools/korvel-cli/Report.h"

#include "api/korvel.h"

#include <gtest/gtest.h>

using namespace korvel::cli;

namespace {

TEST(Report, AStatusIsItsHexadecimalCodeAndItsName)
{
    const struct {
        uint32_t status;
        const char* text;
    } cases[] = {
        {kStatusNotFound, "0x80002007 kStatusNotFound"},
        {kStatusServerError, "0x8000200A kStatusServerError"},
        {kStatusSuccess, "0x00000000 kStatusSuccess"},
        {kStatusTransferComplete, "0x40002005 kStatusTransferComplete"},
        {0x12345678u, "0x12345678 unknown status"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DescribeStatus(c.status), c.text);
}

} // namespace
