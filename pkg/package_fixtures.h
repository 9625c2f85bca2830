// Package files for the tests of the reader, the signature and the
// installation: built with the writer and signed with a fixed test key.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <ext/stdio_filebuf.h>

#include <istream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pkg/package_writer.h"
#include "pkg/signature.h"

namespace deployboot::fixtures {

inline const SigningKey& testKey() {
  static const SigningKey key = [] {
    curve25519::Bytes32 secret{};
    for (size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<uint8_t>(3 * i + 1);
    SigningKey k;
    signingKeyFromSecret(secret, &k);
    return k;
  }();
  return key;
}

inline curve25519::Bytes32 nonce(uint8_t seed) {
  curve25519::Bytes32 n{};
  for (size_t i = 0; i < n.size(); ++i) n[i] = static_cast<uint8_t>(seed * 31 + i);
  return n;
}

// Bytes that do not compress.
inline std::string noise(size_t n, uint32_t seed = 1) {
  std::string out(n, '\0');
  for (char& c : out) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return out;
}

inline std::string compressed(const std::vector<ArchiveEntry>& entries) {
  ArchiveWriter writer;
  for (const ArchiveEntry& e : entries) writer.add(e);
  return writer.finish();
}

// Appends a signature over everything from spanStart (a type-1 header).
inline std::string& sign(std::string& parts, size_t spanStart = 0, size_t padding = 0) {
  appendSignature(parts, spanStart, testKey(), nonce(static_cast<uint8_t>(parts.size())), padding);
  return parts;
}

inline std::string fileOf(const std::string& parts, uint32_t magic = MAGIC_PACKAGE) {
  return fileHeader(magic, parts.size()) + parts;
}

// A signed stand-alone package "foo" 1.0 with the given archive entries.
inline std::string simplePackage(const std::vector<ArchiveEntry>& entries, uint32_t flags = 0) {
  PackageContents c;
  c.record.name = "foo";
  c.record.version = 0x01006600;
  c.record.buildTime = 1700000000;
  c.record.flags = flags;
  c.withFiles = true;
  c.files = compressed(entries);
  std::string parts = packageParts(c);
  return fileOf(sign(parts));
}

// An input stream over the read end of a pipe that a thread fills with
// data: a source that cannot seek, as in the installer.
class PipeSource {
 public:
  explicit PipeSource(std::string data) {
    ::signal(SIGPIPE, SIG_IGN);  // the reader may stop early
    int fds[2];
    if (::pipe(fds) != 0) return;
    buffer_ = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fds[0], std::ios::in);
    stream_ = std::make_unique<std::istream>(buffer_.get());
    writer_ = std::thread([fd = fds[1], d = std::move(data)] {
      for (size_t at = 0; at < d.size();) {
        const ssize_t n = ::write(fd, d.data() + at, d.size() - at);
        if (n <= 0) break;
        at += static_cast<size_t>(n);
      }
      ::close(fd);
    });
  }
  ~PipeSource() {
    stream_.reset();
    buffer_.reset();  // closes the read end, so a blocked writer gives up
    if (writer_.joinable()) writer_.join();
  }
  std::istream& stream() { return *stream_; }

 private:
  std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> buffer_;
  std::unique_ptr<std::istream> stream_;
  std::thread writer_;
};

}  // namespace deployboot::fixtures
