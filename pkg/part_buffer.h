// The byte source under PackageStream: walks the parts of a package file
// strictly forwards, bounds reads to the current part, keeps the running
// SHA-1 of the signed span and copies every consumed byte to a copy sink.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <ostream>
#include <streambuf>

#include "pkg/sha1.h"

namespace deployboot {

class PartBuffer : public std::streambuf {
 public:
  // source and copySink stay owned by the caller. With hashing or a copy
  // sink the source is never seeked, so a pipe works.
  PartBuffer(std::istream& source, bool hashing, std::ostream* copySink);
  ~PartBuffer() override;

  // Reads the 8-byte file header straight from the source (copied, never
  // hashed). False on a short read.
  bool readFileHeader(uint8_t header[8]);

  // Passes over the rest of the current part and reads the next part header.
  // Returns its type, or -1 at the end of the file or on a short read.
  int nextRawPart();

  uint32_t partOffset() const { return offset_; }
  uint32_t partLength() const { return length_; }
  uint32_t remaining() const { return remaining_; }
  uint32_t position() const { return length_ - remaining_; }
  bool hashing() const { return hashing_; }

  // Finalises the running SHA-1 (which then starts afresh) into digest().
  const std::array<uint8_t, Sha1::DIGEST_SIZE>& finishDigest();
  bool digestReady() const { return digestReady_; }
  const std::array<uint8_t, Sha1::DIGEST_SIZE>& digest() const { return digest_; }

  // Reads n content bytes that bypass the hash but still reach the copy
  // sink. False, consuming nothing, when fewer than n remain in the part.
  bool readUnhashed(void* out, size_t n);

 protected:
  pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override;
  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;
  std::streamsize showmanyc() override;
  std::streamsize xsgetn(char* s, std::streamsize n) override;
  int_type underflow() override;
  int_type uflow() override;
  int_type pbackfail(int_type c) override;

 private:
  bool tracking() const { return hashing_ || copySink_ != nullptr; }
  // Hashes and copies delivered bytes, minus those handed back before.
  void consume(const char* s, size_t n);
  void copyOut(const char* s, size_t n);
  // Reads and discards n content bytes (hashed and copied); false when short.
  bool discard(uint32_t n);
  std::streamsize readSource(char* s, std::streamsize n);

  std::istream& source_;
  std::ostream* copySink_;
  const bool hashing_;
  uint32_t offset_ = FILE_HEADER_OFFSET;
  uint32_t length_ = 0;
  uint32_t remaining_ = 0;
  uint32_t putBack_ = 0;
  bool digestReady_ = false;
  Sha1 sha1_;
  std::array<uint8_t, Sha1::DIGEST_SIZE> digest_{};

  static constexpr uint32_t FILE_HEADER_OFFSET = 8;
};

}  // namespace deployboot
