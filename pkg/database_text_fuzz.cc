// The readers of the package database's text files on arbitrary bytes.
// Versions and relation lists they accept must read back the same after
// writing them out again.
#include <cstddef>
#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "pkg/database_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace deployboot;
  const std::string text(reinterpret_cast<const char*>(data), size);

  {
    std::istringstream in(text);
    Version version = 0;
    uint32_t buildTime = 0;
    if (readVersionText(in, &version, &buildTime)) {
      std::ostringstream out;
      writeVersionText(out, version, buildTime);
      std::istringstream again(out.str());
      Version v2 = 0;
      uint32_t t2 = 0;
      if (!readVersionText(again, &v2, &t2) || v2 != version || t2 != buildTime)
        fuzzing::violated("version text does not read back");
    }
  }
  for (bool withExtra : {false, true}) {
    std::istringstream in(text);
    std::vector<PackageDependency> list;
    readDependencyText(in, withExtra, &list);
    // Only the entries read whole are kept, even from a malformed file.
    std::ostringstream out;
    writeDependencyText(out, list, withExtra);
    std::istringstream again(out.str());
    std::vector<PackageDependency> back;
    if (!readDependencyText(again, withExtra, &back) || back != list)
      fuzzing::violated("dependency text does not read back");
  }
  {
    std::istringstream in(text);
    std::set<std::string> files;
    readFilesText(in, &files);
    for (const std::string& path : files)
      if (path.empty() || path[0] != '/') fuzzing::violated("a files entry without its leading /");
  }
  {
    std::istringstream in(text);
    parsePendingAction(in);
  }
  return 0;
}
