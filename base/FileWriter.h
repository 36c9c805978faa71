#pragma once

#include "base/KernelHandle.h"
#include "base/WsString.h"

#include <windows.h>

#include <memory>

namespace korvel {

// Appends UTF-16 lines to one file. Every line goes out in a single write on a handle opened for
// appending, so lines of other processes sharing the file land whole at its end. Writes from this
// process are serialised as well: Wine's append-only handles do not append atomically, and lines
// written by several threads at once overwrite one another there. The lock is held for the write
// only, never across the flush that follows it.
class FileWriter {
public:
    explicit FileWriter(const WsString& path);
    virtual ~FileWriter() = default;

    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // With append true an existing file is kept, otherwise it is replaced. A file this call
    // creates starts with the UTF-16LE byte order mark; an existing one gets none.
    virtual bool Open(bool append);
    virtual void Close();

    // Writes the text and a line feed, and flushes them to disk when the write succeeded.
    bool WriteText(const WsString& text);

private:
    WsString path_;
    SRWLOCK fileLock_ = SRWLOCK_INIT;
    // Shared with the writers still flushing through it: a Close meanwhile leaves the last of them
    // to close the handle.
    std::shared_ptr<const FileHandle> file_;
};

} // namespace korvel
