#include "archive/ZipArchive.h"

#include "base/KernelHandle.h"
#include "base/OwnerOnlyFolder.h"
#include "base/TextUtils.h"
#include "base/VolumeReserve.h"

#include <windows.h>

#include <minizip/unzip.h>
// iowin32.h relies on the declarations of unzip.h.
#include <minizip/iowin32.h>

#include <algorithm>
#include <string_view>
#include <vector>

namespace korvel {
namespace {

constexpr std::size_t kBlockSize = 64 * 1024;
constexpr uLong kFlagEncrypted = 0x0001;
constexpr uLong kFlagUtf8Name = 0x0800;
// The library opens paths without the \\?\ prefix: a file's full path must fit MAX_PATH with its
// terminator, and CreateDirectoryW wants room left in a folder's for an 8.3 name.
constexpr std::size_t kMaxFilePath = MAX_PATH - 1;
constexpr std::size_t kMaxFolderPath = MAX_PATH - 12 - 1;

} // namespace

struct ZipArchive::Entry {
    unz64_file_pos position{};
    // Components joined with backslashes; empty for a folder entry naming the root itself.
    std::wstring relativePath;
    bool isFolder = false;
    ZPOS64_T size = 0;
    // Where the entry's data lies in the archive file.
    ZPOS64_T dataStart = 0;
    ZPOS64_T compressedSize = 0;
};

namespace {

using Entry = ZipArchive::Entry;

// The entry of the archive that is open for reading.
class CurrentEntry {
public:
    explicit CurrentEntry(unzFile archive)
        : archive_(archive), open_(unzOpenCurrentFile(archive) == UNZ_OK)
    {
    }
    ~CurrentEntry() { Close(); }
    CurrentEntry(const CurrentEntry&) = delete;
    CurrentEntry& operator=(const CurrentEntry&) = delete;

    bool IsOpen() const { return open_; }

    // minizip compares the CRC-32 here, though only when the whole recorded size was read.
    bool Close()
    {
        if (!open_)
            return true;
        open_ = false;
        return unzCloseCurrentFile(archive_) == UNZ_OK;
    }

private:
    unzFile archive_;
    bool open_;
};

bool IsSeparator(wchar_t c)
{
    return c == L'/' || c == L'\\';
}

// Names are UTF-8 when the entry says so and in the OEM code page otherwise, as Windows archivers
// write them.
bool DecodeName(const std::string& raw, uLong flags, std::wstring& name)
{
    name.clear();
    if (raw.empty())
        return true;
    const UINT codePage = (flags & kFlagUtf8Name) != 0 ? CP_UTF8 : CP_OEMCP;
    const DWORD strictness = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    const int rawLength = static_cast<int>(raw.size());
    const int length = MultiByteToWideChar(codePage, strictness, raw.data(), rawLength, nullptr, 0);
    if (length <= 0)
        return false;
    name.resize(static_cast<std::size_t>(length));
    return MultiByteToWideChar(codePage, strictness, raw.data(), rawLength, name.data(), length) ==
           length;
}

// Windows opens the device for these names in any folder and with any extension.
bool IsDeviceName(const std::wstring& component)
{
    WsString stem(component.substr(0, component.find(L'.')));
    stem.erase(stem.find_last_not_of(L' ') + 1);
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (EqualsNoCase(stem, device))
            return true;
    }
    const bool numbered = EqualsNoCase(stem, L"COM", 3) || EqualsNoCase(stem, L"LPT", 3);
    return numbered && stem.size() == 4 && stem[3] >= L'1' && stem[3] <= L'9';
}

bool IsSafeComponent(const std::wstring& component)
{
    // Windows drops trailing dots and blanks, so "...", ". ." and the like act as ".." or ".", and
    // "pakord.id." would land on another entry's file.
    if (component.back() == L'.' || component.back() == L' ')
        return false;
    constexpr std::wstring_view kForbidden = L"<>:\"|?*";
    for (const wchar_t c : component) {
        if (c < 0x20 || kForbidden.find(c) != std::wstring_view::npos)
            return false;
    }
    return !IsDeviceName(component);
}

// Turns an entry name into a path relative to the target folder, or refuses it. A leading
// separator makes the name absolute (or a network path); a colon, which a drive letter needs, is
// refused among the characters Windows does not allow in names. Empty and "." components are
// dropped.
bool ToRelativePath(const std::wstring& name, std::wstring& relative)
{
    relative.clear();
    if (name.empty() || IsSeparator(name.front()))
        return false;
    std::size_t start = 0;
    while (start < name.size()) {
        std::size_t end = start;
        while (end < name.size() && !IsSeparator(name[end]))
            ++end;
        const std::wstring component = name.substr(start, end - start);
        if (!component.empty() && component != L".") {
            if (!IsSafeComponent(component))
                return false;
            if (!relative.empty())
                relative += L'\\';
            relative += component;
        }
        start = end + 1;
    }
    return true;
}

bool ReadCurrentEntry(unzFile archive, Entry& entry)
{
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
        return false;
    std::string rawName(info.size_filename, '\0');
    if (unzGetCurrentFileInfo64(archive, &info, rawName.data(), rawName.size(), nullptr, 0, nullptr,
                                0) != UNZ_OK)
        return false;
    std::wstring name;
    if ((info.flag & kFlagEncrypted) != 0 || !DecodeName(rawName, info.flag, name))
        return false;
    entry.isFolder = !name.empty() && IsSeparator(name.back());
    if (!ToRelativePath(name, entry.relativePath))
        return false;
    if (!entry.isFolder && entry.relativePath.empty())
        return false;
    entry.size = info.uncompressed_size;
    entry.compressedSize = info.compressed_size;
    if (unzGetFilePos64(archive, &entry.position) != UNZ_OK)
        return false;
    // Opened raw, the entry is only located: its local header is read and checked against the
    // central directory, and an unknown method is refused.
    int method = 0;
    int level = 0;
    if (unzOpenCurrentFile2(archive, &method, &level, 1) != UNZ_OK)
        return false;
    entry.dataStart = unzGetCurrentFileZStreamPos64(archive);
    return unzCloseCurrentFile(archive) == UNZ_OK;
}

bool ReadEntries(unzFile archive, std::vector<Entry>& entries)
{
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(archive, &global) != UNZ_OK)
        return false;
    if (global.number_entry == 0)
        return true;
    if (unzGoToFirstFile(archive) != UNZ_OK)
        return false;
    for (ZPOS64_T index = 0; index < global.number_entry; ++index) {
        if (index > 0 && unzGoToNextFile(archive) != UNZ_OK)
            return false;
        Entry entry;
        if (!ReadCurrentEntry(archive, entry))
            return false;
        entries.push_back(std::move(entry));
    }
    return true;
}

