#pragma once

#include <windows.h>

#include <string_view>

namespace korvel::cli {

// Standard output or error. On a console, text goes through WriteConsoleW so
// that any character shows; elsewhere (a pipe or a file) it is written as
// UTF-8 with Windows line ends.
class ConsoleStream {
public:
    explicit ConsoleStream(DWORD standardHandle);

    // True when the stream is a console, where progress is redrawn in place.
    bool IsTerminal() const { return terminal_; }

    // UTF-8 text; "\n" becomes "\r\n" when not on a console.
    void Write(std::string_view text) const;
    // Bytes as they are, for output a script reads back exactly.
    void WriteBytes(std::string_view bytes) const;

private:
    void WriteToConsole(std::string_view utf8) const;
    void WriteToFile(std::string_view bytes) const;

    HANDLE handle_;
    bool terminal_;
};

const ConsoleStream& Out();
const ConsoleStream& Err();

} // namespace korvel::cli
