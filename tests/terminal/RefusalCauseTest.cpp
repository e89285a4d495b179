// The refusal causes of a submission: whose fault each one is.
#include "terminal/RefusalCause.h"

#include <gtest/gtest.h>
#include <string>

namespace qvx {
namespace {

TEST(RefusalCauseTest, OnlyCausesAboutTheMessageCount) {
    struct TCase {
        std::string Line;
        int32_t Cause;
        TRefusalKind Kind;
        const char* Note;
    };
    constexpr TRefusalKind Message = TRefusalKind::Message;
    constexpr TRefusalKind Network = TRefusalKind::Network;
    const TCase cases[] = {
        {"+CMS ERROR: 1", 1, Message, "unassigned number"},
        {"+CMS ERROR: 21", 21, Message, "transfer rejected"},
        {"+CMS ERROR: 27", 27, Message, "destination out of order: the destination's"},
        {"+CMS ERROR: 30", 30, Message, "unknown subscriber"},
        {"+CMS ERROR: 128", 128, Message, "first content cause"},
        {"+CMS ERROR: 176", 176, Message, "last content cause"},
        {"+CMS ERROR: 304", 304, Message, "invalid PDU mode parameter"},
        {"+CMS ERROR: 42", 42, Network, "congestion"},
        {"+CMS ERROR: 177", 177, Network, "just past the content causes"},
        {"+CMS ERROR: 192", 192, Network, "service centre busy"},
        {"+CMS ERROR: 331", 331, Network, "no network service"},
        {"+CMS ERROR: 500", 500, Network, "unknown error"},
        {"+CMS ERROR: 513", 513, Network, "a manufacturer's code"},
        {"+CMS ERROR:21\r", 21, Message, "no blank after the colon, a CR behind"},
        {"+CMS ERROR: no network service", -1, Network, "a verbose text is not known"},
        {"+CMS ERROR: 99999999999", -1, Network, "a number no cause has"},
    };
    for (const TCase& c : cases) {
        EXPECT_EQ(RefusalCause(c.Line), c.Cause) << c.Note;
        EXPECT_EQ(RefusalKind(RefusalCause(c.Line)), c.Kind) << c.Note;
    }
}

} // namespace
} // namespace qvx
