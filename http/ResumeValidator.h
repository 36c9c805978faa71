#pragma once

#include "base/VolumeReserve.h"
#include "base/WsString.h"

namespace korvel {

// The version of a target file, as the server named it in the answer the file
// was written from (a strong ETag, else the Last-Modified date). It lives in a
// small file beside the target, "<target>.validator", so that a later resume
// can send it as If-Range and never joins bytes of two versions. A target
// without one was not written by the library, or from an answer that named no
// version.
WsString ReadResumeValidator(const WsString& target);

// Records the validator of the bytes the target now holds, keeping the
// volume's reserve; an empty one removes the record. A record that could not
// be written whole is removed too, and the outcome says why.
WriteOutcome WriteResumeValidator(const WsString& target, const WsString& validator,
                                  VolumeReserve& reserve);
// Removes the record: the target holds no version that a resume may name.
void RemoveResumeValidator(const WsString& target);

} // namespace korvel
