// Package verification and reading, each beside a plain reference on the
// same machine:
//  - the signature check of one package (SHA-256 twice, the curve lift and
//    the joint two-scalar ladder) beside libsodium's crypto_scalarmult;
//  - the package reader (inflate + SHA-1 + copy sink, the installer's walk
//    minus the file writes) on one large package beside a single loop that
//    inflates the same archive with zlib and SHA-1s the same bytes.
// Both sides run in this one thread and are timed by its CPU clock, so that
// other work on the machine does not tilt the ratios. Prints the best of
// several rounds and the ratios.
//
//   package_bench [MIB]      package size in MiB (default 64)
#include <sodium.h>
#include <zlib.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <streambuf>
#include <string>
#include <vector>

#include "pkg/file_archive.h"
#include "pkg/package_stream.h"
#include "pkg/signature.h"
#include "pkg/version.h"
#include "support/endian.h"
#include "bench/bench_content.h"
#include "tests/system/package_builder.h"

using namespace deployboot;
namespace dt = deployboot::testing;

namespace {

double cpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

using deployboot::bench::contentOf;

// A read-only stream over bytes in memory, so that both sides read the
// same source without system calls.
class MemoryBuffer : public std::streambuf {
 public:
  explicit MemoryBuffer(const std::string& bytes) {
    char* p = const_cast<char*>(bytes.data());
    setg(p, p, p + bytes.size());
  }
};

struct Package {
  std::string bytes;
  size_t filesBytes = 0;         // uncompressed file data
  size_t archiveOffset = 0;      // content of the files part
  size_t archiveLength = 0;
};

bool makePackage(size_t targetBytes, const SigningKey& key, Package* out) {
  constexpr size_t FILE_SIZE = 256 * 1024;
  // About 3/4 of the file data survives compression.
  const size_t files = std::max<size_t>(1, targetBytes * 4 / 3 / FILE_SIZE);
  dt::TestPackage package = dt::testPackage("benchpkg", makeVersion(1, 0, 'f', 0));
  for (size_t f = 0; f < files; ++f) {
    package.files.push_back({"bench/file" + std::to_string(f), contentOf(f, FILE_SIZE)});
    out->filesBytes += FILE_SIZE;
  }
  out->bytes = dt::packageFile(package, key);
  // Find the files part for the plain loop.
  for (size_t at = 8; at + PART_HEADER_SIZE <= out->bytes.size();) {
    const int type = loadLe16(out->bytes.data() + at);
    const uint32_t length = loadLe32(out->bytes.data() + at + 2);
    if (type == PART_FILES) {
      out->archiveOffset = at + PART_HEADER_SIZE;
      out->archiveLength = length;
      return true;
    }
    at += PART_HEADER_SIZE + length;
  }
  return false;
}

// The installer's walk of a stand-alone package: header, file archive
// (every regular file's data read in 16384-byte pieces), signature.
// Returns the file bytes delivered, or 0 when the walk failed.
size_t readWithReader(const Package& package, const uint8_t key[32]) {
  MemoryBuffer memory(package.bytes);
  std::istream source(&memory);
  std::ofstream copy("/dev/null", std::ios::binary);
  PackageStream reader(source, true, &copy);
  for (int type : {PART_PACKAGE, PART_BUNDLE, PART_BUNDLE_MEMBERS, PART_ARCH, PART_DEPENDS,
                   PART_PROVIDES, PART_CONFLICTS, PART_IMAGE, PART_FILES, PART_SIGNATURE})
    reader.wantPart(type);
  reader.nextPart();
  PackageRecord record;
  if (!parseHeader(reader, record) || reader.currentType() != PART_FILES) return 0;
  size_t delivered = 0;
  {
    ArchiveInflater archive(reader);
    static char piece[16384];
    for (;;) {
      uint8_t h[ARCHIVE_ENTRY_HEADER_SIZE];
      if (!archive.read(h, sizeof h)) break;
      std::string name(loadLe16(h + 28), '\0');
      if (!archive.read(name.data(), name.size())) return 0;
      for (uint32_t left = loadLe32(h + 24); left > 0;) {
        const uint32_t take = std::min<uint32_t>(left, sizeof piece);
        if (!archive.read(piece, take)) return 0;
        delivered += take;
        left -= take;
      }
    }
  }
  reader.clear();
  reader.nextPart();
  if (reader.currentType() != PART_SIGNATURE || !verifySignature(reader, key)) return 0;
  return delivered;
}

// Keep results alive, so that the measured work is not optimised away.
volatile uint8_t digestSink;
volatile int resultSink;

// One loop over the same bytes: SHA-1 of all of them, zlib inflate of the
// archive. Returns the inflated byte count.
size_t readPlainly(const Package& package) {
  constexpr size_t PIECE = 16384;
  static unsigned char out[PIECE];
  z_stream z{};
  if (inflateInit2(&z, 15) != Z_OK) return 0;
  Sha1 sha1;
  size_t inflated = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(package.bytes.data());
  const size_t archiveEnd = package.archiveOffset + package.archiveLength;
  for (size_t at = 0; at < package.bytes.size();) {
    const size_t n = std::min(PIECE, package.bytes.size() - at);
    sha1.update(data + at, n);
    const size_t from = std::max(at, package.archiveOffset), to = std::min(at + n, archiveEnd);
    if (from < to) {
      z.next_in = const_cast<unsigned char*>(data + from);
      z.avail_in = static_cast<uInt>(to - from);
      do {
        z.next_out = out;
        z.avail_out = PIECE;
        const int rc = inflate(&z, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
          inflateEnd(&z);
          return 0;
        }
        inflated += PIECE - z.avail_out;
      } while (z.avail_out == 0);
    }
    at += n;
  }
  digestSink = sha1.finish()[0];
  inflateEnd(&z);
  return inflated;
}

template <typename F>
double bestOf(int rounds, F&& run) {
  double best = 1e30;
  for (int i = 0; i < rounds; ++i) {
    const double start = cpuSeconds();
    run();
    best = std::min(best, cpuSeconds() - start);
  }
  return best;
}

int benchVerification(const SigningKey& key) {
  // A real signature over some digest, as a package would carry.
  Sha1::Digest digest = Sha1::of("deployboot", 10);
  uint8_t signature[SIGNATURE_SIZE];
  curve25519::Bytes32 nonce = Sha256::of(digest.data(), digest.size());
  while (!signDigest(key, digest, nonce, signature)) nonce = Sha256::of(nonce.data(), 32);
  if (!checkSignature(digest, signature, key.publicKey.data())) {
    std::fprintf(stderr, "package_bench: the signature does not verify\n");
    return 1;
  }
  unsigned char point[crypto_scalarmult_BYTES], scalar[crypto_scalarmult_SCALARBYTES];
  std::memcpy(point, key.publicKey.data(), sizeof point);
  randombytes_buf(scalar, sizeof scalar);

  constexpr int CALLS = 200;
  int accepted = 0;
  const double verify = bestOf(5, [&] {
    for (int i = 0; i < CALLS; ++i) accepted += checkSignature(digest, signature, key.publicKey.data());
  }) / CALLS;
  const double ladder = bestOf(5, [&] {
    curve25519::Bytes32 s, q, e, w;
    std::memcpy(s.data(), signature + 36, 32);
    q = key.publicKey;
    e = Sha256::of(digest.data(), digest.size());
    for (int i = 0; i < CALLS; ++i) accepted += curve25519::jointScalarMult(s, q, e, &w);
  }) / CALLS;
  const double sodium = bestOf(5, [&] {
    unsigned char result[crypto_scalarmult_BYTES];
    for (int i = 0; i < CALLS; ++i) {
      accepted += crypto_scalarmult(result, scalar, point) == 0;
      scalar[0] ^= result[0];
    }
  }) / CALLS;
  resultSink = accepted;
  std::printf("signature check: %.1f us CPU (joint ladder alone %.1f us)\n", verify * 1e6, ladder * 1e6);
  std::printf("crypto_scalarmult: %.1f us CPU\n", sodium * 1e6);
  std::printf("ratio check/scalarmult: %.2f\n", verify / sodium);
  return 0;
}

int benchReader(const SigningKey& key, size_t mib) {
  Package package;
  if (!makePackage(mib * 1024 * 1024, key, &package)) {
    std::fprintf(stderr, "package_bench: no files part in the package\n");
    return 1;
  }
  size_t readerBytes = 0, plainBytes = 0;
  const double reader = bestOf(3, [&] { readerBytes = readWithReader(package, key.publicKey.data()); });
  const double plain = bestOf(3, [&] { plainBytes = readPlainly(package); });
  if (readerBytes == 0 || plainBytes < readerBytes) {
    std::fprintf(stderr, "package_bench: the reader failed (%zu of %zu file bytes)\n", readerBytes,
                 package.filesBytes);
    return 1;
  }
  const double size = static_cast<double>(package.bytes.size()) / 1e6;
  std::printf("package: %.1f MB (%.1f MB of files)\n", size, package.filesBytes / 1e6);
  std::printf("reader (inflate + SHA-1 + copy sink): %.3f s CPU, %.1f MB/s of package\n", reader,
              size / reader);
  std::printf("zlib inflate + SHA-1 loop: %.3f s CPU, %.1f MB/s of package\n", plain, size / plain);
  std::printf("ratio reader/loop throughput: %.2f\n", plain / reader);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 || (argc == 2 && (!std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help")))) {
    std::fprintf(stderr, "usage: package_bench [MIB]\n");
    return 2;
  }
  const long mib = argc == 2 ? std::strtol(argv[1], nullptr, 10) : 64;
  if (mib < 1 || mib > 1024) {
    std::fprintf(stderr, "package_bench: MIB must be 1 to 1024\n");
    return 2;
  }
  if (sodium_init() < 0) {
    std::fprintf(stderr, "package_bench: libsodium does not start\n");
    return 1;
  }
  SigningKey key;
  if (!dt::developmentKey(&key)) {
    std::fprintf(stderr, "package_bench: no signing key\n");
    return 1;
  }
  if (benchVerification(key) != 0) return 1;
  return benchReader(key, static_cast<size_t>(mib));
}
