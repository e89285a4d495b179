// The one place where an outgoing text is judged and encoded: the worker prepares each message
// before it queues it, and the terminal sends the PDUs it is given.
#pragma once

#include "terminal/Pdu.h"

#include <string_view>

namespace qvx {

// The digits of the number, the text as it goes out (transliterated when asked) and its PDUs,
// in prepared; the status says why a message can never be sent (prepared.Parts then empty).
TEncodeStatus PrepareSubmission(std::string_view telephone, std::string_view text, bool flash,
                                bool transliterate, TPreparedSms& prepared);

} // namespace qvx
