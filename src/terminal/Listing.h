// Splitting of an at+cmgl reply (3GPP TS 27.005, PDU mode) into its entries: a header line
// "+CMGL: <index>,..." followed by the PDU as one line of hex text. Pure logic on the reply
// text, bounded whatever the terminal sends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qvx {

// Longest PDU line taken from one entry; the rest of a longer line is ignored.
constexpr size_t PduLineMax = 500;

struct TListingEntry {
    int32_t Index = 0;           // the first field of the header; 0 without digits
    std::string_view Pdu;        // the line after the header, without CR/LF, at most PduLineMax
    std::string_view FromHeader; // the reply from this entry's "+CMGL: " to its end
    // The PDU line ended before the reply did; a listing cut at its bound may end inside the
    // last entry, which must then wait for a later listing rather than be taken as malformed.
    bool Complete = false;
};

// The entries in the order of the reply; the views point into reply.
std::vector<TListingEntry> ParseListing(std::string_view reply);

// The unsolicited result lines (RING, +CLIP:, +CUSD:) that the terminal slipped into the
// reply, each with CR LF, in their order. The listing runs in every pass, so a call or a USSD
// result often arrives during one and would be lost with the reply.
std::string UnsolicitedLines(std::string_view reply);

// Every line of an at+cmgl reply that is not part of the listing, each with CR LF, in their
// order: anything but blank lines, entry headers, the PDU line behind a header and "OK". A
// call, a USSD result or any other text the terminal sent while it listed is kept for the
// terminal log and the unsolicited scan, as text that arrives between commands is.
std::string ListingStrays(std::string_view reply);

} // namespace qvx
