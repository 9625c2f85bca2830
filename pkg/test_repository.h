// A compact text form of small package databases for the planner and
// settling tests. One record per ";"-separated item:
//
//   name version [off] [user] [!uninstall|!enable|!disable] [bundle]
//         [dep=name[>=ver][<=ver]] [prov=name[@extra]] [conf=name[>=ver]]
//         [in=bundle@ver] [arch=name]
//
// version is printed form ("6.1", "2.9rc8"), optionally "+buildtime";
// "0" is version 0, "ph" makes a placeholder, "-" as a name an unnamed record. describe()
// gives back "name:on|off[!action]" for every record, space-separated.
#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pkg/repository.h"
#include "pkg/version.h"

namespace deployboot::testing {

inline Version versionOf(const std::string& text) {
  Version v = 0;
  EXPECT_TRUE(parseVersion(text, &v)) << text;
  return v;
}

// "name>=1.0<=2.0" / "name@-3"
inline PackageDependency dependencyOf(const std::string& text) {
  PackageDependency d;
  size_t end = text.find_first_of("><@");
  d.name = text.substr(0, end);
  while (end != std::string::npos) {
    const size_t next = text.find_first_of("><@", end + 2);
    const std::string value = text.substr(end + (text[end] == '@' ? 1 : 2),
                                          next == std::string::npos ? std::string::npos
                                                                    : next - end - 2);
    if (text[end] == '@') {
      d.extra = static_cast<uint32_t>(std::stoi(value));
      break;
    }
    (text[end] == '>' ? d.minVersion : d.maxVersion) = versionOf(value);
    end = next;
  }
  return d;
}

inline std::unique_ptr<InstalledPackage> recordOf(const std::string& spec) {
  std::istringstream in(spec);
  std::string name, version, token;
  in >> name >> version;
  auto r = std::make_unique<InstalledPackage>();
  r->name = name == "-" ? "" : name;
  r->architecture = "";
  if (version == "ph") {
    r->version = r->buildTime = PLACEHOLDER_VERSION;
  } else if (version != "0") {
    const size_t plus = version.find('+');
    r->version = versionOf(version.substr(0, plus));
    if (plus != std::string::npos) r->buildTime = std::stoul(version.substr(plus + 1));
  }
  while (in >> token) {
    if (token == "off") r->disabled = true;
    else if (token == "user") r->userForced = true;
    else if (token == "bundle") r->isBundle = true;
    else if (token == "!uninstall") r->action = PendingAction::Uninstall;
    else if (token == "!enable") r->action = PendingAction::Enable;
    else if (token == "!disable") r->action = PendingAction::Disable;
    else if (token.starts_with("dep=")) r->dependencies.push_back(dependencyOf(token.substr(4)));
    else if (token.starts_with("prov=")) r->provides.push_back(dependencyOf(token.substr(5)));
    else if (token.starts_with("conf=")) r->conflicts.push_back(dependencyOf(token.substr(5)));
    else if (token.starts_with("arch=")) r->architecture = token.substr(5);
    else if (token.starts_with("in=")) {
      const std::string ref = token.substr(3);
      const size_t at = ref.find('@');
      const Version v = versionOf(ref.substr(at + 1));
      r->bundle = PackageDependency{ref.substr(0, at), v, v, 0};
    } else ADD_FAILURE() << "unknown fixture token " << token;
  }
  return r;
}

inline void fillRepository(Repository& repository, const std::string& specs) {
  std::istringstream in(specs);
  std::string item;
  while (std::getline(in, item, ';'))
    if (item.find_first_not_of(" \n") != std::string::npos)
      repository.append(recordOf(item));
}

inline const char* actionName(PendingAction a) {
  switch (a) {
    case PendingAction::Uninstall: return "!uninstall";
    case PendingAction::Enable: return "!enable";
    case PendingAction::Disable: return "!disable";
    case PendingAction::None: break;
  }
  return "";
}

inline std::string describe(const InstalledPackage& r) {
  return (r.name.empty() ? "-" : r.name) + (r.disabled ? ":off" : ":on") + actionName(r.action);
}

inline std::string describe(const PackageList& packages) {
  std::string out;
  for (const auto& r : packages) out += (out.empty() ? "" : " ") + describe(*r);
  return out;
}

inline std::string names(const std::vector<InstalledPackage*>& list) {
  std::string out;
  for (const InstalledPackage* r : list) out += (out.empty() ? "" : " ") + r->name;
  return out;
}

}  // namespace deployboot::testing
