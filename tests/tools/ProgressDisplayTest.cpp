// What korvel-cli makes of progress: a download's redrawn bar on a console,
// its sparse plain lines elsewhere and the figures in both; what the first
// figures tell about the partial file it started with; and the spinner of a
// slow query, on a terminal only and only once the wait is long enough to be
// noticed.
#include "tools/korvel-cli/ProgressDisplay.h"
#include "tools/korvel-cli/ResumeWatch.h"
#include "tools/korvel-cli/Spinner.h"
#include "tools/korvel-cli/Units.h"

#include "api/korvel.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

using namespace korvel::cli;
using Finding = ResumeWatch::Finding;

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

struct Capture {
    std::vector<std::string> writes;
    ProgressDisplay Display(bool terminal)
    {
        return ProgressDisplay([this](const std::string& text) { writes.push_back(text); },
                               terminal);
    }
    std::string All() const { return std::accumulate(writes.begin(), writes.end(), std::string()); }
};

TEST(ProgressDisplay, PlainLinesOnlyWhenTheNextTenPercentIsReached)
{
    Capture capture;
    ProgressDisplay display = capture.Display(false);
    const uint64_t total = 1000 * 1024;
    display.Update(ProgressSample::Bytes(0, 0), 0); // not started: size unknown yet
    uint64_t ms = 0;
    for (const uint64_t kib : {50, 120, 150, 550, 560})
        display.Update(ProgressSample::Bytes(kib * 1024, total), ms += 100);
    display.Finish(ProgressSample::Bytes(total, total), ms + 100);

    ASSERT_EQ(capture.writes.size(), 4u) << capture.All();
    EXPECT_EQ(capture.writes[0], "  0 B\n");
    EXPECT_EQ(capture.writes[1].rfind("   12%  120.0 KiB of 1000.0 KiB", 0), 0u)
        << capture.writes[1];
    EXPECT_EQ(capture.writes[2].rfind("   55%  550.0 KiB of 1000.0 KiB", 0), 0u)
        << capture.writes[2];
    EXPECT_EQ(capture.writes[3], "  100%  1000.0 KiB of 1000.0 KiB\n");
    EXPECT_EQ(capture.All().find('\r'), std::string::npos);
}

TEST(ProgressDisplay, PlainLinesOfAnUnknownSizeAtMostOncePerSecond)
{
    Capture capture;
    ProgressDisplay display = capture.Display(false);
    const uint64_t times[] = {0, 300, 900, 1000, 1999, 2100};
    uint64_t received = 0;
    for (const uint64_t t : times)
        display.Update(ProgressSample::Bytes(received += 100 * 1024, 0), t);
    display.Finish(ProgressSample::Bytes(received, 0), 2150);
    ASSERT_EQ(capture.writes.size(), 4u) << capture.All();
    EXPECT_EQ(capture.writes[0], "  100.0 KiB\n");
    EXPECT_EQ(capture.writes[1].rfind("  400.0 KiB  ", 0), 0u) << capture.writes[1];
    EXPECT_EQ(capture.writes[2].rfind("  600.0 KiB  ", 0), 0u) << capture.writes[2];
    EXPECT_EQ(capture.writes[3], "  600.0 KiB\n");
}

