/* The public header must compile as C. */
#include "api/korvel.h"

uint32_t HeaderAsCInvalidSession(void)
{
    return kStatusInvalidSession;
}

size_t HeaderAsCTextBufferSize(void)
{
    WsUdText text;
    return sizeof text / sizeof text[0];
}
