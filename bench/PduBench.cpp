// Speed of the PDU codec: encodes and decodes per second of the longest single-SMS texts,
// 160 Latin characters (7-bit) and 70 Cyrillic letters (UCS2).
#include "terminal/Pdu.h"

#include <benchmark/benchmark.h>

namespace qvx {
namespace {

std::string LatinText() {
    const std::string pangram = "The quick brown fox jumps over the lazy dog. ";
    std::string text;
    while (text.size() < SingleSeptetsMax)
        text += pangram;
    return text.substr(0, SingleSeptetsMax);
}

// Cyrillic letters of cp1251 (0xC0..0xFF), cycled.
std::string CyrillicText() {
    std::string text;
    for (size_t i = 0; i < SingleUcs2Max; ++i)
        text += static_cast<char>(0xC0 + i % 64);
    return text;
}

void Encode(benchmark::State& state, const std::string& text) {
    std::vector<TSubmitPdu> parts;
    for (auto _ : state) {
        TEncodeStatus status = EncodeSubmit("79031234567", text, false, 0, parts);
        benchmark::DoNotOptimize(status);
        benchmark::DoNotOptimize(parts.data());
    }
    if (parts.size() != 1)
        state.SkipWithError("the text did not fit one PDU");
    state.SetItemsProcessed(state.iterations());
}

// A DELIVER line carrying the user data of the SUBMIT that the text encodes to.
std::string DeliverLine(const std::string& text) {
    std::vector<TSubmitPdu> parts;
    EncodeSubmit("79031234567", text, false, 0, parts);
    const std::string& submit = parts.at(0).Hex;
    // SUBMIT: 00 11 00 0B 91 <6 digit octets> 00 <DCS> C4 <UDL> <UD>
    std::string dcs = submit.substr(2 * 12, 2);
    std::string udlAndUd = submit.substr(2 * 14);
    return "07919730071111F1040B919730214365F700" + dcs + "52107261424500" + udlAndUd;
}

void Decode(benchmark::State& state, const std::string& text) {
    const std::string line = DeliverLine(text);
    TDeliver deliver;
    for (auto _ : state) {
        TDecodeStatus status = DecodeDeliver(line, deliver);
        benchmark::DoNotOptimize(status);
        benchmark::DoNotOptimize(deliver.Text.data());
    }
    if (deliver.Text != text)
        state.SkipWithError("the decoded text differs");
    state.SetItemsProcessed(state.iterations());
}

void BM_EncodeLatin160(benchmark::State& state) {
    Encode(state, LatinText());
}
void BM_EncodeCyrillic70(benchmark::State& state) {
    Encode(state, CyrillicText());
}
void BM_DecodeLatin160(benchmark::State& state) {
    Decode(state, LatinText());
}
void BM_DecodeCyrillic70(benchmark::State& state) {
    Decode(state, CyrillicText());
}

BENCHMARK(BM_EncodeLatin160);
BENCHMARK(BM_EncodeCyrillic70);
BENCHMARK(BM_DecodeLatin160);
BENCHMARK(BM_DecodeCyrillic70);

} // namespace
} // namespace qvx
