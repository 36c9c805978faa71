#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// A ZIP archive opened for extraction.
class ZipArchive {
public:
    // An entry of the central directory, as Open reads it.
    struct Entry;

    ZipArchive();
    ~ZipArchive();
    ZipArchive(const ZipArchive&) = delete;
    ZipArchive& operator=(const ZipArchive&) = delete;

    // Closes any archive opened before and reads the central directory, once for every use of
    // it. False when the file is missing or is no ZIP archive.
    bool Open(const std::wstring& path);
    void Close();
    bool IsOpen() const { return archive_ != nullptr; }

    // The largest uncompressed size that the central directory declares for an entry that would
    // be written to this path below the folder (Windows compares names without case); none when
    // no entry goes there or the names cannot be read.
    std::optional<std::uint64_t> DeclaredSize(const std::wstring& relativePath) const;

    // Writes every entry below the folder, keeping the folders of the entries' names; the folder
    // and its parents are created when missing (the folder itself for its owner alone, see
    // CreateOwnerOnlyFolder), and files already there are replaced. The whole central directory
    // is checked before anything is written, and one entry that fails the check fails the
    // extraction with nothing written: a name that could resolve outside the folder (absolute,
    // with a drive letter or stream colon, with a ".." component, a device name, a trailing dot
    // or blank that Windows would drop), one deeper than kMaxFolderDepth folders or whose full
    // path would not fit MAX_PATH (a folder's must leave room for an 8.3 name), an encrypted entry
    // or one of a method that cannot be read, and data that another entry's data overlaps. An
    // entry is written up to its declared size only, and each block only while the volume keeps
    // its VolumeReserve; data that does not match the declared size and CRC-32, a refused block
    // and any read or write error also give false. The file of a failed entry is deleted, files
    // of earlier entries stay.
    bool ExtractAll(const std::wstring& folder);

    static constexpr std::size_t kMaxFolderDepth = 64;

private:
    struct Closer {
        void operator()(void* archive) const;
    };
    // minizip's unzFile.
    std::unique_ptr<void, Closer> archive_;
    // Empty, and not read, when a name or an entry of the directory cannot be read.
    std::vector<Entry> entries_;
    bool entriesRead_ = false;
};

} // namespace korvel
