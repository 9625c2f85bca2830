#include "pkg/part_buffer.h"

#include <algorithm>
#include <cstring>

#include "pkg/package_record.h"
#include "support/endian.h"

namespace deployboot {
namespace {

// Passing over content moves at most this much at a time.
constexpr size_t PASS_OVER_PIECE = 16384;

}  // namespace

PartBuffer::PartBuffer(std::istream& source, bool hashing, std::ostream* copySink)
    : source_(source), copySink_(copySink), hashing_(hashing) {}

PartBuffer::~PartBuffer() = default;

std::streamsize PartBuffer::readSource(char* s, std::streamsize n) {
  std::streambuf* src = source_.rdbuf();
  if (src == nullptr) return 0;
  std::streamsize got = 0;
  while (got < n) {
    const std::streamsize k = src->sgetn(s + got, n - got);
    if (k <= 0) break;
    got += k;
  }
  return got;
}

bool PartBuffer::readFileHeader(uint8_t header[8]) {
  const std::streamsize got = readSource(reinterpret_cast<char*>(header), 8);
  copyOut(reinterpret_cast<const char*>(header), static_cast<size_t>(got));
  return got == 8;
}

void PartBuffer::copyOut(const char* s, size_t n) {
  if (copySink_ != nullptr && n > 0) copySink_->write(s, static_cast<std::streamsize>(n));
}

void PartBuffer::consume(const char* s, size_t n) {
  // Bytes handed back to the source were hashed and copied when first read.
  const size_t again = std::min<size_t>(putBack_, n);
  putBack_ -= static_cast<uint32_t>(again);
  s += again;
  n -= again;
  if (n == 0) return;
  if (hashing_) sha1_.update(s, n);
  copyOut(s, n);
}

bool PartBuffer::discard(uint32_t n) {
  char piece[PASS_OVER_PIECE];
  while (n > 0) {
    const std::streamsize want = std::min<uint32_t>(n, PASS_OVER_PIECE);
    const std::streamsize got = readSource(piece, want);
    remaining_ -= static_cast<uint32_t>(got);
    consume(piece, static_cast<size_t>(got));
    if (got < want) return false;
    n -= static_cast<uint32_t>(got);
  }
  return true;
}

int PartBuffer::nextRawPart() {
  if (remaining_ > 0) {
    bool skipped = false;
    if (!tracking()) {
      std::streambuf* src = source_.rdbuf();
      skipped = src != nullptr &&
                src->pubseekoff(remaining_, std::ios_base::cur, std::ios_base::in) != pos_type(-1);
      if (skipped) remaining_ = 0;
    }
    if (!skipped && !discard(remaining_)) return -1;
  }
  offset_ += length_;
  length_ = 0;
  putBack_ = 0;

  uint8_t header[PART_HEADER_SIZE];
  if (readSource(reinterpret_cast<char*>(header), PART_HEADER_SIZE) <
      static_cast<std::streamsize>(PART_HEADER_SIZE)) {
    finishDigest();
    return -1;
  }
  copyOut(reinterpret_cast<const char*>(header), PART_HEADER_SIZE);
  const int type = loadLe16(header);
  if (hashing_) {
    // Each package's signed span starts at its header part.
    if (type == PART_PACKAGE) finishDigest();
    sha1_.update(header, PART_HEADER_SIZE);
  }
  offset_ += PART_HEADER_SIZE;
  length_ = remaining_ = loadLe32(header + 2);
  return type;
}

const std::array<uint8_t, Sha1::DIGEST_SIZE>& PartBuffer::finishDigest() {
  digest_ = sha1_.finish();
  digestReady_ = true;
  return digest_;
}

bool PartBuffer::readUnhashed(void* out, size_t n) {
  if (n > remaining_) return false;
  char* s = static_cast<char*>(out);
  const std::streamsize got = readSource(s, static_cast<std::streamsize>(n));
  remaining_ -= static_cast<uint32_t>(got);
  const size_t again = std::min<size_t>(putBack_, static_cast<size_t>(got));
  putBack_ -= static_cast<uint32_t>(again);
  copyOut(s + again, static_cast<size_t>(got) - again);
  return static_cast<size_t>(got) == n;
}

PartBuffer::pos_type PartBuffer::seekoff(off_type off, std::ios_base::seekdir dir,
                                         std::ios_base::openmode which) {
  off_type base = 0;
  if (dir == std::ios_base::cur) base = position();
  else if (dir == std::ios_base::end) base = length_;
  return seekpos(pos_type(base + off), which);
}

PartBuffer::pos_type PartBuffer::seekpos(pos_type pos, std::ios_base::openmode which) {
  const off_type p = off_type(pos);
  if (!(which & std::ios_base::in) || p < 0 || p > static_cast<off_type>(length_)) return pos_type(-1);
  if (p == static_cast<off_type>(position())) return pos;
  if (!tracking()) {
    std::streambuf* src = source_.rdbuf();
    if (src == nullptr || src->pubseekpos(pos_type(off_type(offset_) + p), std::ios_base::in) == pos_type(-1))
      return pos_type(-1);
    remaining_ = length_ - static_cast<uint32_t>(p);
    putBack_ = 0;
    return pos;
  }
  // The source may be a pipe and every byte must be hashed once: forwards only.
  if (p < static_cast<off_type>(position())) return pos_type(-1);
  if (!discard(static_cast<uint32_t>(p) - position())) return pos_type(-1);
  return pos;
}

std::streamsize PartBuffer::showmanyc() {
  if (remaining_ == 0) return -1;
  std::streambuf* src = source_.rdbuf();
  const std::streamsize available = src ? src->in_avail() : -1;
  if (available <= 0) return available;
  return std::min<std::streamsize>(available, remaining_);
}

std::streamsize PartBuffer::xsgetn(char* s, std::streamsize n) {
  const std::streamsize want = std::min<std::streamsize>(n, remaining_);
  if (want <= 0) return 0;
  const std::streamsize got = readSource(s, want);
  remaining_ -= static_cast<uint32_t>(got);
  consume(s, static_cast<size_t>(got));
  return got;
}

PartBuffer::int_type PartBuffer::underflow() {
  if (remaining_ == 0) return traits_type::eof();
  std::streambuf* src = source_.rdbuf();
  return src ? src->sgetc() : traits_type::eof();
}

PartBuffer::int_type PartBuffer::uflow() {
  if (remaining_ == 0) return traits_type::eof();
  std::streambuf* src = source_.rdbuf();
  const int_type c = src ? src->sbumpc() : traits_type::eof();
  if (traits_type::eq_int_type(c, traits_type::eof())) return c;
  --remaining_;
  const char ch = traits_type::to_char_type(c);
  consume(&ch, 1);
  return c;
}

PartBuffer::int_type PartBuffer::pbackfail(int_type c) {
  // Nothing before the start of the current part can be handed back.
  std::streambuf* src = source_.rdbuf();
  if (remaining_ >= length_ || src == nullptr) return traits_type::eof();
  const bool any = traits_type::eq_int_type(c, traits_type::eof());
  const int_type r = any ? src->sungetc() : src->sputbackc(traits_type::to_char_type(c));
  if (traits_type::eq_int_type(r, traits_type::eof())) return r;
  ++remaining_;
  if (tracking()) ++putBack_;
  return any ? traits_type::not_eof(r) : c;
}

}  // namespace deployboot
