#include "terminal/Listing.h"

#include "infra/Decimal.h"

namespace qvx {

namespace {

constexpr std::string_view EntryHeader = "+CMGL: ";

// The decimal number at pos after blanks; one too large for an index reads as the largest.
int32_t ReadIndex(std::string_view text, size_t pos) {
    while (pos < text.size() && text[pos] == ' ')
        ++pos;
    return ReadDigits(text, pos);
}

} // namespace

std::vector<TListingEntry> ParseListing(std::string_view reply) {
    std::vector<TListingEntry> entries;
    size_t pos = 0;
    for (;;) {
        const size_t header = reply.find(EntryHeader, pos);
        if (header == std::string_view::npos)
            return entries;
        TListingEntry entry;
        entry.Index = ReadIndex(reply, header + EntryHeader.size());
        entry.FromHeader = reply.substr(header);
        const size_t lf = reply.find('\n', header);
        const size_t line = lf == std::string_view::npos ? reply.size() : lf + 1;
        size_t lineEnd = reply.find_first_of("\r\n", line);
        if (lineEnd == std::string_view::npos)
            lineEnd = reply.size();
        // A header right behind a header: the first entry has no PDU, the second is intact.
        if (reply.substr(line, EntryHeader.size()) == EntryHeader)
            lineEnd = line;
        entry.Pdu = reply.substr(line, std::min(lineEnd - line, PduLineMax));
        entry.Complete = lineEnd < reply.size();
        entries.push_back(entry);
        pos = lineEnd;
    }
}

std::string UnsolicitedLines(std::string_view reply) {
    std::string lines;
    size_t pos = 0;
    while (pos < reply.size()) {
        size_t end = reply.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = reply.size();
        const std::string_view line = reply.substr(pos, end - pos);
        for (std::string_view head : {"RING", "+CLIP:", "+CUSD:"})
            if (line.substr(0, head.size()) == head) {
                lines.append(line);
                lines += "\r\n";
                break;
            }
        pos = end + 1;
    }
    return lines;
}

std::string ListingStrays(std::string_view reply) {
    std::string lines;
    bool pduNext = false;
    size_t pos = 0;
    while (pos < reply.size()) {
        size_t end = reply.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = reply.size();
        const std::string_view line = reply.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty())
            continue;
        const bool header = line.substr(0, EntryHeader.size()) == EntryHeader;
        // The line behind a header is that entry's PDU, as ParseListing takes it.
        const bool pdu = pduNext && !header;
        pduNext = header;
        if (header || pdu || line == "OK")
            continue;
        lines.append(line);
        lines += "\r\n";
    }
    return lines;
}

} // namespace qvx
