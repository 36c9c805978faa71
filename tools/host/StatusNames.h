#pragma once

#include <cstdint>
#include <string>

namespace korvel::host {

// The name of a status code as api/korvel.h spells it ("kStatusNotFound"),
// or nullptr for a code the library does not define.
const char* StatusName(uint32_t status);

// One sentence saying what a status code means to a host, or nullptr for a
// code the library does not define.
const char* StatusMeaning(uint32_t status);

// "0x80002007 kStatusNotFound" (or "0x12345678 unknown status"), the form
// hosts print in messages and logs.
std::string DescribeStatus(uint32_t status);

} // namespace korvel::host
