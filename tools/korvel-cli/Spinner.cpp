#include "tools/korvel-cli/Spinner.h"

#include <utility>

namespace korvel::cli {

namespace {

// An answer within this time needs no sign of life.
constexpr uint64_t kQuietMs = 300;
constexpr char kFrames[] = {'|', '/', '-', '\\'};

} // namespace

Spinner::Spinner(Writer writer, bool terminal, std::string label, uint64_t startMs)
    : write_(std::move(writer)), terminal_(terminal), label_(std::move(label)), startMs_(startMs)
{
}

void Spinner::Tick(uint64_t nowMs)
{
    if (!terminal_ || nowMs - startMs_ < kQuietMs)
        return;
    const std::string line = std::string(1, kFrames[frame_++ % sizeof kFrames]) + " " + label_ +
                             " (" + std::to_string((nowMs - startMs_) / 1000) + " s)";
    write_("\r" + line);
    drawnWidth_ = line.size();
}

void Spinner::Clear()
{
    if (drawnWidth_ == 0)
        return;
    write_("\r" + std::string(drawnWidth_, ' ') + "\r");
    drawnWidth_ = 0;
}

} // namespace korvel::cli
