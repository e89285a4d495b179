#include "infra/Sha256.h"

#include <gtest/gtest.h>
#include <string>

namespace qvx {
namespace {

// FIPS 180-4 examples, and lengths around the padding's block boundary (55, 56, 64 bytes).
TEST(Sha256, KnownDigests) {
    const struct {
        std::string Data;
        const char* Digest;
    } cases[] = {
        {"", "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"},
        {"abc", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248D6A61D20638B8E5C026930C3E6039A33CE45964FF2167F6ECEDD419DB06C1"},
        {std::string(55, 'a'), "9F4390F8D30C2DD92EC9F095B65E2B9AE9B0A925A5258E241C9F1E910F734318"},
        {std::string(64, 'a'), "FFE054FE7AE0CB6DC65C3AF9B61D5209F439851DB43D0BA5997337DF154668EB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Sha256Hex(c.Data), c.Digest) << c.Data.size() << " bytes";
}

} // namespace
} // namespace qvx