bool IsFolder(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Creates the folder and whichever of its parents are missing, outermost first; the folder itself
// is made for its owner alone when asked.
bool CreateFolderTree(const std::wstring& path, bool ownerOnly = false)
{
    std::vector<std::size_t> missing;
    for (std::size_t end = path.size(); !IsFolder(path.substr(0, end));) {
        missing.push_back(end);
        end = path.find_last_of(L"/\\", end - 1);
        if (end == std::wstring::npos || end == 0)
            return false;
    }
    for (auto end = missing.rbegin(); end != missing.rend(); ++end) {
        const std::wstring folder = path.substr(0, *end);
        const bool made = ownerOnly && *end == path.size()
                              ? CreateOwnerOnlyFolder(folder)
                              : CreateDirectoryW(folder.c_str(), nullptr);
        if (!made && !IsFolder(folder))
            return false;
    }
    return true;
}

std::wstring Join(const std::wstring& folder, const std::wstring& relative)
{
    if (relative.empty())
        return folder;
    if (IsSeparator(folder.back()))
        return folder + relative;
    return folder + L'\\' + relative;
}

std::wstring ParentOf(const std::wstring& relative)
{
    const std::size_t cut = relative.rfind(L'\\');
    return cut == std::wstring::npos ? std::wstring() : relative.substr(0, cut);
}

bool WriteEntryFile(unzFile archive, const Entry& entry, const std::wstring& path,
                    std::vector<char>& block, VolumeReserve& reserve)
{
    CurrentEntry current(archive);
    if (!current.IsOpen())
        return false;
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsOpen())
        return false;
    ZPOS64_T written = 0;
    // Every pass that does not leave writes at least one byte, and no more than the recorded size
    // is accepted.
    for (;;) {
        const int read =
            unzReadCurrentFile(archive, block.data(), static_cast<unsigned>(block.size()));
        if (read < 0)
            return false;
        if (read == 0)
            break;
        const auto size = static_cast<std::size_t>(read);
        written += size;
        if (written > entry.size ||
            reserve.Write(file.Get(), block.data(), static_cast<DWORD>(size)) !=
                WriteOutcome::kWritten)
            return false;
    }
    // minizip can end a damaged entry early and still report success; it compares the CRC-32
    // only once the recorded size has been read, which the size test makes sure of.
    return current.Close() && written == entry.size;
}

