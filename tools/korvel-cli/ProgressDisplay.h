#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace korvel::cli {

// What a download reports at one poll. The file download knows bytes; the
// download kept for installing knows only a fraction, and only when the
// server announced the size.
struct ProgressSample {
    std::optional<uint64_t> received;
    std::optional<uint64_t> total;  // bytes announced, when known
    std::optional<double> fraction; // 0.0 to 1.0, when known

    static ProgressSample Bytes(uint64_t received, uint64_t total);
    static ProgressSample Fraction(std::optional<double> fraction);
};

// Shows a download's progress: on a terminal one bar redrawn in place
// (percentage, bytes, rate, time left); elsewhere plain lines, one per 10 %
// when the size is known and at most one per second when it is not, so
// that logs stay short.
class ProgressDisplay {
public:
    using Writer = std::function<void(const std::string&)>;

    ProgressDisplay(Writer writer, bool terminal);

    void Update(const ProgressSample& sample, uint64_t nowMs);
    // Shows the final state and ends the bar's line.
    void Finish(const ProgressSample& sample, uint64_t nowMs);
    // Ends the bar's line as it is, so that a message can follow.
    void Interrupt();

    // Bytes per second over the last few seconds, when enough is known.
    std::optional<double> Rate() const;

private:
    void Record(const ProgressSample& sample, uint64_t nowMs);
    std::optional<uint64_t> SecondsLeft(const ProgressSample& sample) const;
    std::string Figures(const ProgressSample& sample, bool terminal) const;
    void Draw(const ProgressSample& sample);
    void PrintLineIfDue(const ProgressSample& sample, uint64_t nowMs, bool final);

    Writer write_;
    bool terminal_;
    // (time in ms, bytes or fraction) over the rate window, oldest first.
    std::deque<std::pair<uint64_t, double>> history_;
    bool measuresBytes_ = true;
    size_t drawnWidth_ = 0;
    int printedDecile_ = 0;
    std::optional<uint64_t> lastLineMs_;
    bool finished_ = false;
};

} // namespace korvel::cli
