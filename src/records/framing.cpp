#include "framing.h"

#include <array>

namespace records {

namespace {

std::array<std::uint32_t, 256> make_table() {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
        t[i] = c;
    }
    return t;
}

const std::array<std::uint32_t, 256> kTable = make_table();

}  // namespace

std::uint32_t crc32c(const unsigned char *data, std::size_t n) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) c = kTable[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::uint32_t masked_crc32c(const unsigned char *data, std::size_t n) {
    const std::uint32_t c = crc32c(data, n);
    return ((c >> 15) | (c << 17)) + 0xA282EAD8u;
}

Problem check_headers(const ReadAt &read, std::uint64_t size) {
    Problem p;
    std::uint64_t offset = 0;
    unsigned char header[12];
    while (offset < size) {
        const long long got = read(offset, sizeof header, header);
        if (got < 0) {
            p = Problem{false, offset, "read error"};
            return p;
        }
        if (got < static_cast<long long>(sizeof header)) {
            p = Problem{false, offset, "truncated record header"};
            return p;
        }
        std::uint64_t length = 0;
        for (int i = 7; i >= 0; --i) length = (length << 8) | header[i];
        const std::uint32_t stored = static_cast<std::uint32_t>(header[8]) | (static_cast<std::uint32_t>(header[9]) << 8) |
                                     (static_cast<std::uint32_t>(header[10]) << 16) |
                                     (static_cast<std::uint32_t>(header[11]) << 24);
        if (masked_crc32c(header, 8) != stored) {
            p = Problem{false, offset, "corrupted record header (not a TFRecord file?)"};
            return p;
        }
        const std::uint64_t room = size - offset - sizeof header;
        if (length > room || room - length < 4) {
            p = Problem{false, offset, "truncated record"};
            return p;
        }
        offset += sizeof header + length + 4;
    }
    return p;
}

}  // namespace records
