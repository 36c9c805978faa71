#pragma once

#include "base/WsString.h"

#include <windows.h>

namespace korvel {

// Appends UTF-16 lines to one file. Several writers may share the file: every line goes out in a
// single write on a handle opened for appending, so lines land whole at the end of the file.
class FileWriter {
public:
    explicit FileWriter(const WsString& path);
    virtual ~FileWriter();

    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // With append true an existing file is kept, otherwise it is replaced. A file this call
    // creates starts with the UTF-16LE byte order mark; an existing one gets none.
    virtual bool Open(bool append);
    virtual void Close();

    // Writes the text and a line feed, and flushes them to disk when the write succeeded.
    bool WriteText(const WsString& text);

    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    void CloseHandleIfOpen();

    WsString path_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

} // namespace korvel
