#include "flash/config_archive.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "support/endian.h"

namespace deployboot {

namespace {

ArchiveBlock* allocateBlock(uint32_t capacity) {
  void* memory = ::operator new(sizeof(ArchiveBlock) + capacity, std::nothrow);
  if (!memory) return nullptr;
  auto* block = static_cast<ArchiveBlock*>(memory);
  block->magic = MAGIC_ARCHIVE_BLOCK;
  block->length = capacity;
  block->position = 0;
  block->next = nullptr;
  return block;
}

// Turns a filled block into a readable one: length becomes the bytes held,
// position the read position.
void seal(ArchiveBlock* block) {
  block->length = block->position;
  block->position = 0;
}

// The decoded status record of one entry.
struct EntryStatus {
  uint32_t mode = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint64_t size = 0;
  timespec atime{};
  timespec mtime{};
};

void encodeStatus(const struct stat& st, uint8_t* out) {
  storeLe32(out + 0, st.st_mode);
  storeLe32(out + 4, st.st_uid);
  storeLe32(out + 8, st.st_gid);
  storeLe64(out + 12, static_cast<uint64_t>(st.st_size));
  storeLe64(out + 20, static_cast<uint64_t>(st.st_atim.tv_sec));
  storeLe32(out + 28, static_cast<uint32_t>(st.st_atim.tv_nsec));
  storeLe64(out + 32, static_cast<uint64_t>(st.st_mtim.tv_sec));
  storeLe32(out + 40, static_cast<uint32_t>(st.st_mtim.tv_nsec));
}

EntryStatus decodeStatus(const uint8_t* in) {
  EntryStatus status;
  status.mode = loadLe32(in + 0);
  status.uid = loadLe32(in + 4);
  status.gid = loadLe32(in + 8);
  status.size = loadLe64(in + 12);
  status.atime.tv_sec = static_cast<time_t>(static_cast<int64_t>(loadLe64(in + 20)));
  status.atime.tv_nsec = static_cast<long>(loadLe32(in + 28));
  status.mtime.tv_sec = static_cast<time_t>(static_cast<int64_t>(loadLe64(in + 32)));
  status.mtime.tv_nsec = static_cast<long>(loadLe32(in + 40));
  return status;
}

// Appends to a chain that is being filled. Every failure is running out of
// memory; the chain built so far stays owned by the writer.
class ArchiveWriter {
 public:
  ~ArchiveWriter() { freeArchiveChain(first_); }

  bool start() {
    first_ = current_ = allocateBlock(ARCHIVE_BLOCK_CAPACITY);
    return first_ != nullptr;
  }

  // Paths are read back in place, so one never straddles two blocks.
  bool appendPath(const std::string& path) {
    const size_t needed = path.size() + 1;
    if (needed > UINT32_MAX) return false;
    if (freeBytes() < needed && !chain(static_cast<uint32_t>(needed))) return false;
    std::memcpy(current_->data() + current_->position, path.c_str(), needed);
    current_->position += static_cast<uint32_t>(needed);
    return true;
  }

  bool append(const void* bytes, size_t count) {
    const auto* from = static_cast<const uint8_t*>(bytes);
    while (count > 0) {
      size_t room = 0;
      uint8_t* to = freeSpace(&room);
      if (!to) return false;
      const size_t n = count < room ? count : room;
      std::memcpy(to, from, n);
      commit(n);
      from += n;
      count -= n;
    }
    return true;
  }

  // Free space of the current block, chaining a fresh block when it is
  // full, so that file contents can be read straight into the chain.
  uint8_t* freeSpace(size_t* room) {
    if (freeBytes() == 0 && !chain(ARCHIVE_BLOCK_CAPACITY)) return nullptr;
    *room = freeBytes();
    return current_->data() + current_->position;
  }

  void commit(size_t count) { current_->position += static_cast<uint32_t>(count); }

  std::unique_ptr<ConfigArchive> finish() {
    seal(current_);
    auto archive = std::make_unique<ConfigArchive>(first_);
    first_ = current_ = nullptr;
    return archive;
  }

 private:
  size_t freeBytes() const { return current_->length - current_->position; }

