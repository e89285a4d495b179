#include "terminal/RefusalCause.h"

#include <algorithm>
#include <iterator>

namespace qvx {

namespace {

// The causes that are about the destination or the content of the message. Everything else,
// congestion, temporary failures, a missing network, a busy service centre, the terminal, 500
// and the manufacturers' codes, says nothing about the message.
constexpr int32_t MessageCauses[] = {
    1,  // unassigned (unallocated) number
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

// The causes that are about this terminal's SIM or subscription: the same message may go from
// another terminal, and no message goes from this one.
constexpr int32_t SubscriptionCauses[] = {
    8,   // operator determined barring: no credit, or the SIM barred
    10,  // call barred: the SIM's barring service covers short messages
    50,  // requested facility not subscribed
    193, // no service centre subscription
    330, // SMSC address unknown
};

// SIM not inserted, PIN, PH-SIM PIN, failure, busy, wrong, PUK, PIN2, PUK2 (310..318).
bool IsSimCause(int32_t cause) {
    return cause >= 310 && cause <= 318;
}

// Protocol identifier, data coding scheme and command errors of the service centre (128..176):
// the message's own fields.
bool IsContentCause(int32_t cause) {
    return cause >= 128 && cause <= 176;
}

bool Contains(const int32_t* begin, const int32_t* end, int32_t cause) {
    return std::find(begin, end, cause) != end;
}

struct TCauseText {
    int32_t Cause;
    std::string_view Text;
};

// The texts terminals print instead of the number, as the standards name the causes, with
// the variants terminals are known to use.
constexpr TCauseText CauseTexts[] = {
    {1, "unassigned (unallocated) number"},
    {1, "unassigned number"},
    {8, "operator determined barring"},
    {10, "call barred"},
    {17, "network failure"},
    {21, "short message transfer rejected"},
    {27, "destination out of order"},
    {27, "destination out of service"},
    {28, "unidentified subscriber"},
    {29, "facility rejected"},
    {30, "unknown subscriber"},
    {38, "network out of order"},
    {41, "temporary failure"},
    {42, "congestion"},
    {47, "resources unavailable, unspecified"},
    {50, "requested facility not subscribed"},
    {69, "requested facility not implemented"},
    {81, "invalid short message transfer reference value"},
    {95, "invalid message, unspecified"},
    {96, "invalid mandatory information"},
    {97, "message type non-existent or not implemented"},
    {98, "message not compatible with short message protocol state"},
    {98, "message not compatible with the short message protocol state"},
    {99, "information element non-existent or not implemented"},
    {111, "protocol error, unspecified"},
    {127, "interworking, unspecified"},
    {128, "telematic interworking not supported"},
    {129, "short message type 0 not supported"},
    {130, "cannot replace short message"},
    {143, "unspecified tp-pid error"},
    {144, "data coding scheme (alphabet) not supported"},
    {145, "message class not supported"},
    {159, "unspecified tp-dcs error"},
    {160, "command cannot be actioned"},
    {161, "command unsupported"},
    {175, "unspecified tp-command error"},
    {176, "tpdu not supported"},
    {192, "sc busy"},
    {193, "no sc subscription"},
    {194, "sc system failure"},
    {195, "invalid sme address"},
    {196, "destination sme barred"},
    {196, "sme barred"},
    {197, "sm rejected-duplicate sm"},
    {198, "tp-vpf not supported"},
    {199, "tp-vp not supported"},
    {208, "sim sms storage full"},
    {209, "no sms storage capability in sim"},
    {210, "error in ms"},
    {211, "memory capacity exceeded"},
    {212, "sim application toolkit busy"},
    {213, "sim data download error"},
    {255, "unspecified error cause"},
    {300, "me failure"},
    {301, "sms service of me reserved"},
    {302, "operation not allowed"},
    {303, "operation not supported"},
    {304, "invalid pdu mode parameter"},
    {305, "invalid text mode parameter"},
    {310, "sim not inserted"},
    {311, "sim pin required"},
    {312, "ph-sim pin required"},
    {313, "sim failure"},
    {314, "sim busy"},
    {315, "sim wrong"},
    {316, "sim puk required"},
    {317, "sim pin2 required"},
    {318, "sim puk2 required"},
    {320, "memory failure"},
    {321, "invalid memory index"},
    {322, "memory full"},
    {330, "smsc address unknown"},
    {330, "sc address unknown"},
    {331, "no network service"},
    {332, "network timeout"},
    {340, "no +cnma acknowledgement expected"},
    {500, "unknown error"},
};

// No known text is longer; a longer one is not looked up at all.
constexpr size_t CauseTextMax = 80;
constexpr int32_t CauseNumberMax = 99999;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameText(std::string_view text, std::string_view lower) {
    return text.size() == lower.size() && std::equal(text.begin(), text.end(), lower.begin(),
                                                     [](char a, char b) { return Lower(a) == b; });
}

int32_t CauseOfText(std::string_view text) {
    if (!text.empty() && text.back() == '.')
        text = Trimmed(text.substr(0, text.size() - 1));
    if (text.empty() || text.size() > CauseTextMax)
        return -1;
    for (const TCauseText& known : CauseTexts)
        if (SameText(text, known.Text))
            return known.Cause;
    return -1;
}

} // namespace

int32_t RefusalCause(std::string_view refusal) {
    const size_t colon = refusal.find(':');
    const std::string_view cause =
        Trimmed(colon == std::string_view::npos ? refusal : refusal.substr(colon + 1));
    if (cause.empty() || cause.front() < '0' || cause.front() > '9')
        return CauseOfText(cause);
    int32_t number = 0;
    for (size_t pos = 0; pos < cause.size() && cause[pos] >= '0' && cause[pos] <= '9'; ++pos) {
        number = number * 10 + (cause[pos] - '0');
        if (number > CauseNumberMax)
            return -1; // no cause is that long
    }
    return number;
}

TRefusalKind RefusalKind(int32_t cause) {
    if (IsSimCause(cause) ||
        Contains(std::begin(SubscriptionCauses), std::end(SubscriptionCauses), cause))
        return TRefusalKind::Subscription;
    if (IsContentCause(cause) ||
        Contains(std::begin(MessageCauses), std::end(MessageCauses), cause))
        return TRefusalKind::Message;
    return TRefusalKind::Network;
}

} // namespace qvx
