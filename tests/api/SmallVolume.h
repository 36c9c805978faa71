#pragma once

// The volume of the tests of a full disk (ctest's fixture "small_volume"): the
// host's temporary folder moved onto it, and a watch of its free space and of
// the process's commit while the library works on it.
#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

namespace korvel::test {

// A folder of the small volume, made the process's TMP and TEMP; empty when
// KORVEL_SMALL_VOLUME names no volume.
inline std::wstring TempOnSmallVolume(const std::wstring& name)
{
    const wchar_t* volume = _wgetenv(L"KORVEL_SMALL_VOLUME");
    if (volume == nullptr)
        return L"";
    std::wstring folder = volume + (L"\\" + name);
    std::replace(folder.begin(), folder.end(), L'/', L'\\');
    const bool made =
        CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
    if (!made || !SetEnvironmentVariableW(L"TMP", folder.c_str()) ||
        !SetEnvironmentVariableW(L"TEMP", folder.c_str()))
        return L"";
    return folder;
}

// The lowest free space of a folder's volume and the highest commit of the
// process, read every millisecond or so from the watch's making to Stop.
class VolumeWatch {
public:
    explicit VolumeWatch(const std::wstring& folder) : folder_(folder)
    {
        ULARGE_INTEGER size{};
        GetDiskFreeSpaceExW(folder_.c_str(), nullptr, &size, nullptr);
        reserve_ = std::min<uint64_t>(size.QuadPart / 20, 1ull << 30);
        before_ = lowest_ = FreeBytes();
        thread_ = std::thread([this] {
            for (int i = 0; i < 100000 && !done_; ++i, Sleep(1))
                Sample();
        });
    }
    ~VolumeWatch() { Stop(); }
    VolumeWatch(const VolumeWatch&) = delete;
    VolumeWatch& operator=(const VolumeWatch&) = delete;

    void Stop()
    {
        if (!thread_.joinable())
            return;
        done_ = true;
        thread_.join();
        Sample();
    }

    // What every write of the library leaves free on the volume.
    uint64_t Reserve() const { return reserve_; }
    uint64_t Before() const { return before_; }
    uint64_t Lowest() const { return lowest_; }
    uint64_t HighestCommit() const { return highestCommit_; }

private:
    uint64_t FreeBytes() const
    {
        ULARGE_INTEGER free{};
        GetDiskFreeSpaceExW(folder_.c_str(), &free, nullptr, nullptr);
        return free.QuadPart;
    }

    // Wine reports the current commit as its peak: both are read, every time.
    void Sample()
    {
        lowest_ = std::min<uint64_t>(lowest_, FreeBytes());
        PROCESS_MEMORY_COUNTERS memory{};
        GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
        highestCommit_ =
            std::max<uint64_t>({highestCommit_, memory.PagefileUsage, memory.PeakPagefileUsage});
    }

    const std::wstring folder_;
    uint64_t reserve_ = 0;
    uint64_t before_ = 0;
    std::atomic<uint64_t> lowest_{0};
    std::atomic<uint64_t> highestCommit_{0};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

} // namespace korvel::test
