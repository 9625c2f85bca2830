// The package installer child of stage 10: reads one package file from
// standard input while the driver downloads it, installs it through one
// file transaction and stores the file itself as the package's image.
// One package file is all or nothing: the transaction is committed only
// when the installation succeeded.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <streambuf>
#include <string>

#include "init/driver.h"
#include "pkg/file_transaction.h"
#include "pkg/repository.h"

namespace deployboot {
namespace {

constexpr const char* IMAGE_COPY = "/flash/image";

// An input stream buffer over a descriptor (the download pipe).
class DescriptorBuffer : public std::streambuf {
 public:
  explicit DescriptorBuffer(int fd) : fd_(fd) {}

 protected:
  int_type underflow() override {
    ssize_t n;
    do {
      n = ::read(fd_, buffer_, sizeof buffer_);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return traits_type::eof();
    setg(buffer_, buffer_, buffer_ + n);
    return traits_type::to_int_type(buffer_[0]);
  }

 private:
  int fd_;
  char buffer_[4096];
};

// Reads what is left of the package, so that the driver's copy into the
// pipe runs to its end even when the package was refused early.
void drainInput() {
  char piece[4096];
  for (;;) {
    const ssize_t n = ::read(0, piece, sizeof piece);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    return;
  }
}

void writeLine(const char* text) {
  const std::string line = std::string(text) + "\n";
  ssize_t ignored = ::write(1, line.data(), line.size());
  (void)ignored;
}

}  // namespace

// The driver has connected the pipe to standard input, closed the other
// descriptors and changed to "/".
void runPackageInstallerChild(const InstallSession& s) {
  Repository& repository = Repository::instance();
  repository.open(false, s.architecture);

  std::ofstream image(IMAGE_COPY, std::ios::binary | std::ios::trunc);
  if (!image) {
    writeLine("ERROR: could not open image");
    _exit(0);
  }

  int result;
  std::string packageDir;
  bool bootImage = false;
  {
    FileTransaction transaction;
    DescriptorBuffer buffer(0);
    std::istream input(&buffer);
    result = repository.installPackage(transaction, input, AllowUpgrade, s.packageStates, &image,
                                       &packageDir, &bootImage);
    image.close();
    drainInput();

    if (result == 0) {
      if (packageDir.empty()) {
        // Nothing keeps the file: only packages with an image are stored.
        transaction.remove(IMAGE_COPY);
      } else if (bootImage) {
        transaction.move(IMAGE_COPY, "/flash/bootimage");
        transaction.symlink("/flash/bootimage", packageDir + "image");
      } else {
        transaction.move(IMAGE_COPY, packageDir + "image");
      }
      transaction.commit("", false);
    } else {
      transaction.rollback();
    }
  }
  if (result != 0) ::unlink(IMAGE_COPY);
  std::cout.flush();
  std::fflush(stdout);
  _exit(0);
}

}  // namespace deployboot
