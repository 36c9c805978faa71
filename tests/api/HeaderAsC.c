/* The public headers as a C host compiles them: ISO C11 with every warning
 * an error (see CMakeLists.txt), the status codes constant expressions, and
 * the exports reached through their function-pointer types the way the
 * header recommends. */
#include "api/korvel.h"
#include "api/korvel_status.h"

#include <stddef.h>

/* The codes as C sees them, with the names they are spelt with: a static
 * initializer, so every code must be a constant expression in C. */
#define KORVEL_STATUS(name) {name, #name},
static const struct {
    uint32_t code;
    const char* name;
} kCodes[] = {
#include "tests/api/StatusList.h"
};
#undef KORVEL_STATUS

size_t HeaderAsCCodeCount(void)
{
    return sizeof kCodes / sizeof kCodes[0];
}

uint32_t HeaderAsCCode(size_t index, const char** name)
{
    *name = kCodes[index].name;
    return kCodes[index].code;
}

/* The name table's answer, for the C++ side to compare with its own: both
 * build the same table from the same lines, so an entry with the same
 * meaning is the same entry. */
const char* HeaderAsCStatusMeaning(uint32_t status)
{
    return KorvelStatusMeaning(status);
}

/* Resolves every export through its PFN_ type; returns how many the module
 * has. */
int HeaderAsCResolveAll(HMODULE module)
{
    int found = 0;
#define KORVEL_EXPORT(name)                                                                        \
    found += (PFN_##name)(void (*)(void))GetProcAddress(module, #name) != NULL;
#include "tests/api/ExportList.h"
#undef KORVEL_EXPORT
    return found;
}

/* Opens and closes a session through the pointer types; 0 when both calls
 * succeed and the session got an id. */
uint32_t HeaderAsCOpenAndClose(HMODULE module)
{
    PFN_WsUdOpen open = (PFN_WsUdOpen)(void (*)(void))GetProcAddress(module, "WsUdOpen");
    PFN_WsUdClose close = (PFN_WsUdClose)(void (*)(void))GetProcAddress(module, "WsUdClose");
    uint32_t session = 0;
    uint32_t status;

    if (open == NULL || close == NULL)
        return kStatusUnexpected;
    status = open(L"HostApp", L"2.1", L"", L"", L"en-US", &session);
    if (status != kStatusSuccess)
        return status;
    if (session == 0)
        return kStatusInvalidSession;
    return close(session);
}
