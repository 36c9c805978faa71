// A small host: loads korvel.dll as applications do, opens three sessions,
// prints their ids and closes them.
#include "tools/host/KorvelLibrary.h"

#include <cstdio>
#include <exception>

using korvel::host::KorvelLibrary;

int main()
{
    try {
        KorvelLibrary korvel;
        uint32_t ids[3] = {};
        for (uint32_t& id : ids) {
            const uint32_t status =
                korvel->WsUdOpen(L"korvel-demo", L"1.0", L"", L"", L"en-US", &id);
            if (status != kStatusSuccess) {
                std::printf("WsUdOpen failed: 0x%08X\n", status);
                return 1;
            }
            std::printf("opened session %u\n", id);
        }
        for (uint32_t id : ids) {
            const uint32_t status = korvel->WsUdClose(id);
            std::printf("closed session %u: 0x%08X\n", id, status);
            if (status != kStatusSuccess)
                return 1;
        }
        return 0;
    } catch (const std::exception& error) {
        std::printf("korvel-demo: %s\n", error.what());
        return 1;
    }
}
