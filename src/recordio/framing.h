// Structure check of TFRecord files: every frame is
//   uint64 length | uint32 masked CRC32C(length) | data[length] | uint32 masked CRC32C(data)
// (little-endian). A file is scanned before any reader is given it, because a
// reader trusts the declared length and a damaged one can take the process down.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace recordio {

// CRC32C (Castagnoli) continued from `crc` over `n` bytes.
uint32_t crc32c(uint32_t crc, const unsigned char *data, size_t n);
// The masked form stored in the file.
uint32_t mask_crc(uint32_t crc);

struct FramingResult {
    bool ok = true;
    uint64_t records = 0;  // complete, valid frames before the damage (all of them when ok)
    uint64_t offset = 0;   // byte offset of the frame that is damaged
    std::string problem;   // what is wrong with it (empty when ok)
};

// Scans the file at `path`. Never throws for damaged content; an unreadable
// file is reported as a problem at offset 0. Pure C++, safe without the GIL.
FramingResult check_file(const std::string &path);

// check_file, skipping files found sound before that have not changed since
// (same device, inode, size and modification time). Thread-safe.
FramingResult check_file_cached(const std::string &path);

}  // namespace recordio