TEST(ProgressDisplay, RateAndTimeLeftFollowTheLastSeconds)
{
    Capture capture;
    ProgressDisplay display = capture.Display(false);
    display.Update(ProgressSample::Bytes(0, 4 * kMiB), 0);
    display.Update(ProgressSample::Bytes(kMiB / 2, 4 * kMiB), 500);
    display.Update(ProgressSample::Bytes(kMiB, 4 * kMiB), 1000);
    ASSERT_EQ(capture.writes.size(), 2u) << capture.All();
    EXPECT_EQ(capture.writes[1], "   25%  1.0 MiB of 4.0 MiB  1.0 MiB/s  0:03 left\n");
    // Samples older than the 3 s window go, but for the one that opens it:
    // 1.25 MiB in the 3.5 s since the sample at 1000 ms.
    display.Update(ProgressSample::Bytes(2 * kMiB, 4 * kMiB), 4000);
    display.Update(ProgressSample::Bytes(2 * kMiB + kMiB / 4, 4 * kMiB), 4500);
    EXPECT_NEAR(display.Rate().value_or(0), 1.25 / 3.5 * kMiB, 0.01 * kMiB);
    // A restarted transfer starts its rate afresh.
    display.Update(ProgressSample::Bytes(kMiB, 4 * kMiB), 4600);
    EXPECT_FALSE(display.Rate().has_value());
    display.Update(ProgressSample::Bytes(2 * kMiB, 4 * kMiB), 5600);
    EXPECT_NEAR(display.Rate().value_or(0), 1.0 * kMiB, 0.01 * kMiB);
}

TEST(ProgressDisplay, TheBarIsRedrawnInPlaceAndItsLineEndedOnce)
{
    Capture capture;
    ProgressDisplay display = capture.Display(true);
    display.Update(ProgressSample::Bytes(5 * kMiB, 10 * kMiB), 0);
    display.Update(ProgressSample::Bytes(6 * kMiB, 10 * kMiB), 1000);
    display.Finish(ProgressSample::Bytes(10 * kMiB, 10 * kMiB), 1500);
    ASSERT_EQ(capture.writes.size(), 4u) << capture.All();
    EXPECT_EQ(capture.writes[0],
              "\r[" + std::string(15, '#') + std::string(15, '.') + "]   50%  5.0 MiB / 10.0 MiB");
    EXPECT_EQ(capture.writes[1], "\r[" + std::string(18, '#') + std::string(12, '.') +
                                     "]   60%  6.0 MiB / 10.0 MiB  1.0 MiB/s  0:04 left");
    // The final line is shorter: blanks wipe what the longer one left.
    const std::string last = "\r[" + std::string(30, '#') + "]  100%  10.0 MiB / 10.0 MiB";
    EXPECT_EQ(capture.writes[2], last + std::string(capture.writes[1].size() - last.size(), ' '));
    EXPECT_EQ(capture.writes[3], "\n");
}

TEST(ProgressDisplay, AnInterruptedBarEndsItsLineForTheMessage)
{
    Capture terminal;
    ProgressDisplay bar = terminal.Display(true);
    bar.Interrupt();
    EXPECT_TRUE(terminal.writes.empty());
    bar.Update(ProgressSample::Bytes(1, 2), 0);
    bar.Interrupt();
    bar.Interrupt();
    EXPECT_EQ(terminal.writes.back(), "\n");
    EXPECT_EQ(terminal.writes.size(), 2u);

    Capture plain;
    ProgressDisplay lines = plain.Display(false);
    lines.Update(ProgressSample::Bytes(1, 2), 0);
    lines.Interrupt();
    EXPECT_EQ(plain.All(), "   50%  1 B of 2 B\n");
}

TEST(ProgressDisplay, AFractionAloneShowsPercentageAndTimeLeft)
{
    Capture capture;
    ProgressDisplay display = capture.Display(false);
    display.Update(ProgressSample::Fraction(0.0), 0);
    display.Update(ProgressSample::Fraction(0.2), 1000);
    display.Update(ProgressSample::Fraction(std::nullopt), 1100);
    display.Finish(ProgressSample::Fraction(1.0), 2000);
    ASSERT_EQ(capture.writes.size(), 2u) << capture.All();
    EXPECT_EQ(capture.writes[0], "   20%  0:04 left\n");
    EXPECT_EQ(capture.writes[1], "  100%\n");
}

