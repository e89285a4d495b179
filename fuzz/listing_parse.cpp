// Fuzz target: an at+cmgl reply as the terminal might send it, split into entries and each
// PDU decoded. Nothing may read or write outside its buffers, whatever the bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "terminal/Listing.h"
#include "terminal/Pdu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    for (const qvx::TListingEntry& entry : qvx::ParseListing(reply)) {
        if (entry.Pdu.size() > qvx::PduLineMax || entry.Index < 0)
            __builtin_trap();
        if (entry.FromHeader.substr(0, 7) != "+CMGL: ")
            __builtin_trap();
        qvx::TDeliver deliver;
        qvx::DecodeDeliver(entry.Pdu, deliver);
    }
    return 0;
}
