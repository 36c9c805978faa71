#include "tools/korvel-cli/Console.h"

#include "tools/korvel-cli/Text.h"

#include <algorithm>
#include <string>

namespace korvel::cli {

namespace {

bool IsConsole(HANDLE handle)
{
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

} // namespace

ConsoleStream::ConsoleStream(DWORD standardHandle)
    : handle_(GetStdHandle(standardHandle)), terminal_(IsConsole(handle_))
{
}

void ConsoleStream::Write(std::string_view text) const
{
    if (terminal_) {
        WriteToConsole(text);
        return;
    }
    std::string converted;
    converted.reserve(text.size() + text.size() / 16);
    for (const char c : text) {
        if (c == '\n')
            converted += '\r';
        converted += c;
    }
    WriteToFile(converted);
}

void ConsoleStream::WriteBytes(std::string_view bytes) const
{
    if (terminal_)
        WriteToConsole(bytes);
    else
        WriteToFile(bytes);
}

void ConsoleStream::WriteToConsole(std::string_view utf8) const
{
    const std::wstring wide = FromUtf8(utf8);
    size_t done = 0;
    while (done < wide.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(wide.size() - done, 8192));
        if (!WriteConsoleW(handle_, wide.data() + done, chunk, &written, nullptr) || written == 0)
            return;
        done += written;
    }
}

// A closed pipe ends the output quietly: there is nobody left to tell.
void ConsoleStream::WriteToFile(std::string_view bytes) const
{
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
        if (!WriteFile(handle_, bytes.data() + done, chunk, &written, nullptr) || written == 0)
            return;
        done += written;
    }
}

const ConsoleStream& Out()
{
    static const ConsoleStream stream(STD_OUTPUT_HANDLE);
    return stream;
}

const ConsoleStream& Err()
{
    static const ConsoleStream stream(STD_ERROR_HANDLE);
    return stream;
}

} // namespace korvel::cli
