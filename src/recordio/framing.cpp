#include "framing.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace recordio {

namespace {

// How much a writer lets pile up in the page cache before it starts the
// disk writes of that part.
constexpr uint64_t kWritebackBytes = 8u << 20;

struct Tables {
    uint32_t t[8][256];
    Tables() {
        const uint32_t poly = 0x82F63B78u;  // reflected Castagnoli polynomial
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ poly : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
};

const Tables &tables() {
    static const Tables tb;
    return tb;
}

// The raw CRC register (no inversions) after `n` zero bytes from `c`.
uint32_t after_zeros(uint32_t c, size_t n) {
    const Tables &tb = tables();
    while (n--) c = tb.t[0][c & 0xFF] ^ (c >> 8);
    return c;
}

// The register update is linear, so the register of A followed by B is the
// register of A moved past len(B) zero bytes, xor B's register from 0. These
// tables move a register past kLane zero bytes, one byte of it at a time.
constexpr size_t kLane = 8192;

struct LaneShift {
    uint32_t t[4][256];
    LaneShift() {
        uint32_t basis[32];
        for (int i = 0; i < 32; ++i) basis[i] = after_zeros(1u << i, kLane);
        for (int k = 0; k < 4; ++k)
            for (uint32_t b = 0; b < 256; ++b) {
                uint32_t v = 0;
                for (int i = 0; i < 8; ++i)
                    if (b >> i & 1) v ^= basis[8 * k + i];
                t[k][b] = v;
            }
    }
    uint32_t operator()(uint32_t c) const {
        return t[0][c & 0xFF] ^ t[1][(c >> 8) & 0xFF] ^ t[2][(c >> 16) & 0xFF] ^ t[3][c >> 24];
    }
};

const LaneShift &lane_shift() {
    static const LaneShift shift;
    return shift;
}

#if defined(__x86_64__)
// The crc32 instruction has a latency of three cycles and a throughput of
// one: three independent lanes keep it busy, then combine.
__attribute__((target("sse4.2"))) uint32_t crc32c_hw(uint32_t crc, const unsigned char *p, size_t n) {
    uint64_t c = ~crc;
    if (n >= 3 * kLane) {
        const LaneShift &shift = lane_shift();
        while (n >= 3 * kLane) {
            uint64_t a = c, b = 0, d = 0;
            for (size_t i = 0; i < kLane; i += 8) {
                uint64_t va, vb, vd;
                std::memcpy(&va, p + i, 8);
                std::memcpy(&vb, p + kLane + i, 8);
                std::memcpy(&vd, p + 2 * kLane + i, 8);
                a = __builtin_ia32_crc32di(a, va);
                b = __builtin_ia32_crc32di(b, vb);
                d = __builtin_ia32_crc32di(d, vd);
            }
            const uint32_t ab = shift(static_cast<uint32_t>(a)) ^ static_cast<uint32_t>(b);
            c = shift(ab) ^ static_cast<uint32_t>(d);
            p += 3 * kLane;
            n -= 3 * kLane;
        }
    }
    while (n >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        c = __builtin_ia32_crc32di(c, v);
        p += 8;
        n -= 8;
    }
    uint32_t c32 = static_cast<uint32_t>(c);
    while (n--) c32 = __builtin_ia32_crc32qi(c32, *p++);
    return ~c32;
}

bool have_hw() {
    static const bool yes = __builtin_cpu_supports("sse4.2");
    return yes;
}
#endif

// Slicing by eight.
uint32_t crc32c_sw(uint32_t crc, const unsigned char *p, size_t n) {
    const Tables &tb = tables();
    uint32_t c = ~crc;
    while (n >= 8) {
        uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + 4, 4);
        lo ^= c;
        c = tb.t[7][lo & 0xFF] ^ tb.t[6][(lo >> 8) & 0xFF] ^ tb.t[5][(lo >> 16) & 0xFF] ^
            tb.t[4][lo >> 24] ^ tb.t[3][hi & 0xFF] ^ tb.t[2][(hi >> 8) & 0xFF] ^
            tb.t[1][(hi >> 16) & 0xFF] ^ tb.t[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n--) c = tb.t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return ~c;
}

uint64_t load_le64(const unsigned char *p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void store_le64(uint64_t v, unsigned char *p) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void store_le32(uint32_t v, unsigned char *p) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t load_le32(const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

}  // namespace

uint32_t crc32c(uint32_t crc, const unsigned char *data, size_t n) {
#if defined(__x86_64__)
    if (have_hw()) return crc32c_hw(crc, data, n);
#endif
    return crc32c_sw(crc, data, n);
}

uint32_t mask_crc(uint32_t crc) { return ((crc >> 15) | (crc << 17)) + 0xa282ead8u; }

bool check_header(const unsigned char *head, uint64_t remaining, uint64_t *length, std::string *problem) {
    if (remaining < kHeaderBytes) {
        *problem = "the file ends inside a record header (" + std::to_string(remaining) + " bytes left, " +
                   std::to_string(kHeaderBytes) + " needed)";
        return false;
    }
    const uint64_t n = load_le64(head);
    if (mask_crc(crc32c(0, head, 8)) != load_le32(head + 8)) {
        *problem = "the record length checksum does not match";
        return false;
    }
    const uint64_t frame = kHeaderBytes + kFooterBytes;
    if (remaining < frame || n > remaining - frame) {
        *problem = "the record declares " + std::to_string(n) + " data bytes but only " +
                   std::to_string(remaining < frame ? 0 : remaining - frame) + " remain in the file";
        return false;
    }
    *length = n;
    return true;
}

bool check_footer(uint32_t data_crc, const unsigned char *footer, std::string *problem) {
    if (mask_crc(data_crc) == load_le32(footer)) return true;
    *problem = "the record data checksum does not match";
    return false;
}

FramingResult check_file(const std::string &path) {
    FramingResult r;
    auto fail = [&r](uint64_t offset, std::string problem) {
        r.ok = false;
        r.offset = offset;
        r.problem = std::move(problem);
        return r;
    };
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    if (!f) return fail(0, std::string("cannot be opened: ") + std::strerror(errno));
    struct stat st;
    if (fstat(fileno(f.get()), &st) != 0) return fail(0, std::string("cannot be read: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return fail(0, "is not a regular file");
    const uint64_t size = static_cast<uint64_t>(st.st_size);

    std::vector<unsigned char> buf(1 << 16);
    uint64_t pos = 0;
    std::string problem;
    while (pos < size) {
        const uint64_t remaining = size - pos;
        unsigned char head[kHeaderBytes];
        const size_t head_n = static_cast<size_t>(remaining < kHeaderBytes ? remaining : kHeaderBytes);
        if (std::fread(head, 1, head_n, f.get()) != head_n) return fail(pos, "read error");
        uint64_t length = 0;
        if (!check_header(head, remaining, &length, &problem)) return fail(pos, std::move(problem));
        uint32_t crc = 0;
        uint64_t left = length;
        while (left > 0) {
            const size_t n = static_cast<size_t>(left < buf.size() ? left : buf.size());
            if (std::fread(buf.data(), 1, n, f.get()) != n) return fail(pos, "read error");
            crc = crc32c(crc, buf.data(), n);
            left -= n;
        }
        unsigned char tail[kFooterBytes];
        if (std::fread(tail, 1, kFooterBytes, f.get()) != kFooterBytes) return fail(pos, "read error");
        if (!check_footer(crc, tail, &problem)) return fail(pos, std::move(problem));
        pos += kHeaderBytes + kFooterBytes + length;
        ++r.records;
    }
    return r;
}

void frame_header(uint64_t length, unsigned char head[kHeaderBytes]) {
    store_le64(length, head);
    store_le32(mask_crc(crc32c(0, head, 8)), head + 8);
}

void frame_footer(uint32_t data_crc, unsigned char footer[kFooterBytes]) { store_le32(mask_crc(data_crc), footer); }

FrameWriter::~FrameWriter() {
    if (file_) std::fclose(file_);
}

int FrameWriter::open(const std::string &path) {
    if (file_) return EBUSY;
    errno = 0;
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) return errno ? errno : EIO;
    frames_ = bytes_ = written_back_ = 0;
    return 0;
}

int FrameWriter::write(const unsigned char *data, uint64_t length) {
    if (!file_) return EBADF;
    unsigned char head[kHeaderBytes], footer[kFooterBytes];
    frame_header(length, head);
    frame_footer(crc32c(0, data, static_cast<size_t>(length)), footer);
    errno = 0;
    if (std::fwrite(head, 1, kHeaderBytes, file_) != kHeaderBytes ||
        (length && std::fwrite(data, 1, static_cast<size_t>(length), file_) != length) ||
        std::fwrite(footer, 1, kFooterBytes, file_) != kFooterBytes)
        return errno ? errno : EIO;
    ++frames_;
    bytes_ += kHeaderBytes + length + kFooterBytes;
#ifdef __linux__
    // Start the disk writes as the file grows instead of leaving a whole
    // shard for the fsync at close to wait for. Advisory: an error here is
    // reported by that fsync.
    if (bytes_ - written_back_ >= kWritebackBytes) {
        if (std::fflush(file_) != 0) return errno ? errno : EIO;
        sync_file_range(fileno(file_), static_cast<off64_t>(written_back_),
                        static_cast<off64_t>(bytes_ - written_back_), SYNC_FILE_RANGE_WRITE);
        written_back_ = bytes_;
    }
#endif
    return 0;
}

int FrameWriter::close(bool sync) {
    if (!file_) return 0;
    errno = 0;
    int err = 0;
    if (std::fflush(file_) != 0) err = errno ? errno : EIO;
    if (!err && sync && fsync(fileno(file_)) != 0) err = errno ? errno : EIO;
    errno = 0;
    if (std::fclose(file_) != 0 && !err) err = errno ? errno : EIO;
    file_ = nullptr;
    return err;
}

}  // namespace recordio
