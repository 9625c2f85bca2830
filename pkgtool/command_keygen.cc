#include <cerrno>
#include <cstring>

#include "pkgtool/commands.h"
#include "pkgtool/tool_support.h"

namespace deployboot::pkgtool {

const char* const KEYGEN_USAGE =
    "  keygen -o NAME\n"
    "      writes a new key pair: NAME.key (private, keep it secret) and\n"
    "      NAME.pub (the 32-byte verification key the installer is built with)\n";

int runKeygen(int argc, char** argv, int first) {
  Options options({"output"}, {});
  std::string error;
  if (!options.parse(argc, argv, first, &error)) return fail(error);
  if (!options.positional().empty()) return fail("keygen takes no arguments besides -o NAME");
  if (!options.has("output") || options.value("output").empty()) return fail("keygen needs -o NAME");
  const std::string name = options.value("output");

  SigningKey key;
  for (bool made = false; !made;) {
    curve25519::Bytes32 random;
    if (!randomBytes(random.data(), random.size()))
      return fail(std::string("no random numbers: ") + std::strerror(errno));
    made = makeSigningKey(random, &key);
  }
  const std::string secret(key.secret.begin(), key.secret.end());
  const std::string pub(key.publicKey.begin(), key.publicKey.end());
  if (!writeFile(name + ".key", secret, 0600, &error) || !writeFile(name + ".pub", pub, 0644, &error))
    return fail(error);
  std::printf("wrote %s.key and %s.pub\n", name.c_str(), name.c_str());
  return 0;
}

}  // namespace deployboot::pkgtool
