#include <cstdio>

#include "pkg/version.h"
#include "pkgtool/commands.h"
#include "pkgtool/package_inspect.h"
#include "pkgtool/tool_support.h"

namespace deployboot::pkgtool {

const char* const VERIFY_USAGE =
    "  verify --pub K.pub FILE\n"
    "      checks every package's digest and signature as the installer does;\n"
    "      exit status 0 only when all of them verify\n";

int runVerify(int argc, char** argv, int first) {
  Options options({"pub"}, {});
  std::string error;
  if (!options.parse(argc, argv, first, &error)) return fail(error);
  if (options.value("pub").empty()) return fail("verify needs --pub K.pub");
  if (options.positional().size() != 1) return fail("verify needs exactly one FILE");
  curve25519::Bytes32 pub;
  if (!loadPublicKey(options.value("pub"), &pub, &error)) return fail(error);
  const std::string& path = options.positional()[0];
  std::string file;
  if (!readFile(path, &file, &error)) return fail(error);

  const PackageSummary s = inspectPackage(file, &pub);
  bool ok = s.problems.empty();
  for (const MemberSummary& m : s.members) {
    const char* verdict = !m.hasSignature ? "no signature" : m.signatureValid ? "ok" : "BAD signature";
    ok = ok && m.signatureValid;
    std::printf("%s: %s\n", packageLabel(m.record.name, m.record.version).c_str(), verdict);
  }
  for (const std::string& problem : s.problems) std::printf("%s: %s\n", path.c_str(), problem.c_str());
  std::printf("%s: %s\n", path.c_str(), ok ? "verified" : "NOT verified");
  return ok ? 0 : 1;
}

}  // namespace deployboot::pkgtool
