#include <cstdio>
#include <ctime>

#include "pkg/version.h"
#include "pkgtool/commands.h"
#include "pkgtool/package_inspect.h"
#include "pkgtool/tool_support.h"

namespace deployboot::pkgtool {

const char* const INFO_USAGE =
    "  info [--json] FILE\n"
    "      shows the header, lists, files and part sizes of a package or bundle\n";

namespace {

std::string utcTime(uint32_t seconds) {
  const time_t t = seconds;
  struct tm tm;
  char text[32];
  gmtime_r(&t, &tm);
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
}

std::string boundText(const PackageDependency& d) {
  std::string t = d.name;
  if (d.minVersion && d.minVersion == d.maxVersion) return t + "=" + formatVersion(d.minVersion);
  if (d.minVersion) t += ">=" + formatVersion(d.minVersion);
  if (d.maxVersion) t += "<=" + formatVersion(d.maxVersion);
  if (d.extra) t += "," + std::to_string(static_cast<int32_t>(d.extra));
  return t;
}

void printList(const char* label, const std::vector<PackageDependency>& list) {
  if (list.empty()) return;
  std::printf("  %s:", label);
  for (const PackageDependency& d : list) std::printf(" %s", boundText(d).c_str());
  std::printf("\n");
}

void printText(const PackageSummary& s) {
  std::printf("file: %llu bytes (%s)\n", static_cast<unsigned long long>(s.fileSize),
              s.magic == MAGIC_UNRECORDED ? "unrecorded package" : "package");
  if (s.isBundle) {
    std::printf("bundle %s %s, built %s\n", s.bundle.name.c_str(), formatVersion(s.bundle.version).c_str(),
                utcTime(s.bundle.buildTime).c_str());
    printList("members", s.bundleMembers);
  }
  for (const MemberSummary& m : s.members) {
    const PackageRecord& r = m.record;
    std::printf("package %s %s, built %s\n", r.name.c_str(), formatVersion(r.version).c_str(),
                utcTime(r.buildTime).c_str());
    std::printf("  architecture: %s\n", r.architecture.c_str());
    std::printf("  flags: 0x%x%s%s\n", r.flags, (r.flags & PACKAGE_FLAG_BOOT_IMAGE) ? " boot-image" : "",
                (r.flags & PACKAGE_FLAG_NO_METADATA) ? " no-metadata" : "");
    if (!r.note.empty()) std::printf("  note: %s\n", r.note.c_str());
    printList("depends", r.dependencies);
    printList("provides", r.provides);
    printList("conflicts", r.conflicts);
    if (m.hasImage) std::printf("  image: %u bytes\n", m.imageSize);
    if (m.hasFiles) {
      std::printf("  files: %zu, %llu bytes unpacked, %u compressed%s\n", m.files.size(),
                  static_cast<unsigned long long>(m.filesUnpacked), m.filesCompressed,
                  m.archiveComplete ? "" : " (archive broken)");
      for (const ArchiveFile& f : m.files)
        std::printf("    %06o %10u %s%s\n", f.mode, f.size, f.name.c_str(), f.skip ? " (skipped)" : "");
    }
    std::printf("  signature: %s\n", m.hasSignature ? "present" : "missing");
  }
  std::printf("parts:\n");
  for (const PartSummary& p : s.parts)
    std::printf("  %-9s %2d at %10u, %10u bytes\n", partTypeName(p.type), p.type, p.offset, p.length);
  for (const std::string& problem : s.problems) std::printf("problem: %s\n", problem.c_str());
}

std::string jsonList(const std::vector<PackageDependency>& list) {
  std::string out = "[";
  for (size_t i = 0; i < list.size(); ++i) {
    const PackageDependency& d = list[i];
    out += (i ? "," : "") + std::string("{\"name\":") + jsonString(d.name) +
           ",\"minVersion\":" + jsonString(d.minVersion ? formatVersion(d.minVersion) : "") +
           ",\"maxVersion\":" + jsonString(d.maxVersion ? formatVersion(d.maxVersion) : "") +
           ",\"extra\":" + std::to_string(static_cast<int32_t>(d.extra)) + "}";
  }
  return out + "]";
}

std::string jsonRecord(const PackageRecord& r) {
  return "\"name\":" + jsonString(r.name) + ",\"version\":" + jsonString(formatVersion(r.version)) +
         ",\"versionCode\":" + std::to_string(r.version) + ",\"buildTime\":" + std::to_string(r.buildTime) +
         ",\"flags\":" + std::to_string(r.flags) + ",\"architecture\":" + jsonString(r.architecture) +
         ",\"note\":" + jsonString(r.note) + ",\"depends\":" + jsonList(r.dependencies) +
         ",\"provides\":" + jsonList(r.provides) + ",\"conflicts\":" + jsonList(r.conflicts);
}

void printJson(const PackageSummary& s) {
  std::string out = "{\"size\":" + std::to_string(s.fileSize) +
                    ",\"unrecorded\":" + (s.magic == MAGIC_UNRECORDED ? "true" : "false");
  if (s.isBundle) out += ",\"bundle\":{" + jsonRecord(s.bundle) + ",\"members\":" + jsonList(s.bundleMembers) + "}";
  out += ",\"packages\":[";
  for (size_t i = 0; i < s.members.size(); ++i) {
    const MemberSummary& m = s.members[i];
    out += (i ? ",{" : "{") + jsonRecord(m.record);
    out += ",\"image\":" + (m.hasImage ? std::to_string(m.imageSize) : std::string("null"));
    out += ",\"compressed\":" + std::to_string(m.filesCompressed);
    out += ",\"unpacked\":" + std::to_string(m.filesUnpacked);
    out += ",\"archiveComplete\":" + std::string(m.archiveComplete ? "true" : "false");
    out += ",\"signature\":" + std::string(m.hasSignature ? "true" : "false");
    out += ",\"files\":[";
    for (size_t j = 0; j < m.files.size(); ++j) {
      const ArchiveFile& f = m.files[j];
      out += (j ? ",{" : "{") + std::string("\"name\":") + jsonString(f.name) +
             ",\"mode\":" + std::to_string(f.mode) + ",\"size\":" + std::to_string(f.size) +
             ",\"skip\":" + (f.skip ? "true" : "false") + "}";
    }
    out += "]}";
  }
  out += "],\"parts\":[";
  for (size_t i = 0; i < s.parts.size(); ++i)
    out += (i ? "," : "") + std::string("{\"type\":") + std::to_string(s.parts[i].type) +
           ",\"offset\":" + std::to_string(s.parts[i].offset) + ",\"length\":" + std::to_string(s.parts[i].length) + "}";
  out += "],\"problems\":[";
  for (size_t i = 0; i < s.problems.size(); ++i) out += (i ? "," : "") + jsonString(s.problems[i]);
  out += "]}";
  std::printf("%s\n", out.c_str());
}

}  // namespace

int runInfo(int argc, char** argv, int first) {
  Options options({}, {"json"});
  std::string error;
  if (!options.parse(argc, argv, first, &error)) return fail(error);
  if (options.positional().size() != 1) return fail("info needs exactly one FILE");
  std::string file;
  if (!readFile(options.positional()[0], &file, &error)) return fail(error);
  const PackageSummary s = inspectPackage(file, nullptr);
  if (s.magic != MAGIC_PACKAGE && s.magic != MAGIC_UNRECORDED)
    return fail(options.positional()[0] + ": not a package file");
  if (options.has("json")) printJson(s);
  else printText(s);
  return s.problems.empty() ? 0 : 1;
}

}  // namespace deployboot::pkgtool
