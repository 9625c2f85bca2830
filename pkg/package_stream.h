// Reads a package file forwards, part by part, as an input stream over the
// current part's content. Serves the download pipe (hashing on, with a copy
// sink) and stored package files (hashing off).
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "pkg/package_record.h"
#include "pkg/part_buffer.h"

namespace deployboot {

class FileTransaction;

class PackageStream : public std::istream {
 public:
  // Reads the file header. A short file or an unknown magic leaves the
  // stream bad, and nextPart then answers -1 at once.
  PackageStream(std::istream& source, bool hashing, std::ostream* copySink = nullptr);
  ~PackageStream() override;

  PackageStream(const PackageStream&) = delete;
  PackageStream& operator=(const PackageStream&) = delete;

  // Add every wanted type before the first nextPart.
  void wantPart(int type);
  // Moves to the next wanted part and returns its type; -1 (end and fail
  // bits set) once the parts are exhausted or the stream failed.
  int nextPart();

  int currentType() const { return currentType_; }
  uint32_t partLength() const { return buffer_.partLength(); }
  // Offset of the current part's content from the start of the file.
  uint32_t partOffset() const { return buffer_.partOffset(); }
  // Content bytes already consumed in the current part.
  uint32_t position() const { return buffer_.position(); }
  uint32_t remaining() const { return buffer_.remaining(); }
  uint32_t magic() const { return magic_; }
  // Length field of the file header + 8.
  uint64_t declaredSize() const { return declaredSize_; }
  bool hashing() const { return buffer_.hashing(); }

  PartBuffer& partBuffer() { return buffer_; }

 private:
  bool wanted(int type) const;

  PartBuffer buffer_;
  std::vector<int> wanted_;
  int currentType_ = 0;
  uint32_t magic_ = 0;
  uint64_t declaredSize_ = 0;
};

// Fills record from the current part (type 1 or 18) and the optional parts
// that follow in their fixed order (24, 16, 2, 23, 3, 19, 17). A part out
// of that order stays current for the caller. False on a short header or
// list, or when the current part is not a header.
bool parseHeader(PackageStream& stream, PackageRecord& record);

// What extractFiles tells its caller, which words the messages and draws
// the progress bar. The default does nothing.
class ExtractObserver {
 public:
  virtual ~ExtractObserver() = default;
  virtual void progress(const PackageStream&) {}
  // "installation of %s failed: broken package"
  virtual void broken() {}
  // A target could not be created, written or closed; errno tells why.
  // entryName is the name as stored in the archive.
  virtual void writeFailed(const std::string& /*entryName*/) {}
};

// Unpacks the compressed file archive of the current part (type 4) into
// temporary files of transaction, below root ("/flash", or "/flash/x/NAME"
// for a disabled package). Regular files are added to record.files.
// Entry names with a ".." component make the package broken.
bool extractFiles(PackageStream& stream, PackageRecord& record, FileTransaction& transaction,
                  const std::string& root, ExtractObserver* observer = nullptr);

}  // namespace deployboot
