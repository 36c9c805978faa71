#include "base/FileWriter.h"

#include "base/SrwLockGuard.h"

namespace korvel {

namespace {

bool WriteBytes(const FileHandle& file, const void* data, DWORD size)
{
    DWORD written = 0;
    return WriteFile(file.Get(), data, size, &written, nullptr) != FALSE;
}

} // namespace

FileWriter::FileWriter(const WsString& path) : path_(path)
{
}

bool FileWriter::Open(bool append)
{
    const SrwExclusiveLock lock(fileLock_);
    file_.reset();
    FileHandle file(CreateFileW(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, append ? OPEN_ALWAYS : CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    if (!file.IsOpen()) {
        return false;
    }
    if (!existed) {
        static const unsigned char byteOrderMark[] = {0xFF, 0xFE};
        WriteBytes(file, byteOrderMark, sizeof byteOrderMark);
    }
    file_ = std::make_shared<const FileHandle>(std::move(file));
    return true;
}

void FileWriter::Close()
{
    const SrwExclusiveLock lock(fileLock_);
    file_.reset();
}

bool FileWriter::WriteText(const WsString& text)
{
    const WsString line = text + L"\n";
    const DWORD size = static_cast<DWORD>(line.size() * sizeof(wchar_t));
    std::shared_ptr<const FileHandle> file;
    {
        const SrwExclusiveLock lock(fileLock_);
        if (!file_ || !WriteBytes(*file_, line.data(), size)) {
            return false;
        }
        file = file_;
    }
    FlushFileBuffers(file->Get());
    return true;
}

} // namespace korvel
