#include "tools/korvel-cli/ProgressDisplay.h"

#include "tools/korvel-cli/Units.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace korvel::cli {

namespace {

// The rate is measured over this window: long enough to smooth bursts,
// short enough to follow a change of speed.
constexpr uint64_t kRateWindowMs = 3000;
// Below this span a rate would be mostly noise.
constexpr uint64_t kMinRateSpanMs = 250;
constexpr uint64_t kUnknownSizeLineMs = 1000;
constexpr size_t kBarWidth = 30;

} // namespace

ProgressSample ProgressSample::Bytes(uint64_t received, uint64_t total)
{
    ProgressSample sample;
    sample.received = received;
    if (total > 0) {
        sample.total = total;
        sample.fraction =
            std::clamp(static_cast<double>(received) / static_cast<double>(total), 0.0, 1.0);
    }
    return sample;
}

ProgressSample ProgressSample::Fraction(std::optional<double> fraction)
{
    ProgressSample sample;
    if (fraction)
        sample.fraction = std::clamp(*fraction, 0.0, 1.0);
    return sample;
}

ProgressDisplay::ProgressDisplay(Writer writer, bool terminal)
    : write_(std::move(writer)), terminal_(terminal)
{
}

void ProgressDisplay::Update(const ProgressSample& sample, uint64_t nowMs)
{
    Record(sample, nowMs);
    if (terminal_)
        Draw(sample);
    else
        PrintLineIfDue(sample, nowMs, false);
}

void ProgressDisplay::Finish(const ProgressSample& sample, uint64_t nowMs)
{
    Record(sample, nowMs);
    finished_ = true;
    if (terminal_) {
        Draw(sample);
        Interrupt();
    } else {
        PrintLineIfDue(sample, nowMs, true);
    }
}

void ProgressDisplay::Interrupt()
{
    if (terminal_ && drawnWidth_ > 0)
        write_("\n");
    drawnWidth_ = 0;
}

std::optional<double> ProgressDisplay::Rate() const
{
    if (!measuresBytes_ || history_.size() < 2)
        return std::nullopt;
    const uint64_t span = history_.back().first - history_.front().first;
    if (span < kMinRateSpanMs)
        return std::nullopt;
    return (history_.back().second - history_.front().second) * 1000.0 / static_cast<double>(span);
}

void ProgressDisplay::Record(const ProgressSample& sample, uint64_t nowMs)
{
    std::optional<double> value;
    if (sample.received)
        value = static_cast<double>(*sample.received);
    else if (sample.fraction)
        value = *sample.fraction;
    if (!value)
        return;
    const bool bytes = sample.received.has_value();
    if (bytes != measuresBytes_ || (!history_.empty() && *value < history_.back().second))
        history_.clear(); // a restarted transfer: earlier figures say nothing now
    measuresBytes_ = bytes;
    history_.emplace_back(nowMs, *value);
    while (history_.size() > 2 && history_[1].first + kRateWindowMs <= nowMs)
        history_.pop_front();
}

std::optional<uint64_t> ProgressDisplay::SecondsLeft(const ProgressSample& sample) const
{
    if (history_.size() < 2 || !sample.fraction || *sample.fraction >= 1.0)
        return std::nullopt;
    const uint64_t span = history_.back().first - history_.front().first;
    const double progress = history_.back().second - history_.front().second;
    if (span < kMinRateSpanMs || progress <= 0.0)
        return std::nullopt;
    double remaining = 1.0 - *sample.fraction;
    if (measuresBytes_ && sample.total && sample.received)
        remaining = static_cast<double>(*sample.total - std::min(*sample.total, *sample.received));
    const double seconds = remaining / (progress * 1000.0 / static_cast<double>(span));
    return static_cast<uint64_t>(std::ceil(std::min(seconds, 1e9)));
}

std::string ProgressDisplay::Figures(const ProgressSample& sample, bool terminal) const
{
    std::string text;
    auto add = [&text](const std::string& part) {
        if (!part.empty())
            text += (text.empty() ? "" : "  ") + part;
    };
    if (const std::optional<double> fraction = sample.fraction) {
        char percent[8];
        std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(*fraction * 100.0));
        add(percent);
    }
    if (sample.received)
        add(FormatByteCount(*sample.received) +
            (sample.total ? (terminal ? " / " : " of ") + FormatByteCount(*sample.total) : ""));
    if (const std::optional<double> rate = Rate(); rate && !finished_)
        add(FormatRate(*rate));
    if (const std::optional<uint64_t> left = SecondsLeft(sample); left && !finished_)
        add(FormatDuration(*left) + " left");
    return text;
}

void ProgressDisplay::Draw(const ProgressSample& sample)
{
    std::string line;
    if (const std::optional<double> fraction = sample.fraction) {
        const size_t filled = static_cast<size_t>(*fraction * kBarWidth);
        line = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "]  ";
    }
    line += Figures(sample, true);
    const size_t width = line.size();
    if (width < drawnWidth_)
        line += std::string(drawnWidth_ - width, ' ');
    write_("\r" + line);
    drawnWidth_ = std::max<size_t>(width, 1);
}

void ProgressDisplay::PrintLineIfDue(const ProgressSample& sample, uint64_t nowMs, bool final)
{
    bool due = false;
    if (const std::optional<double> fraction = sample.fraction) {
        const int decile = std::min(10, static_cast<int>(*fraction * 10.0));
        due = decile > printedDecile_ || (final && printedDecile_ < 10);
        if (due)
            printedDecile_ = std::max(decile, printedDecile_);
    } else {
        due = final || !lastLineMs_ || nowMs - *lastLineMs_ >= kUnknownSizeLineMs;
    }
    if (!due)
        return;
    const std::string figures = Figures(sample, false);
    if (figures.empty())
        return;
    lastLineMs_ = nowMs;
    write_("  " + figures + "\n");
}

} // namespace korvel::cli
