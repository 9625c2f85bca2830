// The staged set of file operations of one package. New contents go at
// once into temporary files; nothing reaches its target before commit.
// The last operation recorded for a path wins.
#pragma once

#include <fstream>
#include <map>
#include <memory>
#include <string>

namespace deployboot {

class FileTransaction {
 public:
  enum Op : int {
    Move = 0,      // rename source to the target
    MoveTemp = 1,  // the same, source is a temporary file of this transaction
    Symlink = 3,   // create a link at the target whose text is source
    Remove = 4,    // delete the target
  };
  struct Entry {
    int op;
    std::string source;
  };

  // tempDirectory is where temporary files go when the target's own file
  // system has no room ("/ram"; "/tmp" when that does not exist).
  explicit FileTransaction(std::string tempDirectory = "/ram");
  // Rolls back unless committed or rolled back already.
  ~FileTransaction();

  FileTransaction(const FileTransaction&) = delete;
  FileTransaction& operator=(const FileTransaction&) = delete;

  void move(const std::string& source, const std::string& target);
  void symlink(const std::string& linkText, const std::string& path);
  void remove(const std::string& path);

  // A temporary file for target's new content, on target's own file system
  // when sizeHint + 10 % fits there. mode (when not 0) is applied to it.
  // Never null; check the stream's state (errno tells why it failed).
  std::unique_ptr<std::ofstream> createFile(const std::string& target, uint64_t sizeHint,
                                            unsigned mode);

  // Before a package directory is written: false when path has a pending
  // operation other than removal, or exists and is not a directory.
  bool claimDirectory(const std::string& path);

  // Moves first (when not empty) before everything, then removals and links
  // in path order, then moves in path order. progress turns a spinner while
  // copying across file systems.
  void commit(const std::string& first, bool progress);

  // Deletes the temporary files this transaction created and drops every
  // entry. For every way out that does not commit.
  void rollback();

  const std::map<std::string, Entry>& entries() const { return entries_; }
  const Entry* find(const std::string& path) const;

 private:
  void setEntry(const std::string& path, int op, std::string source);
  std::string temporaryDirectoryFor(const std::string& target, uint64_t sizeHint) const;
  void runFirst(const std::string& first);
  void removePath(const std::string& path);
  bool isPendingTemporary(const std::string& path) const;
  void linkPath(const std::string& path, const std::string& text);
  void movePath(const std::string& path, const Entry& entry, bool progress);

  std::string tempDirectory_;
  std::map<std::string, Entry> entries_;
  bool finished_ = false;
};

// Copies the regular file source to path with source's permission bits,
// in blocks of 16384 bytes; source stays. False when nothing was copied
// whole.
bool copyFile(const std::string& source, const std::string& path, bool progress);

// mkdir -p of path's parent directory (mode 0777 before the umask).
void createParentDirectories(const std::string& path);

}  // namespace deployboot
