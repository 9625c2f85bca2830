// Hostile and damaged package files, streamed into the installer child the
// way the driver does it, in a private root with a small flash and RAM:
// each one is refused with its message, leaves no temporary file and does
// not touch what an earlier package installed.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <map>

#include <gtest/gtest.h>

#include "init/driver.h"
#include "pkg/file_transaction.h"
#include "pkg/version.h"
#include "tests/system/package_builder.h"
#include "tests/system/installer_child.h"
#include "tests/system/package_sandbox.h"

namespace deployboot {
namespace {

using testing::le16;
using testing::le32;
using testing::part;
using testing::pathExists;
using testing::readWholeFile;
using testing::TestFile;
using testing::TestPackage;
using testing::testPackage;
using testing::treeOf;

constexpr Version V1 = makeVersion(1, 0, 'f', 0);
const std::string ESCAPED = "deployboot-hostile-escaped";

using testing::messagesOf;

// Every path below root with what it holds: file contents, link texts.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> out;
  for (const std::string& rel : treeOf(root)) {
    const std::string path = root + "/" + rel;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISREG(st.st_mode)) {
      out[rel] = "file:" + readWholeFile(path);
    } else if (S_ISLNK(st.st_mode)) {
      char link[4096];
      const ssize_t n = readlink(path.c_str(), link, sizeof link);
      out[rel] = "link:" + std::string(link, n > 0 ? n : 0);
    } else {
      out[rel] = "dir";
    }
  }
  return out;
}

// A zlib stream of archive entries, flushed after each one so that a cut
// at offsets()[i] ends the stream exactly after entry i.
class FlushedArchive {
 public:
  FlushedArchive() { deflateInit(&z_, Z_BEST_SPEED); }
  ~FlushedArchive() { deflateEnd(&z_); }

  void add(const TestFile& f, uint32_t declaredSize, const std::string& data) {
    std::string header(ARCHIVE_ENTRY_HEADER_SIZE, '\0');
    storeLe16(header.data(), f.mode);
    header[23] = static_cast<char>(f.skipMarker);
    storeLe32(header.data() + 24, declaredSize);
    storeLe16(header.data() + 28, static_cast<uint16_t>(f.name.size()));
    feed(header + f.name, Z_NO_FLUSH);
    feed(data, Z_FULL_FLUSH);
    offsets_.push_back(out_.size());
  }
  void add(const TestFile& f) { add(f, static_cast<uint32_t>(f.data.size()), f.data); }

  // size bytes of zeros as one entry's data, fed without holding them;
  // its header may declare more.
  void addZeros(const std::string& name, uint32_t size, uint32_t declaredSize = 0) {
    add({name, "", 0100644, 0}, declaredSize ? declaredSize : size, "");
    const std::string block(1 << 20, '\0');
    for (uint32_t left = size; left > 0;) {
      const uint32_t n = std::min<uint32_t>(left, block.size());
      feed(block.substr(0, n), Z_NO_FLUSH);
      left -= n;
    }
    feed("", Z_FULL_FLUSH);
    offsets_.back() = out_.size();
  }

  std::string finish() {
    feed("", Z_FINISH);
    return out_;
  }
  const std::vector<size_t>& offsets() const { return offsets_; }

 private:
  void feed(const std::string& in, int flush) {
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z_.avail_in = static_cast<uInt>(in.size());
    char buffer[65536];
    do {
      z_.next_out = reinterpret_cast<Bytef*>(buffer);
      z_.avail_out = sizeof buffer;
      deflate(&z_, flush);
      out_.append(buffer, sizeof buffer - z_.avail_out);
    } while (z_.avail_out == 0 || z_.avail_in > 0);
  }

  z_stream z_{};
  std::string out_;
  std::vector<size_t> offsets_;
};

class HostilePackages : public ::testing::Test {
 protected:
  void SetUp() override {
    // The flash holds 1 MiB and RAM 8 MiB: a bomb outgrows both quickly.
    DEPLOYBOOT_PACKAGE_SANDBOX("1m");
    ASSERT_TRUE(testing::freshTmpfs("/ram", "8m"));
    ASSERT_TRUE(testing::developmentKey(&key)) << "no signing key for the installer's key";
    createParentDirectories("/flash/var/pdb/x");
    unsetenv("bootimage");
  }

