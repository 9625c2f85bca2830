#include <cstdlib>
#include <ctime>

#include "pkg/package_writer.h"
#include "pkg/version.h"
#include "pkgtool/commands.h"
#include "pkgtool/root_files.h"
#include "pkgtool/tool_support.h"

namespace deployboot::pkgtool {

const char* const BUILD_USAGE =
    "  build --name N --version V [--arch A] [--depends 'name>=6.0'] [--provides 'name,extra']\n"
    "        [--conflicts 'name<=2.0'] [--note TEXT] [--build-time SECONDS] [--boot-image]\n"
    "        [--no-metadata] [--unrecorded] [--image FILE] --key K.key --root DIR -o OUT\n"
    "      packs the regular files of DIR (with their modes) into a signed package;\n"
    "      --depends, --provides and --conflicts repeat; a bound is >=V, <=V or =V\n";

namespace {

bool parseList(const std::vector<std::string>& texts, std::vector<PackageDependency>* list,
               std::string* error) {
  for (const std::string& t : texts) {
    PackageDependency d;
    if (!parseDependency(t, &d, error)) return false;
    list->push_back(d);
  }
  return true;
}

bool buildTime(const Options& options, uint32_t* out, std::string* error) {
  std::string text = options.value("build-time");
  if (text.empty() && std::getenv("SOURCE_DATE_EPOCH")) text = std::getenv("SOURCE_DATE_EPOCH");
  if (text.empty()) {
    *out = static_cast<uint32_t>(std::time(nullptr));
    return true;
  }
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (*end != '\0' || v > UINT32_MAX) {
    *error = "bad build time \"" + text + "\" (seconds since 1970)";
    return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

int runBuild(int argc, char** argv, int first) {
  Options options({"name", "version", "arch", "depends", "provides", "conflicts", "note", "build-time",
                   "image", "key", "root", "output"},
                  {"boot-image", "no-metadata", "unrecorded"});
  std::string error;
  if (!options.parse(argc, argv, first, &error)) return fail(error);
  if (!options.positional().empty()) return fail("unexpected argument " + options.positional()[0]);
  for (const char* required : {"name", "version", "key", "root", "output"})
    if (options.value(required).empty()) return fail(std::string("build needs --") + required);

  PackageContents c;
  PackageRecord& r = c.record;
  r.name = options.value("name");
  if (!checkPackageName(r.name, &error)) return fail(error);
  if (!parseVersion(options.value("version"), &r.version))
    return fail("bad version \"" + options.value("version") + "\" (for example 6.47, 4.14.2, 6.48rc3)");
  if (!buildTime(options, &r.buildTime, &error)) return fail(error);
  if (options.has("boot-image")) r.flags |= PACKAGE_FLAG_BOOT_IMAGE;
  if (options.has("no-metadata")) r.flags |= PACKAGE_FLAG_NO_METADATA;
  if (options.has("arch")) {
    c.withArchitecture = true;
    r.architecture = options.value("arch");
    if (r.architecture.empty()) return fail("--arch needs an architecture name");
  }
  r.note = options.value("note");
  if (!parseList(options.values("depends"), &r.dependencies, &error) ||
      !parseList(options.values("provides"), &r.provides, &error) ||
      !parseList(options.values("conflicts"), &r.conflicts, &error))
    return fail(error);

  SigningKey key;
  if (!loadSigningKey(options.value("key"), &key, &error)) return fail(error);
  if (options.has("image")) {
    c.withImage = true;
    if (!readFile(options.value("image"), &c.image, &error)) return fail(error);
  }
  std::vector<RootFile> files;
  if (!listRootFiles(options.value("root"), &files, &error)) return fail(error);
  ArchiveWriter archive;
  if (!archiveRootFiles(files, archive, &error)) return fail(error);
  c.withFiles = true;
  c.files = archive.finish();

  std::string parts = packageParts(c);
  if (!signWithFreshNonce(parts, 0, key, &error)) return fail(error);
  if (parts.size() > UINT32_MAX - FILE_HEADER_SIZE) return fail("the package would exceed 4 GiB");
  const uint32_t magic = options.has("unrecorded") ? MAGIC_UNRECORDED : MAGIC_PACKAGE;
  if (!writeFile(options.value("output"), fileHeader(magic, parts.size()) + parts, 0644, &error))
    return fail(error);
  return 0;
}

}  // namespace deployboot::pkgtool
