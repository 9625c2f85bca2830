// Small helpers of the package tool: messages, files, keys, option parsing.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pkg/package_record.h"
#include "pkg/signature.h"

namespace deployboot::pkgtool {

// Prints "deploypkg: MESSAGE" on standard error; returns the exit status 1.
int fail(const std::string& message);

bool readFile(const std::string& path, std::string* data, std::string* error);
// Writes through a temporary file beside path and renames it into place.
bool writeFile(const std::string& path, const std::string& data, unsigned mode, std::string* error);

bool randomBytes(void* out, size_t n);

// NAME.key holds the 32-byte private scalar, NAME.pub the verification key.
bool loadSigningKey(const std::string& path, SigningKey* key, std::string* error);
bool loadPublicKey(const std::string& path, curve25519::Bytes32* key, std::string* error);

// A fresh random nonce for one signature.
bool signWithFreshNonce(std::string& parts, size_t spanStart, const SigningKey& key, std::string* error);

// "name", "name>=6.0", "name<=7.0", "name=6.0", "name>=6.0<=7.0", each
// optionally followed by ",EXTRA" (a signed precedence for provides).
bool parseDependency(const std::string& text, PackageDependency* out, std::string* error);
bool checkPackageName(const std::string& name, std::string* error);

std::string jsonString(const std::string& text);

// Command-line options: "--name value", "--name=value" and flags.
class Options {
 public:
  // valued: options that take a value; repeated ones collect every value.
  Options(std::vector<std::string> valued, std::vector<std::string> flags)
      : valued_(std::move(valued)), flags_(std::move(flags)) {}
  bool parse(int argc, char** argv, int first, std::string* error);

  bool has(const std::string& name) const { return values_.count(name) > 0; }
  std::string value(const std::string& name) const;
  const std::vector<std::string>& values(const std::string& name) const;
  const std::vector<std::string>& positional() const { return positional_; }

 private:
  std::vector<std::string> valued_;
  std::vector<std::string> flags_;
  std::map<std::string, std::vector<std::string>> values_;
  std::vector<std::string> positional_;
};

}  // namespace deployboot::pkgtool
