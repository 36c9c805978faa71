#include "archive/Gzip.h"

#include "base/KernelHandle.h"
#include "base/VolumeReserve.h"

#include <windows.h>

#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace korvel {
namespace {

constexpr std::size_t kBlockSize = 64 * 1024;
// zlib counts input in 32-bit units, so larger buffers are fed in pieces of this size.
constexpr std::size_t kMaxPiece = std::size_t{1} << 30;
// Adding 16 makes zlib expect the gzip wrapper and check its CRC-32 and length trailer.
constexpr int kGzipWindowBits = 16 + MAX_WBITS;

// Inflates a sequence of gzip members that arrives in pieces of any size.
class GzipInflater {
public:
    // The output block is left uninitialised: a small body touches only the
    // pages it is decoded into.
    GzipInflater() : block_(new Bytef[kBlockSize])
    {
        ready_ = inflateInit2(&stream_, kGzipWindowBits) == Z_OK;
    }
    ~GzipInflater()
    {
        if (ready_)
            inflateEnd(&stream_);
    }
    GzipInflater(const GzipInflater&) = delete;
    GzipInflater& operator=(const GzipInflater&) = delete;

    bool IsReady() const { return ready_; }

    // The input is complete only when it stopped right after the end of a member; an empty input
    // holds no member and is therefore incomplete.
    bool IsComplete() const { return memberEnded_; }

    // Hands every decoded block to sink(const char*, size_t), which returns false to stop.
    template <typename Sink> bool Decode(const char* data, std::size_t size, Sink& sink)
    {
        while (size > 0) {
            const std::size_t piece = std::min(size, kMaxPiece);
            if (!DecodePiece(data, piece, sink))
                return false;
            data += piece;
            size -= piece;
        }
        return true;
    }

private:
    template <typename Sink> bool DecodePiece(const char* data, std::size_t size, Sink& sink)
    {
        stream_.next_in = reinterpret_cast<const Bytef*>(data);
        stream_.avail_in = static_cast<uInt>(size);
        // Every pass that does not return consumes input or fills the block, so the passes are
        // bounded by the piece and by what it decodes to.
        bool pending = true;
        while (pending) {
            if (memberEnded_) {
                if (stream_.avail_in == 0)
                    return true;
                // Whatever follows a member must be another member.
                if (inflateReset(&stream_) != Z_OK)
                    return false;
                memberEnded_ = false;
            }
            stream_.next_out = block_.get();
            stream_.avail_out = static_cast<uInt>(kBlockSize);
            const int result = inflate(&stream_, Z_NO_FLUSH);
            const std::size_t produced = kBlockSize - stream_.avail_out;
            if (produced > 0 && !sink(reinterpret_cast<const char*>(block_.get()), produced))
                return false;
            if (result == Z_STREAM_END) {
                memberEnded_ = true;
                continue;
            }
            // With output room, zlib reports no progress only when it has run out of input.
            if (result == Z_BUF_ERROR)
                return stream_.avail_in == 0;
            if (result != Z_OK)
                return false;
            // A block with room left means that zlib holds no further output for this input.
            pending = stream_.avail_in > 0 || stream_.avail_out == 0;
        }
        return true;
    }

    z_stream stream_{};
    std::unique_ptr<Bytef[]> block_;
    bool ready_ = false;
    bool memberEnded_ = false;
};

GunzipResult DecodeFile(GzipInflater& inflater, HANDLE source, HANDLE target,
                        VolumeReserve& reserve, std::vector<char>& buffer,
                        const std::function<bool()>& proceed)
{
    // A block of input may decode to a thousand times its size, so the caller
    // is asked before every block written as well as every block read.
    bool stopped = false;
    WriteOutcome written = WriteOutcome::kWritten;
    auto write = [&](const char* data, std::size_t size) {
        stopped = proceed && !proceed();
        if (stopped)
            return false;
        written = reserve.Write(target, data, static_cast<DWORD>(size));
        return written == WriteOutcome::kWritten;
    };
    // Every pass that does not return reads at least one byte, so the file's end ends the loop.
    for (;;) {
        if (proceed && !proceed())
            return GunzipResult::kStopped;
        DWORD read = 0;
        if (!ReadFile(source, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
            return GunzipResult::kFileFailed;
        if (read == 0)
            return inflater.IsComplete() ? GunzipResult::kDecoded : GunzipResult::kCorrupt;
        if (inflater.Decode(buffer.data(), read, write))
            continue;
        if (stopped)
            return GunzipResult::kStopped;
        if (written == WriteOutcome::kVolumeFull)
            return GunzipResult::kVolumeFull;
        return written == WriteOutcome::kFailed ? GunzipResult::kFileFailed
                                                : GunzipResult::kCorrupt;
    }
}

} // namespace

bool StartsWithGzipMagic(const char* data, std::size_t size)
{
    return data != nullptr && size >= 2 && static_cast<unsigned char>(data[0]) == 0x1F &&
           static_cast<unsigned char>(data[1]) == 0x8B;
}

GunzipResult GunzipBuffer(const std::string& compressed, std::string& decoded,
                          std::size_t maxDecoded)
{
    GzipInflater inflater;
    if (!inflater.IsReady())
        return GunzipResult::kCorrupt;
    std::string result;
    bool tooLarge = false;
    // The buffer grows by doubling up to the bound and never past it.
    auto append = [&result, &tooLarge, maxDecoded](const char* data, std::size_t size) {
        tooLarge = size > maxDecoded - result.size();
        if (tooLarge)
            return false;
        if (size > result.capacity() - result.size())
            result.reserve(
                std::min(std::max(result.capacity() * 2, result.size() + size), maxDecoded));
        result.append(data, size);
        return true;
    };
    if (!inflater.Decode(compressed.data(), compressed.size(), append))
        return tooLarge ? GunzipResult::kTooLarge : GunzipResult::kCorrupt;
    if (!inflater.IsComplete())
        return GunzipResult::kCorrupt;
    decoded.swap(result);
    return GunzipResult::kDecoded;
}

GunzipResult GunzipFile(const std::wstring& source, const std::wstring& target,
                        const std::function<bool()>& proceed)
{
    // Everything that may throw is allocated before the target exists, so that no exception can
    // leave a half-written target behind.
    GzipInflater inflater;
    std::vector<char> buffer(kBlockSize);
    VolumeReserve reserve(target);
    if (!inflater.IsReady())
        return GunzipResult::kCorrupt;
    FileHandle input(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!input.IsOpen())
        return GunzipResult::kFileFailed;
    FileHandle output(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!output.IsOpen())
        return GunzipResult::kFileFailed;
    const GunzipResult result =
        DecodeFile(inflater, input.Get(), output.Get(), reserve, buffer, proceed);
    if (result == GunzipResult::kDecoded)
        return result;
    output.Close();
    DeleteFileW(target.c_str());
    return result;
}

} // namespace korvel
