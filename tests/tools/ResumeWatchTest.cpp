// What korvel-cli concludes from a file download's figures about the partial
// file it started with.
#include "tools/korvel-cli/ResumeWatch.h"

#include "api/korvel.h"

#include <gtest/gtest.h>

#include <vector>

using namespace korvel::cli;
using Finding = ResumeWatch::Finding;

namespace {

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
