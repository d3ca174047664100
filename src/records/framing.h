// Framing checks of TFRecord files on raw bytes (no Python, no TensorFlow).
//
// A record file is a sequence of records, each: the data length as 8 bytes
// little-endian, the masked CRC-32C of those 8 bytes (4 bytes), the data, and
// the masked CRC-32C of the data (4 bytes). check_headers walks the headers
// only (the data is skipped), so a truncated or foreign file is found before
// its records are read, at the cost of one small read per record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace records {

// CRC-32C (Castagnoli) of `n` bytes, and the masked form stored in records.
std::uint32_t crc32c(const unsigned char *data, std::size_t n);
std::uint32_t masked_crc32c(const unsigned char *data, std::size_t n);

struct Problem {
    bool ok = true;
    std::uint64_t offset = 0;  // where the bad record starts
    std::string reason;
};

// Reads `n` bytes at `offset` into `out`; returns the number read (fewer at
// the end of the file) or -1 on an I/O error.
using ReadAt = std::function<long long(std::uint64_t offset, std::size_t n, unsigned char *out)>;

// Walks the record headers of a file of `size` bytes.
Problem check_headers(const ReadAt &read, std::uint64_t size);

}  // namespace records
