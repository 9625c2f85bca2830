// The installer: the first process of the installation ramdisk.
#include "init/startup.h"

int main(int argc, char** argv) { return deployboot::runStartup(argc, argv); }