  // Streams one package file into an installer child; its console output.
  std::string install(const std::string& file) {
    return testing::installThroughChild(file);
  }

  // A signed package file around a hand-made archive.
  std::string withArchive(const std::string& name, const std::string& archive) {
    std::string span = part(PART_PACKAGE, testing::headerContent(name, V1, 1000, 0)) +
                       part(PART_ARCH, "mmips") + part(PART_FILES, archive);
    return signedFile(span);
  }

  // Signs span (from the package header part up to the signature) and
  // appends the signature part.
  std::string signedFile(std::string span) {
    span += le16(PART_SIGNATURE) + le32(SIGNATURE_SIZE);
    Sha1 sha;
    sha.update(span.data(), span.size());
    const Sha1::Digest digest = sha.finish();
    uint8_t signature[SIGNATURE_SIZE] = {};
    curve25519::Bytes32 nonce = Sha256::of(span.data(), span.size());
    while (!signDigest(key, digest, nonce, signature)) nonce = Sha256::of(nonce.data(), 32);
    return testing::fileOf(span + std::string(reinterpret_cast<char*>(signature), SIGNATURE_SIZE));
  }

  // Nothing left behind: no copy of the file, no temporary files.
  void expectNoLeftovers(const std::string& what) {
    EXPECT_FALSE(pathExists("/flash/image")) << what;
    EXPECT_EQ(treeOf("/ram"), std::vector<std::string>{}) << what;
    for (const std::string& path : treeOf("/flash"))
      EXPECT_EQ(path.find("tmp"), std::string::npos) << what << ": " << path;
  }

  SigningKey key;
};

std::string broken(const std::string& label) {
  return "ERROR: installation of " + label + " failed: broken package";
}

// Byte offset in file of the content of the first part of the given type.
size_t contentOf(const std::string& file, int type) {
  for (size_t at = FILE_HEADER_SIZE; at + PART_HEADER_SIZE <= file.size();) {
    const uint32_t length = loadLe32(file.data() + at + 2);
    if (loadLe16(file.data() + at) == type) return at + PART_HEADER_SIZE;
    at += PART_HEADER_SIZE + length;
  }
  ADD_FAILURE() << "no part of type " << type;
  return file.size();
}

// Bytes that do not compress.
std::string noise(size_t n) {
  std::string out(n, '\0');
  uint32_t x = 7;
  for (char& c : out) c = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
  return out;
}

std::string patched32(std::string file, size_t at, uint32_t value) {
  storeLe32(file.data() + at, value);
  return file;
}

