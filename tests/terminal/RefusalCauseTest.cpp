// The refusal causes of a submission, as numbers and as verbose texts: whose fault each one is.
#include "terminal/RefusalCause.h"

#include <gtest/gtest.h>
#include <string>

namespace qvx {
namespace {

TEST(RefusalCauseTest, NumbersAndTextsGiveTheCauseAndWhoseFaultItIs) {
    struct TCase {
        std::string Line;
        int32_t Cause;
        TRefusalKind Kind;
        const char* Note;
    };
    constexpr TRefusalKind Message = TRefusalKind::Message;
    constexpr TRefusalKind Network = TRefusalKind::Network;
    constexpr TRefusalKind Subscription = TRefusalKind::Subscription;
    const TCase cases[] = {
        {"+CMS ERROR: 1", 1, Message, "unassigned number"},
        {"+CMS ERROR: 21", 21, Message, "transfer rejected"},
        {"+CMS ERROR: 27", 27, Message, "destination out of order: the destination's"},
        {"+CMS ERROR: 30", 30, Message, "unknown subscriber"},
        {"+CMS ERROR: 128", 128, Message, "first content cause"},
        {"+CMS ERROR: 176", 176, Message, "last content cause"},
        {"+CMS ERROR: 304", 304, Message, "invalid PDU mode parameter"},
        {"+CMS ERROR: 8", 8, Subscription, "operator determined barring: no credit"},
        {"+CMS ERROR: 10", 10, Subscription, "call barred"},
        {"+CMS ERROR: 50", 50, Subscription, "facility not subscribed"},
        {"+CMS ERROR: No SC subscription", 193, Subscription, "the SIM has no service centre"},
        {"+CMS ERROR: 309", 309, Network, "just before the SIM states"},
        {"+CMS ERROR: 310", 310, Subscription, "SIM not inserted"},
        {"+CMS ERROR: 318", 318, Subscription, "SIM PUK2 required, the last SIM state"},
        {"+CMS ERROR: 319", 319, Network, "just past the SIM states"},
        {"+CMS ERROR: 330", 330, Subscription, "SMSC address unknown"},
        {"+CMS ERROR: 42", 42, Network, "congestion"},
        {"+CMS ERROR: 177", 177, Network, "just past the content causes"},
        {"+CMS ERROR: 192", 192, Network, "service centre busy"},
        {"+CMS ERROR: 331", 331, Network, "no network service"},
        {"+CMS ERROR: 500", 500, Network, "unknown error"},
        {"+CMS ERROR: 513", 513, Network, "a manufacturer's code"},
        {"+CMS ERROR:21\r", 21, Message, "no blank after the colon, a CR behind"},
        {"+CMS ERROR: 99999999999", -1, Network, "a number no cause has"},
        // Terminals in verbose mode (at+cmee=2) print the cause's text instead.
        {"+CMS ERROR: Unassigned (unallocated) number", 1, Message, "verbose, as the standard"},
        {"+CMS ERROR: unassigned (UNALLOCATED) NUMBER", 1, Message, "any case"},
        {"+CMS ERROR:   Operator determined barring.  \r", 8, Subscription,
         "blanks, a final period and a CR"},
        {"+CMS ERROR: Call barred", 10, Subscription, "call barred"},
        {"+CMS ERROR: Requested facility not subscribed", 50, Subscription, "not subscribed"},
        {"+CMS ERROR: Destination out of service", 27, Message, "a variant of 27"},
        {"+CMS ERROR: Destination out of order", 27, Message, "27 as the standard names it"},
        {"+CMS ERROR: Resources unavailable, unspecified", 47, Network, "a comma inside"},
        {"+CMS ERROR: Message not compatible with short message protocol state", 98, Message,
         "a long text"},
        {"+CMS ERROR: SME barred", 196, Message, "the service centre's 0xC4"},
        {"+CMS ERROR: Invalid SME address", 195, Message, "the service centre's 0xC3"},
        {"+CMS ERROR: SIM PIN required", 311, Subscription, "a SIM state"},
        {"+CMS ERROR: PH-SIM PIN required", 312, Subscription, "a hyphen inside"},
        {"+CMS ERROR: SMSC address unknown", 330, Subscription, "no SMS centre"},
        {"+CMS ERROR: no network service", 331, Network, "no network"},
        {"+CMS ERROR: no +CNMA acknowledgement expected", 340, Network, "a plus inside"},
        {"+CMS ERROR: unknown error", 500, Network, "the terminal's catch-all"},
        {"Congestion", 42, Network, "a bare text without the prefix"},
        {"+CMS ERROR: Call barred today", -1, Network, "more than a known text"},
        {"+CMS ERROR: Call", -1, Network, "less than a known text"},
        {"+CMS ERROR: .", -1, Network, "a period alone"},
        {"+CMS ERROR:", -1, Network, "nothing after the colon"},
        {"+CMS ERROR: " + std::string(5000, 'x'), -1, Network, "an endless text"},
    };
    for (const TCase& c : cases) {
        EXPECT_EQ(RefusalCause(c.Line), c.Cause) << c.Note;
        EXPECT_EQ(RefusalKind(RefusalCause(c.Line)), c.Kind) << c.Note;
    }
}

} // namespace
} // namespace qvx
