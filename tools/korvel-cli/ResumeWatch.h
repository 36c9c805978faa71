#pragma once

#include <cstdint>

namespace korvel::cli {

// Tells, from the figures a file download reports, whether the library
// continued the partial file it found or wrote the file again from byte 0:
// continuing, the byte count starts from the partial file's size; writing
// anew, it starts from 0. Only figures taken while data arrives, or at the
// end, count: before the answer the counters belong to a transfer that has
// read nothing yet.
class ResumeWatch {
public:
    enum class Finding {
        None,
        Continued,    // the first data came after the partial file's bytes
        Restarted,    // the file is being written again from byte 0
        AlreadyWhole, // the partial file held the whole answer; nothing was read
    };

    explicit ResumeWatch(uint64_t partialBytes) : partialBytes_(partialBytes) {}

    // The finding the first figures that settle it establish, once; None at
    // every other call, and always when there was no partial file.
    Finding Observe(uint32_t state, uint64_t received, uint64_t total);
    Finding Result() const { return finding_; }

private:
    uint64_t partialBytes_;
    Finding finding_ = Finding::None;
};

} // namespace korvel::cli
