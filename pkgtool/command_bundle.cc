#include <ctime>

#include "pkg/package_writer.h"
#include "pkg/version.h"
#include "pkgtool/commands.h"
#include "pkgtool/package_inspect.h"
#include "pkgtool/tool_support.h"

namespace deployboot::pkgtool {

const char* const BUNDLE_USAGE =
    "  bundle --name N --version V --key K.key -o OUT MEMBER.pkg...\n"
    "      puts signed packages behind one bundle header with their member list;\n"
    "      every member must verify against the key pair K\n";

namespace {

// The member's parts from its header part up to the end of its signature
// part: exactly what a bundle carries of it.
bool memberParts(const std::string& path, const curve25519::Bytes32& pub, std::string* parts,
                 PackageDependency* reference, std::string* error) {
  std::string file;
  if (!readFile(path, &file, error)) return false;
  const PackageSummary s = inspectPackage(file, &pub);
  if (!s.problems.empty()) {
    *error = path + ": " + s.problems.front();
    return false;
  }
  if (s.magic != MAGIC_PACKAGE || s.isBundle || s.members.size() != 1) {
    *error = path + ": a bundle member must be one ordinary package";
    return false;
  }
  const MemberSummary& m = s.members.front();
  if (!m.signatureValid) {
    *error = path + ": its signature does not verify with the bundle's key";
    return false;
  }
  size_t start = 0, end = 0;
  for (const PartSummary& p : s.parts) {
    if (p.type == PART_PACKAGE && start == 0) start = p.offset - PART_HEADER_SIZE;
    if (p.type == PART_SIGNATURE && end == 0) end = p.offset + p.length;
  }
  *parts = file.substr(start, end - start);
  *reference = {m.record.name, m.record.version, m.record.version, 0};
  return true;
}

}  // namespace

int runBundle(int argc, char** argv, int first) {
  Options options({"name", "version", "key", "output", "build-time"}, {});
  std::string error;
  if (!options.parse(argc, argv, first, &error)) return fail(error);
  for (const char* required : {"name", "version", "key", "output"})
    if (options.value(required).empty()) return fail(std::string("bundle needs --") + required);
  if (options.positional().empty()) return fail("bundle needs at least one MEMBER.pkg");

  PackageRecord bundle;
  bundle.isBundle = true;
  bundle.name = options.value("name");
  if (!checkPackageName(bundle.name, &error)) return fail(error);
  if (!parseVersion(options.value("version"), &bundle.version))
    return fail("bad version \"" + options.value("version") + "\"");
  bundle.buildTime = static_cast<uint32_t>(std::time(nullptr));
  SigningKey key;
  if (!loadSigningKey(options.value("key"), &key, &error)) return fail(error);

  std::vector<PackageDependency> references;
  std::string members;
  for (const std::string& path : options.positional()) {
    std::string parts;
    PackageDependency reference;
    if (!memberParts(path, key.publicKey, &parts, &reference, &error)) return fail(error);
    references.push_back(reference);
    members += parts;
  }
  std::string parts;
  appendPart(parts, PART_BUNDLE, headerContent(bundle.name, bundle.version, bundle.buildTime, 0));
  appendPart(parts, PART_BUNDLE_MEMBERS, listContent(references));
  parts += members;
  if (parts.size() > UINT32_MAX - FILE_HEADER_SIZE) return fail("the bundle would exceed 4 GiB");
  if (!writeFile(options.value("output"), fileHeader(MAGIC_PACKAGE, parts.size()) + parts, 0644, &error))
    return fail(error);
  return 0;
}

}  // namespace deployboot::pkgtool
