// The sign of life of a slow query: on a terminal only, and only once the
// wait is long enough to be noticed.
#include "tools/korvel-cli/Spinner.h"

#include <gtest/gtest.h>

#include <vector>

using namespace korvel::cli;

namespace {

TEST(Spinner, TurnsOnATerminalAfterAMomentAndLeavesAClearLine)
{
    std::vector<std::string> writes;
    Spinner spinner([&](const std::string& text) { writes.push_back(text); }, true, "waiting",
                    1000);
    spinner.Tick(1100);
    EXPECT_TRUE(writes.empty()) << "a quick answer needs no sign";
    spinner.Tick(1400);
    spinner.Tick(2600);
    spinner.Tick(2700);
    spinner.Tick(2800);
    spinner.Tick(12000);
    spinner.Clear();
    spinner.Clear();
    ASSERT_EQ(writes.size(), 6u);
    EXPECT_EQ(writes[0], "\r| waiting (0 s)");
    EXPECT_EQ(writes[1], "\r/ waiting (1 s)");
    EXPECT_EQ(writes[2], "\r- waiting (1 s)");
    EXPECT_EQ(writes[3], "\r\\ waiting (1 s)");
    EXPECT_EQ(writes[4], "\r| waiting (11 s)");
    EXPECT_EQ(writes[5], "\r" + std::string(16, ' ') + "\r");
}

TEST(Spinner, WritesNothingWhenNotOnATerminal)
{
    std::vector<std::string> writes;
    Spinner spinner([&](const std::string& text) { writes.push_back(text); }, false, "waiting", 0);
    for (uint64_t now = 0; now < 60000; now += 100)
        spinner.Tick(now);
    spinner.Clear();
    EXPECT_TRUE(writes.empty());
}

} // namespace
