#pragma once

#include "tools/host/KorvelLibrary.h"
#include "tools/korvel-cli/CommandLine.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace korvel::cli {

// A library call that failed: what the command was doing and the status the
// library returned, with lines that help the reader further, if any. main()
// prints it with the status's name and meaning.
class StatusError : public std::runtime_error {
public:
    StatusError(const std::string& action, uint32_t status, std::string detail = {})
        : std::runtime_error(action), status_(status), detail_(std::move(detail))
    {
    }
    uint32_t Status() const { return status_; }
    const std::string& Detail() const { return detail_; }

private:
    uint32_t status_;
    std::string detail_;
};

// Throws StatusError(action, status) unless status is 0.
void Require(uint32_t status, const char* action);

// True for the 0x8000xxxx codes; 0 and the 0x4000xxxx states are not failures.
inline bool IsFailure(uint32_t status)
{
    return (status & 0x80000000u) != 0;
}

// An open library session, closed again (cancelling whatever still runs in
// it) when the object goes.
class Session {
public:
    Session(const host::KorvelApi& api, const SessionSettings& settings);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    uint32_t Id() const { return id_; }
    const host::KorvelApi* operator->() const { return &api_; }

private:
    const host::KorvelApi& api_;
    uint32_t id_ = 0;
};

} // namespace korvel::cli
