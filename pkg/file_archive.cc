#include "pkg/file_archive.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "pkg/file_transaction.h"
#include "pkg/package_stream.h"
#include "support/endian.h"

namespace deployboot {
namespace {

constexpr size_t FILE_DATA_PIECE = 16384;
constexpr size_t SKIP_PIECE = 1024;
constexpr int WINDOW_BITS = 15;  // zlib wrapper, 32 KiB window

}  // namespace

ArchiveInflater::ArchiveInflater(PackageStream& stream) : stream_(stream) {
  ready_ = inflateInit2(&z_, WINDOW_BITS) == Z_OK;
  ended_ = !ready_;
}

ArchiveInflater::~ArchiveInflater() {
  if (ready_) inflateEnd(&z_);
}

bool ArchiveInflater::refill() {
  while (!ended_) {
    if (z_.avail_in == 0) {
      stream_.read(reinterpret_cast<char*>(in_), sizeof in_);
      z_.next_in = in_;
      z_.avail_in = static_cast<uInt>(stream_.gcount());
    }
    z_.next_out = out_;
    z_.avail_out = sizeof out_;
    const int rc = inflate(&z_, Z_PARTIAL_FLUSH);
    outPos_ = 0;
    outEnd_ = sizeof out_ - z_.avail_out;
    if (rc != Z_OK) ended_ = true;  // stream end, corrupt data or no more input
    if (outEnd_ > 0) return true;
  }
  return false;
}

bool ArchiveInflater::read(void* out, size_t n) {
  auto* dst = static_cast<unsigned char*>(out);
  while (n > 0) {
    if (outPos_ == outEnd_ && !refill()) return false;
    const size_t take = std::min(n, outEnd_ - outPos_);
    std::memcpy(dst, out_ + outPos_, take);
    outPos_ += take;
    dst += take;
    n -= take;
  }
  return true;
}

bool ArchiveInflater::skip(uint64_t n) {
  unsigned char piece[SKIP_PIECE];
  while (n > 0) {
    const size_t take = static_cast<size_t>(std::min<uint64_t>(n, sizeof piece));
    if (!read(piece, take)) return false;
    n -= take;
  }
  return true;
}

bool unsafeEntryName(const std::string& name) {
  if (name.find('\0') != std::string::npos) return true;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0) return true;
    start = end + 1;
  }
  return false;
}

namespace {

struct EntryHeader {
  uint16_t mode;
  bool skipMarker;
  uint32_t size;
  uint16_t nameLength;
};

EntryHeader decodeEntryHeader(const uint8_t h[ARCHIVE_ENTRY_HEADER_SIZE]) {
  return {loadLe16(h), h[23] != 0, loadLe32(h + 24), loadLe16(h + 28)};
}

// Copies one regular file's data into a new temporary file of transaction.
bool writeEntry(ArchiveInflater& archive, const EntryHeader& entry, const std::string& name,
                const std::string& target, PackageRecord& record, FileTransaction& transaction,
                ExtractObserver& observer) {
  auto out = transaction.createFile(target, entry.size, entry.mode & 07777);
  if (!out->good()) {
    observer.writeFailed(name);
    return false;
  }
  record.files.insert(target);
  static char piece[FILE_DATA_PIECE];
  for (uint32_t left = entry.size; left > 0;) {
    const uint32_t take = std::min<uint32_t>(left, sizeof piece);
    if (!archive.read(piece, take)) {
      observer.broken();
      return false;
    }
    if (!out->write(piece, take)) {
      observer.writeFailed(name);
      return false;
    }
    left -= take;
  }
  out->close();
  if (out->fail()) {
    observer.writeFailed(name);
    return false;
  }
  return true;
}

}  // namespace

bool extractFiles(PackageStream& stream, PackageRecord& record, FileTransaction& transaction,
                  const std::string& root, ExtractObserver* observer) {
  ExtractObserver quiet;
  ExtractObserver& report = observer ? *observer : quiet;
  bool ok = true;
  {
    ArchiveInflater archive(stream);
    for (;;) {
      uint8_t h[ARCHIVE_ENTRY_HEADER_SIZE];
      if (!archive.read(h, sizeof h)) break;  // the archive ends at an entry boundary
      const EntryHeader entry = decodeEntryHeader(h);
      std::string name(entry.nameLength, '\0');
      if (!archive.read(name.data(), name.size()) || unsafeEntryName(name)) {
        report.broken();
        ok = false;
        break;
      }
      if ((entry.mode & S_IFMT) == S_IFREG && !entry.skipMarker) {
        const std::string target = root + (name.starts_with('/') ? "" : "/") + name;
        if (!writeEntry(archive, entry, name, target, record, transaction, report)) {
          ok = false;
          break;
        }
        report.progress(stream);
      } else {
        // Directories, links and skipped entries are never created. Data
        // that ends early ends the archive at the next header read.
        archive.skip(entry.size);
      }
    }
  }
  // Reading up to the end of the part is no failure of the walk.
  if (!stream.bad()) stream.clear();
  return ok;
}

}  // namespace deployboot
