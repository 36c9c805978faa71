#pragma once

#include "base/WsStatus.h"
#include "http/WsHttpSession.h"
#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace korvel::test {

// Runs one transaction and reports how it ended: the raised status, or the
// session's final state.
inline uint32_t SubmitStatus(WsHttpSession& session, const std::wstring& url, std::string& response,
                             const WsString& postData = WsString())
{
    try {
        session.Submit(url, postData, response);
    } catch (WsStatus status) {
        return status;
    }
    WsHttpProgress progress;
    session.GetProgress(progress);
    return progress.status;
}

inline std::wstring ToWideText(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// A file path of the test's own in the temporary folder, removed before and
// after the test together with what the transfer may leave beside it.
class TempFile {
public:
    explicit TempFile(const std::string& name)
        : path_((std::filesystem::temp_directory_path() / ("korvel-test-" + name)).wstring())
    {
        Remove();
    }
    ~TempFile() { Remove(); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::wstring& Path() const { return path_; }
    std::wstring TempSibling() const { return path_ + L".temp"; }

    void Write(const std::string& bytes) const
    {
        std::ofstream(std::filesystem::path(path_), std::ios::binary) << bytes;
    }
    std::string Read() const
    {
        std::ifstream file(std::filesystem::path(path_), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
    bool Exists() const { return std::filesystem::exists(path_); }

private:
    void Remove() const
    {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
        std::filesystem::remove(TempSibling(), ignored);
    }

    std::wstring path_;
};

} // namespace korvel::test