  bool chain(uint32_t capacity) {
    ArchiveBlock* block = allocateBlock(capacity);
    if (!block) return false;
    seal(current_);
    current_->next = block;
    current_ = block;
    return true;
  }

  ArchiveBlock* first_ = nullptr;
  ArchiveBlock* current_ = nullptr;
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded.
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

ssize_t readRetrying(int fd, void* buffer, size_t count) {
  ssize_t n;
  do {
    n = ::read(fd, buffer, count);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool appendFileContents(ArchiveWriter& writer, int fd, uint64_t size) {
  uint64_t left = size;
  while (left > 0) {
    size_t room = 0;
    uint8_t* space = writer.freeSpace(&room);
    if (!space) return false;
    const size_t want = left < room ? static_cast<size_t>(left) : room;
    const ssize_t n = readRetrying(fd, space, want);
    if (n <= 0) return false;  // an error, or the file shrank
    writer.commit(static_cast<size_t>(n));
    left -= static_cast<uint64_t>(n);
  }
  // The recorded size must be the whole file: one that grew while it was
  // read would otherwise be cut silently.
  char probe;
  return readRetrying(fd, &probe, 1) == 0;
}

bool packPath(ArchiveWriter& writer, const std::string& path);

bool appendEntry(ArchiveWriter& writer, const std::string& path, const struct stat& st) {
  uint8_t record[ENTRY_STATUS_SIZE];
  encodeStatus(st, record);
  return writer.appendPath(path) && writer.append(record, sizeof record);
}

bool packFile(ArchiveWriter& writer, const std::string& path, const struct stat& st) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (file.get() < 0) return false;
  return appendEntry(writer, path, st) &&
         appendFileContents(writer, file.get(), static_cast<uint64_t>(st.st_size));
}

bool packDirectory(ArchiveWriter& writer, const std::string& path, const struct stat& st) {
  DIR* listing = opendir(path.c_str());
  if (!listing) return false;
  bool ok = appendEntry(writer, path, st);
  while (ok) {
    errno = 0;
    const dirent* entry = readdir(listing);
    if (!entry) {
      ok = errno == 0;
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    ok = packPath(writer, path + "/" + name);
  }
  closedir(listing);
  return ok;
}

bool packPath(ArchiveWriter& writer, const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;  // follows links: a dangling one fails
  if (S_ISREG(st.st_mode)) return packFile(writer, path, st);
  if (S_ISDIR(st.st_mode)) return packDirectory(writer, path, st);
  return true;  // devices, pipes and sockets are not carried over
}

// Reads a sealed chain from its first block onwards.
class ArchiveReader {
 public:
  explicit ArchiveReader(ArchiveBlock* first) : current_(first) {}

  // True when no unread byte is left; exhausted blocks are skipped. A block
  // with a wrong magic marks the chain as damaged.
  bool atEnd() {
    while (current_ && current_->position == current_->length) advance();
    return current_ == nullptr;
  }

  bool damaged() const { return damaged_; }

  // The NUL-terminated path at the read position, or null when the block
  // holds no complete string there.
  const char* takePath() {
    if (atEnd()) return nullptr;
    const uint8_t* start = current_->data() + current_->position;
    const size_t left = current_->length - current_->position;
    const void* nul = std::memchr(start, 0, left);
    if (!nul) return nullptr;
    current_->position += static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - start + 1);
    return reinterpret_cast<const char*>(start);
  }

  bool take(void* out, size_t count) {
    auto* to = static_cast<uint8_t*>(out);
    while (count > 0) {
      const uint8_t* from = nullptr;
      const size_t n = nextSpan(count, &from);
      if (n == 0) return false;
      std::memcpy(to, from, n);
      to += n;
      count -= n;
    }
    return true;
  }

  // Up to `count` bytes in place at the read position, consumed; 0 at the
  // end of the chain.
  size_t nextSpan(uint64_t count, const uint8_t** span) {
    if (atEnd()) return 0;
    const size_t left = current_->length - current_->position;
    const size_t n = count < left ? static_cast<size_t>(count) : left;
    *span = current_->data() + current_->position;
    current_->position += static_cast<uint32_t>(n);
    return n;
  }

 private:
  void advance() {
    current_ = current_->next;
    if (current_ && current_->magic != MAGIC_ARCHIVE_BLOCK) {
      damaged_ = true;
      current_ = nullptr;
    }
  }

  ArchiveBlock* current_;
  bool damaged_ = false;
};

bool writeAll(int fd, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    const ssize_t n = ::write(fd, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

mode_t permissionBits(const EntryStatus& status) { return status.mode & 07777; }

bool restoreFile(ArchiveReader& reader, const char* path, const EntryStatus& status) {
  // Truncating costs nothing on a fresh file system and keeps an existing
  // longer file from leaving its old tail behind the new contents.
  FileDescriptor file(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0600));
  if (file.get() < 0) return false;
  uint64_t left = status.size;
  while (left > 0) {
    const uint8_t* span = nullptr;
    const size_t n = reader.nextSpan(left, &span);
    if (n == 0 || !writeAll(file.get(), span, n)) return false;
    left -= n;
  }
  // Owner before mode: changing the owner clears set-user-ID and
  // set-group-ID bits, which the mode then puts back.
  (void)!fchown(file.get(), status.uid, status.gid);
  (void)!fchmod(file.get(), permissionBits(status));
  const timespec times[2] = {status.atime, status.mtime};
  (void)!futimens(file.get(), times);
  return file.close();
}

// Mode and times of a directory are applied once its contents are written:
// writing them would change its modification time, and a mode without
// write permission would keep an unprivileged caller from filling it.
struct PendingDirectory {
  std::string path;
  EntryStatus status;
};

bool restoreDirectory(const char* path, const EntryStatus& status,
                      std::vector<PendingDirectory>& pending) {
  if (::mkdir(path, 0700) != 0) return false;  // an existing directory fails too
  (void)!::chown(path, status.uid, status.gid);
  pending.push_back({path, status});
  return true;
}

void finishDirectories(const std::vector<PendingDirectory>& pending) {
  // Innermost first, so that a parent's mode cannot bar the way to a child.
  for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
    (void)!::chmod(it->path.c_str(), permissionBits(it->status));
    const timespec times[2] = {it->status.atime, it->status.mtime};
    (void)!utimensat(AT_FDCWD, it->path.c_str(), times, 0);
  }
}

bool unpackEntries(ArchiveReader& reader, std::vector<PendingDirectory>& pending) {
  while (!reader.atEnd()) {
    const char* path = reader.takePath();
    uint8_t record[ENTRY_STATUS_SIZE];
    if (!path || !reader.take(record, sizeof record)) return false;
    const EntryStatus status = decodeStatus(record);
    if (S_ISREG(status.mode)) {
      if (!restoreFile(reader, path, status)) return false;
    } else if (S_ISDIR(status.mode)) {
      if (!restoreDirectory(path, status, pending)) return false;
    }
  }
  return !reader.damaged();
}

}  // namespace

void freeArchiveChain(ArchiveBlock* first) {
  while (first) {
    ArchiveBlock* next = first->next;
    first->magic = 0;
    first->length = 0;
    first->position = 0;
    first->next = nullptr;
    ::operator delete(first);
    first = next;
  }
}

ConfigArchive::~ConfigArchive() { freeArchiveChain(first_); }

size_t ConfigArchive::blockCount() const {
  size_t count = 0;
  for (const ArchiveBlock* b = first_; b; b = b->next) ++count;
  return count;
}

size_t ConfigArchive::packedBytes() const {
  size_t bytes = 0;
  for (const ArchiveBlock* b = first_; b; b = b->next) bytes += b->length;
  return bytes;
}

std::unique_ptr<ConfigArchive> packTree(const std::string& path) {
  ArchiveWriter writer;
  if (!writer.start() || !packPath(writer, path)) return nullptr;
  return writer.finish();
}

int unpackArchive(std::unique_ptr<ConfigArchive> archive) {
  if (!archive || !archive->firstBlock() || archive->firstBlock()->magic != MAGIC_ARCHIVE_BLOCK)
    return 0;
  ArchiveReader reader(archive->firstBlock());
  std::vector<PendingDirectory> pending;
  const bool ok = unpackEntries(reader, pending);
  finishDirectories(pending);
  return ok ? 1 : 0;
}

}  // namespace deployboot