TEST_F(HostilePackages, AreRefusedWithTheirMessageAndChangeNothing) {
  TestPackage base = testPackage("base", V1);
  base.files = {{"bin/base", "base v1"}, {"etc/base.conf", "keep me"}};
  ASSERT_EQ(messagesOf(install(testing::packageFile(base, key))),
            std::vector<std::string>{"installed base-1.0"});
  const std::map<std::string, std::string> before = snapshot("/flash");

  TestPackage evil = testPackage("evil", V1);
  evil.files = {{"bin/evil", "evil"}, {"etc/base.conf", "overwritten"}};
  const std::string good = testing::packageFile(evil, key);

  TestPackage badSignature = evil;
  badSignature.badSignature = true;

  std::string noSignature = good;
  noSignature.resize(noSignature.size() - PART_HEADER_SIZE - SIGNATURE_SIZE);
  storeLe32(noSignature.data() + 4, static_cast<uint32_t>(noSignature.size() - FILE_HEADER_SIZE));

  // A second signature part is not an allowed trailer either.
  const std::string signature =
      good.substr(good.size() - PART_HEADER_SIZE - SIGNATURE_SIZE);
  auto trailing = [&](const std::string& parts) {
    TestPackage p = evil;
    p.afterSignature = parts;
    return testing::packageFile(p, key);
  };
  TestPackage other = testPackage("other", V1);
  other.files = {{"bin/other", "o"}};

  // Entry names that climb out of the flash. Were one let through, it
  // would land in the private root, not in the host's tree.
  auto archiveNamed = [&](const std::string& name) {
    FlushedArchive a;
    a.add({"bin/harmless", "h"});
    a.add({name, "escaped"});
    return withArchive("evil", a.finish());
  };

  // Lying sizes near 2^32: of a part, a list, an entry and its name.
  const size_t headerAt = contentOf(good, PART_PACKAGE);
  const size_t filesAt = contentOf(good, PART_FILES);
  std::string hugeList;
  {
    TestPackage p = evil;
    p.dependencies = {{"base", 0, 0, 0}};
    hugeList = testing::packageFile(p, key);
    const size_t at = contentOf(hugeList, PART_DEPENDS);
    hugeList[at] = hugeList[at + 1] = '\xff';
  }
  FlushedArchive hugeEntry;
  hugeEntry.add({"bin/evil", "short"}, 0xFFFFFFF0u, "short");
  std::string hugeNameArchive;
  {
    std::string raw(ARCHIVE_ENTRY_HEADER_SIZE, '\0');
    storeLe16(raw.data(), 0100644);
    storeLe32(raw.data() + 24, 4);
    storeLe16(raw.data() + 28, 0xFFFF);
    raw += "bin/evil";
    uLongf size = compressBound(raw.size());
    std::string packed(size, '\0');
    compress2(reinterpret_cast<Bytef*>(packed.data()), &size,
              reinterpret_cast<const Bytef*>(raw.data()), raw.size(), 6);
    packed.resize(size);
    hugeNameArchive = withArchive("evil", packed);
  }

  // Cut short: inside an entry's data, right after an entry (the zlib
  // stream ends cleanly there) and inside the next entry's header.
  FlushedArchive three;
  three.add({"bin/one", "first"});
  three.add({"bin/two", noise(20000)});
  three.add({"bin/three", "third"});
  const std::string threeFile = withArchive("evil", three.finish());
  const size_t threeAt = contentOf(threeFile, PART_FILES);
  const std::vector<size_t> cuts = three.offsets();

  const struct {
    const char* what;
    std::string file;
    std::vector<std::string> messages;
  } cases[] = {
      {"bad signature", testing::packageFile(badSignature, key), {broken("evil-1.0")}},
      {"missing signature", noSignature, {broken("evil-1.0")}},
      {"non-empty dependency part after the signature",
       trailing(part(PART_DEPENDS, testing::listContent({{"x", 0, 0, 0}}))), {broken("evil-1.0")}},
      {"second signature part", trailing(signature), {broken("evil-1.0")}},
      {"architecture part twice", trailing(part(PART_ARCH, "mmips") + part(PART_ARCH, "mmips")),
       {broken("evil-1.0")}},
      {"second package behind the first",
       testing::fileOf(testing::packageParts(evil, key) + testing::packageParts(other, key)),
       {broken("evil-1.0")}},
      {"parent directory in a name", archiveNamed("../" + ESCAPED), {broken("evil-1.0")}},
      {"parent directory inside a name", archiveNamed("bin/../../../" + ESCAPED),
       {broken("evil-1.0")}},
      {"parent directory at the end of a name", archiveNamed("bin/.."), {broken("evil-1.0")}},
      {"NUL inside a name", archiveNamed(std::string("bin/x\0/../../y", 14)), {broken("evil-1.0")}},
      // The parts behind the header are swallowed by it, the architecture too.
      {"header part longer than the file", patched32(good, headerAt - 4, 0xFFFFFFFFu),
       {"ERROR: can not install evil-1.0: it is not made for mmips, but for i386"}},
      {"files part longer than the file", patched32(good, filesAt - 4, 0xFFFFFFF0u),
       {broken("evil-1.0")}},
      {"list count beyond its part", hugeList, {}},
      // Its header is the last signed byte: the digest no longer matches.
      {"signature part near 4 GiB",
       patched32(good, contentOf(good, PART_SIGNATURE) - 4, 0xFFFFFFFFu), {broken("evil-1.0")}},
      {"entry size near 4 GiB", withArchive("evil", hugeEntry.finish()), {broken("evil-1.0")}},
      {"entry name length beyond the archive", hugeNameArchive, {broken("evil-1.0")}},
      {"cut inside an entry's data", threeFile.substr(0, threeAt + cuts[0] + 5000),
       {broken("evil-1.0")}},
      {"cut right after an entry", threeFile.substr(0, threeAt + cuts[1]), {broken("evil-1.0")}},
      {"cut inside an entry header", threeFile.substr(0, threeAt + cuts[1] + 12),
       {broken("evil-1.0")}},
      {"cut inside the header part", good.substr(0, headerAt + 20), {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(messagesOf(install(c.file)), c.messages) << c.what;
    EXPECT_EQ(snapshot("/flash"), before) << c.what;
    expectNoLeftovers(c.what);
  }
  EXPECT_FALSE(pathExists("/" + ESCAPED));
}

// An absolute entry name is rooted at the flash, not at the router's root.
TEST_F(HostilePackages, AbsoluteNamesStayOnTheFlash) {
  FlushedArchive a;
  a.add({"/deployboot-hostile-absolute", "rooted"});
  EXPECT_EQ(messagesOf(install(withArchive("rooted", a.finish()))),
            std::vector<std::string>{"installed rooted-1.0"});
  EXPECT_EQ(readWholeFile("/flash/deployboot-hostile-absolute"), "rooted");
  EXPECT_FALSE(pathExists("/deployboot-hostile-absolute"));
  EXPECT_EQ(readWholeFile("/flash/var/pdb/rooted/files"), "flash/deployboot-hostile-absolute\n");
}

// The file header's length is outside every signed span and only scales
// the progress bar: a lie there changes nothing.
TEST_F(HostilePackages, FileLengthOnlyScalesTheProgressBar) {
  TestPackage p = testPackage("liar", V1);
  p.files = {{"bin/liar", "l"}};
  const std::string good = testing::packageFile(p, key);
  for (const uint32_t length : {0u, 0xFFFFFFFFu}) {
    ASSERT_TRUE(testing::freshTmpfs("/flash", "1m"));
    createParentDirectories("/flash/var/pdb/x");
    EXPECT_EQ(messagesOf(install(patched32(good, 4, length))),
              std::vector<std::string>{"installed liar-1.0"})
        << length;
    EXPECT_EQ(readWholeFile("/flash/bin/liar"), "l") << length;
    expectNoLeftovers("file length " + std::to_string(length));
  }
}

// Archives that inflate far beyond the flash (and the RAM the temporary
// files fall back to) end with the disk message, without temporary files.
TEST_F(HostilePackages, ZipBombsEndWithTheDiskMessage) {
  TestPackage base = testPackage("base", V1);
  base.files = {{"bin/base", "base v1"}};
  ASSERT_EQ(messagesOf(install(testing::packageFile(base, key))),
            std::vector<std::string>{"installed base-1.0"});
  const std::map<std::string, std::string> before = snapshot("/flash");

  FlushedArchive oneHuge;  // 64 MiB of zeros in about 64 KiB
  oneHuge.addZeros("data/zeros", 64u << 20);
  FlushedArchive declaredHuge;  // and declared near 4 GiB
  declaredHuge.addZeros("data/zeros", 32u << 20, 0xFFFFFFF0u);
  FlushedArchive many;  // each fits the flash, together neither flash nor RAM
  for (int i = 0; i < 24; ++i) many.addZeros("data/part" + std::to_string(i), 768u << 10);

  const struct {
    const char* what;
    std::string archive;
  } cases[] = {
      {"one entry of 64 MiB", oneHuge.finish()},
      {"one entry declared near 4 GiB", declaredHuge.finish()},
      {"many entries of 768 KiB", many.finish()},
  };
  for (const auto& c : cases) {
    const std::string file = withArchive("bomb", c.archive);
    ASSERT_LT(file.size(), 2u << 20) << c.what;
    EXPECT_EQ(messagesOf(install(file)),
              std::vector<std::string>{"ERROR: installation of bomb-1.0 failed: disk is too small"})
        << c.what;
    EXPECT_EQ(snapshot("/flash"), before) << c.what;
    expectNoLeftovers(c.what);
  }
}

}  // namespace
}  // namespace deployboot
