#include "Commands.h"

void addNetCommands(CLI::App&) {}
