#pragma once

#include <memory>
#include <string>

namespace korvel {

// A ZIP archive opened for extraction.
class ZipArchive {
public:
    ZipArchive() = default;
    ~ZipArchive() = default;
    ZipArchive(const ZipArchive&) = delete;
    ZipArchive& operator=(const ZipArchive&) = delete;

    // Closes any archive opened before. False when the file is missing or is no ZIP archive.
    bool Open(const std::wstring& path);
    void Close();
    bool IsOpen() const { return archive_ != nullptr; }

    // Writes every entry below the folder, keeping the folders of the entries' names; the folder
    // and its parents are created when missing, and files already there are replaced. All names
    // are checked before anything is written: one that could resolve outside the folder (absolute,
    // with a drive letter or stream colon, with a ".." component, a device name) fails the whole
    // extraction with nothing written. Encrypted entries, entries whose data does not match the
    // recorded size and CRC-32, and any read or write error also give false; the file of a failed
    // entry is deleted, files of earlier entries stay.
    bool ExtractAll(const std::wstring& folder);

private:
    struct Closer {
        void operator()(void* archive) const;
    };
    // minizip's unzFile.
    std::unique_ptr<void, Closer> archive_;
};

} // namespace korvel
