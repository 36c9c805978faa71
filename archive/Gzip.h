#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace korvel {

// True when the data begins with the two bytes that open every gzip member (1F 8B).
bool StartsWithGzipMagic(const char* data, std::size_t size);

// Decodes a whole gzip stream held in memory. Concatenated members are decoded one after the
// other, as gzip itself does. Input that is empty, truncated, corrupt, not gzip or followed by
// anything other than further members gives false and leaves the output as it was.
bool GunzipBuffer(const std::string& compressed, std::string& decoded);

// Decodes the gzip file at source into target, which is created or replaced. The file is streamed
// in blocks and never held in memory whole. On failure (including the cases GunzipBuffer rejects)
// the target is deleted, so a half-decoded file is never mistaken for a result.
// A proceed function, when given, is asked before every block; when it says no, decoding stops
// and fails.
bool GunzipFile(const std::wstring& source, const std::wstring& target,
                const std::function<bool()>& proceed = {});

} // namespace korvel
