#include "base/FileWriter.h"

namespace korvel {

namespace {

bool WriteBytes(HANDLE file, const void* data, DWORD size)
{
    DWORD written = 0;
    return WriteFile(file, data, size, &written, nullptr) != FALSE;
}

} // namespace

FileWriter::FileWriter(const WsString& path) : path_(path) {}

FileWriter::~FileWriter()
{
    CloseHandleIfOpen();
}

bool FileWriter::Open(bool append)
{
    CloseHandleIfOpen();
    handle_ = CreateFileW(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                          nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        return true;
    }
    static const unsigned char byteOrderMark[] = {0xFF, 0xFE};
    WriteBytes(handle_, byteOrderMark, sizeof byteOrderMark);
    return true;
}

void FileWriter::Close()
{
    CloseHandleIfOpen();
}

bool FileWriter::WriteText(const WsString& text)
{
    if (!IsOpen()) {
        return false;
    }
    const WsString line = text + L"\n";
    const DWORD size = static_cast<DWORD>(line.size() * sizeof(wchar_t));
    if (!WriteBytes(handle_, line.data(), size)) {
        return false;
    }
    FlushFileBuffers(handle_);
    return true;
}

void FileWriter::CloseHandleIfOpen()
{
    if (IsOpen()) {
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
}

} // namespace korvel
