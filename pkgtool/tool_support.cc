#include "pkgtool/tool_support.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "pkg/package_writer.h"
#include "pkg/version.h"

namespace deployboot::pkgtool {

int fail(const std::string& message) {
  std::fprintf(stderr, "deploypkg: %s\n", message.c_str());
  return 1;
}

bool readFile(const std::string& path, std::string* data, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  *data = std::move(content).str();
  return true;
}

bool writeFile(const std::string& path, const std::string& data, unsigned mode, std::string* error) {
  const std::string temp = path + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  bool ok = fd >= 0;
  for (size_t done = 0; ok && done < data.size();) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  if (fd >= 0 && ::close(fd) != 0) ok = false;
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
  }
  return ok;
}

bool randomBytes(void* out, size_t n) {
  auto* p = static_cast<uint8_t*>(out);
  while (n > 0) {
    const ssize_t got = ::getrandom(p, n, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

namespace {

bool readKeyBytes(const std::string& path, curve25519::Bytes32* key, std::string* error) {
  std::string data;
  if (!readFile(path, &data, error)) return false;
  if (data.size() != key->size()) {
    *error = path + ": a key file holds exactly 32 bytes";
    return false;
  }
  std::memcpy(key->data(), data.data(), key->size());
  return true;
}

}  // namespace

bool loadSigningKey(const std::string& path, SigningKey* key, std::string* error) {
  curve25519::Bytes32 secret;
  if (!readKeyBytes(path, &secret, error)) return false;
  if (!signingKeyFromSecret(secret, key)) {
    *error = path + ": not a usable private key";
    return false;
  }
  return true;
}

bool loadPublicKey(const std::string& path, curve25519::Bytes32* key, std::string* error) {
  if (!readKeyBytes(path, key, error)) return false;
  curve25519::Bytes32 v;
  if (!curve25519::liftOdd(*key, &v)) {
    *error = path + ": not a verification key (no curve point)";
    return false;
  }
  return true;
}

bool signWithFreshNonce(std::string& parts, size_t spanStart, const SigningKey& key, std::string* error) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    curve25519::Bytes32 nonce;
    if (!randomBytes(nonce.data(), nonce.size())) {
      *error = std::string("no random numbers: ") + std::strerror(errno);
      return false;
    }
    if (appendSignature(parts, spanStart, key, nonce)) return true;
  }
  *error = "signing failed: the key does not verify its own signatures";
  return false;
}

bool checkPackageName(const std::string& name, std::string* error) {
  if (name.empty()) {
    *error = "a package name must not be empty";
    return false;
  }
  if (name.size() > PACKAGE_NAME_SIZE) {
    *error = "package name \"" + name + "\" is longer than 16 bytes";
    return false;
  }
  if (name.find('\0') != std::string::npos) {
    *error = "a package name must not hold NUL bytes";
    return false;
  }
  return true;
}

bool parseDependency(const std::string& text, PackageDependency* out, std::string* error) {
  PackageDependency d;
  std::string rest = text;
  const size_t comma = rest.find(',');
  if (comma != std::string::npos) {
    const std::string extra = rest.substr(comma + 1);
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(extra.c_str(), &end, 10);
    if (extra.empty() || *end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX) {
      *error = "bad extra value in \"" + text + "\"";
      return false;
    }
    d.extra = static_cast<uint32_t>(static_cast<int32_t>(value));
    rest.resize(comma);
  }
  size_t pos = rest.find_first_of("<>=");
  d.name = rest.substr(0, pos);
  if (!checkPackageName(d.name, error)) return false;
  while (pos != std::string::npos) {
    std::string oper;
    if (rest.compare(pos, 2, ">=") == 0 || rest.compare(pos, 2, "<=") == 0) oper = rest.substr(pos, 2);
    else if (rest[pos] == '=') oper = "=";
    else {
      *error = "bad version bound in \"" + text + "\" (use >=, <= or =)";
      return false;
    }
    pos += oper.size();
    const size_t next = rest.find_first_of("<>=", pos);
    const std::string versionText = rest.substr(pos, next == std::string::npos ? next : next - pos);
    Version v;
    if (!parseVersion(versionText, &v)) {
      *error = "bad version \"" + versionText + "\" in \"" + text + "\"";
      return false;
    }
    if (oper != "<=") d.minVersion = v;
    if (oper != ">=") d.maxVersion = v;
    pos = next;
  }
  *out = d;
  return true;
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

bool Options::parse(int argc, char** argv, int first, std::string* error) {
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    if (!arg.starts_with("--") || arg == "--") {
      if (arg == "--") {
        for (++i; i < argc; ++i) positional_.push_back(argv[i]);
        break;
      }
      if (arg.starts_with("-") && arg.size() > 1 && arg != "-o") {
        *error = "unknown option " + arg;
        return false;
      }
      if (arg == "-o") arg = "--output";
      else {
        positional_.push_back(arg);
        continue;
      }
    }
    std::string name = arg.substr(2), value;
    const size_t eq = name.find('=');
    const bool inlineValue = eq != std::string::npos;
    if (inlineValue) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    if (std::find(flags_.begin(), flags_.end(), name) != flags_.end() && !inlineValue) {
      values_[name].push_back("");
      continue;
    }
    if (std::find(valued_.begin(), valued_.end(), name) == valued_.end()) {
      *error = "unknown option --" + name;
      return false;
    }
    if (!inlineValue) {
      if (i + 1 >= argc) {
        *error = "option --" + name + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    values_[name].push_back(value);
  }
  return true;
}

std::string Options::value(const std::string& name) const {
  const auto it = values_.find(name);
  return it == values_.end() ? "" : it->second.back();
}

const std::vector<std::string>& Options::values(const std::string& name) const {
  static const std::vector<std::string> none;
  const auto it = values_.find(name);
  return it == values_.end() ? none : it->second;
}

}  // namespace deployboot::pkgtool