// The units at their boundaries; everyday sizes, rates and times are in the
// lines above and in ContentAnswer.ListsEachEntryReadably.
TEST(Units, ByteCountsRatesAndDurations)
{
    EXPECT_EQ(FormatByteCount(1023), "1023 B");
    EXPECT_EQ(FormatByteCount(1024), "1.0 KiB");
    EXPECT_EQ(FormatByteCount(kMiB - 1), "1.0 MiB");
    EXPECT_EQ(FormatByteCount(5ull << 40), "5.0 TiB");
    EXPECT_EQ(FormatByteCount(5000ull << 40), "5000.0 TiB");
    EXPECT_EQ(FormatRate(1536.0), "1.5 KiB/s");
    EXPECT_EQ(FormatRate(-3.0), "0 B/s");
    EXPECT_EQ(FormatDuration(750), "12:30");
    EXPECT_EQ(FormatDuration(3723), "1:02:03");
}

TEST(Spinner, TurnsOnATerminalAfterAMomentAndLeavesAClearLine)
{
    std::vector<std::string> writes;
    const auto write = [&](const std::string& text) { writes.push_back(text); };
    Spinner quiet(write, false, "waiting", 0);
    for (uint64_t now = 0; now < 60000; now += 100)
        quiet.Tick(now);
    quiet.Clear();
    EXPECT_TRUE(writes.empty()) << "nothing but on a terminal";

    Spinner spinner(write, true, "waiting", 1000);
    spinner.Tick(1100);
    EXPECT_TRUE(writes.empty()) << "a quick answer needs no sign";
    for (const uint64_t now : {1400, 2600, 2700, 2800, 12000})
        spinner.Tick(now);
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

struct Figures {
    uint32_t state;
    uint64_t received;
    uint64_t total;
};

TEST(ResumeWatch, TheFirstFiguresWithDataDecideOnce)
{
    const struct {
        const char* what;
        uint64_t partial;
        std::vector<Figures> figures;
        Finding finding; // the one finding of the sequence
        size_t at;       // index of the figures that bring it
    } cases[] = {
        {"continued",
         1000,
         {{kStatusTransferStarted, 0, 0},
          {kStatusTransferResuming, 1000, 5000},
          {kStatusTransferReceiving, 1400, 5000},
          {kStatusTransferComplete, 5000, 5000}},
         Finding::Continued,
         2},
        {"written again: the count starts from 0",
         1000,
         {{kStatusTransferStarted, 0, 0},
          {kStatusTransferResuming, 1000, 6000},
          {kStatusTransferReceiving, 300, 5000},
          {kStatusTransferReceiving, 1200, 5000},
          {kStatusTransferComplete, 5000, 5000}},
         Finding::Restarted,
         2},
        {"a partial file longer than the answer is written again",
         9000,
         {{kStatusTransferStarted, 0, 0}, {kStatusTransferComplete, 5000, 5000}},
         Finding::Restarted,
         1},
        {"the partial file held the whole answer",
         5000,
         {{kStatusTransferStarted, 0, 0}, {kStatusTransferComplete, 5000, 5000}},
         Finding::AlreadyWhole,
         1},
        {"figures before the answer settle nothing",
         1000,
         {{kStatusTransferStarted, 0, 0},
          {kStatusTransferResuming, 1000, 5000},
          {kStatusServerUnreachable, 0, 0}},
         Finding::None,
         0},
        {"no partial file, nothing to tell",
         0,
         {{kStatusTransferReceiving, 10, 50}, {kStatusTransferComplete, 50, 50}},
         Finding::None,
         0},
    };
    for (const auto& c : cases) {
        ResumeWatch watch(c.partial);
        for (size_t i = 0; i < c.figures.size(); ++i) {
            const Figures& f = c.figures[i];
            const Finding expected =
                c.finding != Finding::None && i == c.at ? c.finding : Finding::None;
            EXPECT_EQ(watch.Observe(f.state, f.received, f.total), expected) << c.what << " " << i;
        }
        EXPECT_EQ(watch.Result(), c.finding) << c.what;
    }
}

} // namespace
