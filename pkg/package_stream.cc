#include "pkg/package_stream.h"

#include <algorithm>

#include "support/endian.h"

namespace deployboot {

PackageStream::PackageStream(std::istream& source, bool hashing, std::ostream* copySink)
    : std::istream(nullptr), buffer_(source, hashing, copySink) {
  rdbuf(&buffer_);
  uint8_t header[FILE_HEADER_SIZE];
  if (!buffer_.readFileHeader(header)) {
    setstate(std::ios_base::badbit);
    return;
  }
  magic_ = loadLe32(header);
  declaredSize_ = static_cast<uint64_t>(loadLe32(header + 4)) + FILE_HEADER_SIZE;
  if (magic_ != MAGIC_PACKAGE && magic_ != MAGIC_UNRECORDED) setstate(std::ios_base::badbit);
}

PackageStream::~PackageStream() = default;

void PackageStream::wantPart(int type) {
  if (!wanted(type)) wanted_.push_back(type);
}

bool PackageStream::wanted(int type) const {
  return std::find(wanted_.begin(), wanted_.end(), type) != wanted_.end();
}

int PackageStream::nextPart() {
  if (fail()) {
    currentType_ = -1;
    return -1;
  }
  clear();
  for (;;) {
    const int type = buffer_.nextRawPart();
    if (type < 0) {
      currentType_ = -1;
      setstate(std::ios_base::eofbit | std::ios_base::failbit);
      return -1;
    }
    if (wanted(type)) {
      currentType_ = type;
      return type;
    }
  }
}

}  // namespace deployboot
