#include "terminal/RefusalCause.h"

#include <algorithm>
#include <iterator>

namespace qvx {

namespace {

// The causes that are about the destination or the content of the message. Everything else,
// congestion, temporary failures, a missing network, a busy service centre, the SIM, the
// terminal, 500 and the manufacturers' codes, says nothing about the message.
constexpr int32_t MessageCauses[] = {
    1,  // unassigned (unallocated) number
    8,  // operator determined barring
    10, // call barred
    21, // short message transfer rejected
    // The destination's interface is out of order: it is the destination's, and a message
    // held at the head of the queue for it would hold every other message back.
    27,  // destination out of order
    28,  // unidentified subscriber
    29,  // facility rejected
    30,  // unknown subscriber
    95,  // invalid message, unspecified
    96,  // invalid mandatory information
    97,  // message type non-existent or not implemented
    98,  // message not compatible with the short message protocol state
    99,  // information element non-existent or not implemented
    195, // invalid SME address
    196, // destination SME barred
    197, // rejected duplicate message
    198, // validity period format not supported
    199, // validity period not supported
    304, // invalid PDU mode parameter
    305, // invalid text mode parameter
};

// Protocol identifier, data coding scheme and command errors of the service centre (128..176):
// the message's own fields.
bool IsContentCause(int32_t cause) {
    return cause >= 128 && cause <= 176;
}

} // namespace

int32_t RefusalCause(std::string_view refusal) {
    const size_t colon = refusal.find(':');
    if (colon == std::string_view::npos)
        return -1;
    size_t pos = refusal.find_first_not_of(' ', colon + 1);
    if (pos == std::string_view::npos || refusal[pos] < '0' || refusal[pos] > '9')
        return -1;
    int32_t cause = 0;
    for (; pos < refusal.size() && refusal[pos] >= '0' && refusal[pos] <= '9'; ++pos) {
        if (cause > 99999)
            return -1; // no cause is that long
        cause = cause * 10 + (refusal[pos] - '0');
    }
    return cause;
}

TRefusalKind RefusalKind(int32_t cause) {
    if (IsContentCause(cause) || std::find(std::begin(MessageCauses), std::end(MessageCauses),
                                           cause) != std::end(MessageCauses))
        return TRefusalKind::Message;
    return TRefusalKind::Network;
}

} // namespace qvx
