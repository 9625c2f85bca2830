// The installation driver: one straight sequence of stages, each in the
// file that owns its subsystem's side of the installation.
#pragma once

#include <cstdint>
#include <string>

#include "pkg/package_states.h"

namespace deployboot {

struct ServerLink;     // net/server_link.h
struct FileDownload;   // net/server_link.h
struct ConfigArchive;  // flash/config_archive.h

// Everything one installation run owns. Each stage reads and fills it;
// releaseSession frees what the stages allocated, on every way out.
struct InstallSession {
  InstallSession(PackageStateMap& states, std::string arch)
      : packageStates(states), architecture(std::move(arch)) {}

  PackageStateMap& packageStates;
  std::string architecture;  // "mipsle" or "mmips"

  ServerLink* link = nullptr;  // created by stageNetworkInterfaces
  std::string boardShortName;
  char offerText[513] = {};
  bool keepConfig = false;     // the offer asked for the configuration
  bool configWritten = false;  // a configuration script arrived whole

  // The old configuration and branding image, held between reading them
  // from the old file system and writing them back onto the new one.
  ConfigArchive* oldConfig = nullptr;
  ConfigArchive* branding = nullptr;
};

// Runs the whole installation. 0: failed (the caller prompts and waits);
// non-zero: succeeded (the prompt has been shown and answered).
int runInstallation(PackageStateMap& packageStates, const std::string& architecture);

// The stages, in order. A stage that returns false has printed its fatal
// message and the installation ends with result 0.
bool stageScreen(InstallSession& s);               // 1: init/stage_screen.cc
bool stageNetworkInterfaces(InstallSession& s);    // 2: init/stage_network.cc
void stageBoardIdentity(InstallSession& s);        // 3: init/stage_board.cc
void stageFindServer(InstallSession& s);           // 4: init/stage_network.cc
bool stageReadOldFileSystem(InstallSession& s);    // 5: init/stage_flash.cc; true when mounted
void stageReleaseOldFileSystem(InstallSession& s); // 6: init/stage_flash.cc
bool stageFormat(InstallSession& s);               // 7: init/stage_flash.cc
int stageNewFileSystem(InstallSession& s);         // 8: init/stage_flash.cc; 0 on failure
bool stageStartTransfer(InstallSession& s);        // 9: init/stage_network.cc
bool stageFetchFiles(InstallSession& s);           // 10: init/stage_fetch.cc
void stageMarkers(InstallSession& s);              // 11: init/stage_finish.cc
void stageHandshake(InstallSession& s);            // 12: init/stage_finish.cc

// What releaseSession frees on every way out of the driver.
void releaseNetwork(InstallSession& s);   // link, interfaces, download: init/stage_network.cc
void releaseArchives(InstallSession& s);  // kept configuration: init/stage_carry_over.cc

// The configuration carry-over points of stages 5 and 8
// (init/stage_carry_over.cc), called by the flash stages: read the branding
// image, old configuration and package states from the mounted old file
// system when the offer said keep; write them back onto the new one.
void readOldConfiguration(InstallSession& s);
void writeBackConfiguration(InstallSession& s);

// The package installer child of stage 10: reads one package file from
// standard input, installs it and exits. Never returns.
[[noreturn]] void runPackageInstallerChild(const InstallSession& s);  // init/package_child.cc

}  // namespace deployboot
