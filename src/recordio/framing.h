// Framing of TFRecord files: every frame is
//   uint64 length | uint32 masked CRC32C(length) | data[length] | uint32 masked CRC32C(data)
// (little-endian). A reader that trusted a declared length could be taken down
// by a damaged one, so every frame is checked here before its data is read:
// whole files by check_file, frame by frame by a streaming reader through
// check_header / check_footer. FrameWriter writes frames with the same
// checksum code, so what is written is what the checks accept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace recordio {

// CRC32C (Castagnoli) continued from `crc` over `n` bytes.
uint32_t crc32c(uint32_t crc, const unsigned char *data, size_t n);
// The masked form stored in the file.
uint32_t mask_crc(uint32_t crc);

constexpr size_t kHeaderBytes = 12;  // length and its checksum
constexpr size_t kFooterBytes = 4;   // checksum of the data

// Checks the header of the frame that starts `remaining` bytes before the end
// of its file; `head` holds min(remaining, kHeaderBytes) bytes. When it is
// sound, stores the data length (which then fits in the file) and returns
// true; otherwise stores what is wrong in `problem`.
bool check_header(const unsigned char *head, uint64_t remaining, uint64_t *length, std::string *problem);

// Checks `footer` (kFooterBytes) against `data_crc`, the CRC32C of the
// frame's data (crc32c(0, data, length), possibly computed piecewise).
bool check_footer(uint32_t data_crc, const unsigned char *footer, std::string *problem);

struct FramingResult {
    bool ok = true;
    uint64_t records = 0;  // complete, valid frames before the damage (all of them when ok)
    uint64_t offset = 0;   // byte offset of the frame that is damaged
    std::string problem;   // what is wrong with it (empty when ok)
};

// Scans the file at `path`. Never throws for damaged content; an unreadable
// file is reported as a problem at offset 0. Pure C++, safe without the GIL.
FramingResult check_file(const std::string &path);

// The header (length and its masked checksum) and footer (masked checksum of
// the data) of a frame holding `length` bytes whose CRC32C is `data_crc`.
void frame_header(uint64_t length, unsigned char head[kHeaderBytes]);
void frame_footer(uint32_t data_crc, unsigned char footer[kFooterBytes]);

// Appends frames to a new file. Every call returns 0 or the errno of the
// failing system call (ENOSPC for a full disk); after a failure the file is
// unusable and only close() or the destructor may follow. Pure C++, safe
// without the GIL; one writer is not to be shared between threads.
class FrameWriter {
  public:
    FrameWriter() = default;
    FrameWriter(const FrameWriter &) = delete;
    FrameWriter &operator=(const FrameWriter &) = delete;
    ~FrameWriter();

    // Creates (or truncates) the file at `path`.
    int open(const std::string &path);
    int write(const unsigned char *data, uint64_t length);
    // Flushes, optionally forces the data to the disk (fsync), and closes.
    int close(bool sync);
    bool is_open() const { return file_ != nullptr; }
    uint64_t frames() const { return frames_; }
    uint64_t bytes() const { return bytes_; }

  private:
    std::FILE *file_ = nullptr;
    uint64_t frames_ = 0;
    uint64_t bytes_ = 0;
    uint64_t written_back_ = 0;  // bytes handed to the disk's writeback so far
};

}  // namespace recordio