bool ExtractEntry(unzFile archive, const Entry& entry, const std::wstring& root,
                  std::vector<char>& block, VolumeReserve& reserve)
{
    const std::wstring path = Join(root, entry.relativePath);
    if (entry.isFolder)
        return CreateFolderTree(path);
    if (!CreateFolderTree(Join(root, ParentOf(entry.relativePath))) ||
        unzGoToFilePos64(archive, &entry.position) != UNZ_OK)
        return false;
    if (WriteEntryFile(archive, entry, path, block, reserve))
        return true;
    DeleteFileW(path.c_str());
    return false;
}

bool Fits(const Entry& entry, const std::wstring& root)
{
    const std::wstring& relative = entry.relativePath;
    const std::size_t separators = std::count(relative.begin(), relative.end(), L'\\');
    const std::size_t depth = separators + (entry.isFolder && !relative.empty());
    const std::size_t folderPath =
        Join(root, entry.isFolder ? relative : ParentOf(relative)).size();
    return depth <= ZipArchive::kMaxFolderDepth && folderPath <= kMaxFolderPath &&
           (entry.isFolder || Join(root, relative).size() <= kMaxFilePath);
}

// Entries that share data would let a small archive stand for any number of copies of it.
bool DataOverlaps(const std::vector<Entry>& entries)
{
    std::vector<std::pair<ZPOS64_T, ZPOS64_T>> ranges;
    for (const Entry& entry : entries)
        ranges.emplace_back(entry.dataStart, entry.dataStart + entry.compressedSize);
    std::sort(ranges.begin(), ranges.end());
    for (std::size_t index = 1; index < ranges.size(); ++index) {
        if (ranges[index].first == ranges[index - 1].first ||
            ranges[index].first < ranges[index - 1].second)
            return true;
    }
    return false;
}

} // namespace

void ZipArchive::Closer::operator()(void* archive) const
{
    unzClose(archive);
}

ZipArchive::ZipArchive() = default;
ZipArchive::~ZipArchive() = default;

bool ZipArchive::Open(const std::wstring& path)
{
    Close();
    zlib_filefunc64_def functions{};
    fill_win32_filefunc64W(&functions);
    archive_.reset(unzOpen2_64(path.c_str(), &functions));
    if (!IsOpen())
        return false;
    entriesRead_ = ReadEntries(archive_.get(), entries_);
    if (!entriesRead_)
        entries_.clear();
    return true;
}

void ZipArchive::Close()
{
    archive_.reset();
    entries_.clear();
    entriesRead_ = false;
}

std::optional<std::uint64_t> ZipArchive::DeclaredSize(const std::wstring& relativePath) const
{
    if (!entriesRead_)
        return std::nullopt;
    std::optional<std::uint64_t> largest;
    for (const Entry& entry : entries_) {
        const std::wstring& name = entry.relativePath;
        if (CompareStringOrdinal(name.c_str(), static_cast<int>(name.size()), relativePath.c_str(),
                                 static_cast<int>(relativePath.size()), TRUE) == CSTR_EQUAL)
            largest = std::max<std::uint64_t>(largest.value_or(0), entry.size);
    }
    return largest;
}

bool ZipArchive::ExtractAll(const std::wstring& folder)
{
    unzFile archive = archive_.get();
    if (archive == nullptr || folder.empty())
        return false;
    std::wstring root = folder;
    while (root.size() > 1 && IsSeparator(root.back()))
        root.pop_back();
    if (!entriesRead_ || DataOverlaps(entries_) ||
        !std::all_of(entries_.begin(), entries_.end(),
                     [&root](const Entry& entry) { return Fits(entry, root); }))
        return false;
    if (!CreateFolderTree(root, true))
        return false;
    std::vector<char> block(kBlockSize);
    VolumeReserve reserve(root + L"\\");
    for (const Entry& entry : entries_) {
        if (!ExtractEntry(archive, entry, root, block, reserve))
            return false;
    }
    return true;
}

} // namespace korvel
