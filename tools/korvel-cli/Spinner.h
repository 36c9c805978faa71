#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace korvel::cli {

// Shows that the program waits for the server: on a terminal a turning bar
// and the seconds waited, redrawn in place, once the wait has lasted long
// enough to be noticed; elsewhere nothing, so that piped output stays
// exactly the result.
class Spinner {
public:
    using Writer = std::function<void(const std::string&)>;

    Spinner(Writer writer, bool terminal, std::string label, uint64_t startMs);

    void Tick(uint64_t nowMs);
    // Removes the line, so that the result starts at the line's beginning.
    void Clear();

private:
    Writer write_;
    bool terminal_;
    std::string label_;
    uint64_t startMs_;
    unsigned frame_ = 0;
    size_t drawnWidth_ = 0;
};

} // namespace korvel::cli
