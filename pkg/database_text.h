// The text files of a package directory in the database. Writers emit
// single spaces and newlines; readers take whitespace-separated tokens, so
// any whitespace is accepted.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "pkg/database_record.h"

namespace deployboot {

// `version`: "<version> <buildTime>\n", both unsigned decimal.
void writeVersionText(std::ostream& out, Version version, uint32_t buildTime);
bool readVersionText(std::istream& in, Version* version, uint32_t* buildTime);

// `deps` and `conflicts`: "name min max" lines; `provides` adds the signed
// extra value ("name min max extra").
void writeDependencyText(std::ostream& out, const std::vector<PackageDependency>& list,
                         bool withExtra);
// Reads entries until a name cannot be read. False when a name is followed
// by a number that cannot be read (the entries before it are kept).
bool readDependencyText(std::istream& in, bool withExtra, std::vector<PackageDependency>* list);

// `files`: one absolute path per line, written without its leading "/".
void writeFilesText(std::ostream& out, const std::set<std::string>& files);
// Skips empty lines and puts "/" in front of a line that lacks it.
void readFilesText(std::istream& in, std::set<std::string>* files);

// The first word of a pending-action file: "uninstall", "enable" or
// "disable"; anything else is no action.
std::optional<PendingAction> parsePendingAction(std::istream& in);

}  // namespace deployboot
