// The commands of one run, after the command line is parsed and the store directory made.
#ifndef _dispatch_H_
#define _dispatch_H_

#include "Parameters.h"

class CLI_Display;

// Runs the commands set in parameters.commands; parameters.storeRoot names the updater
// directory, which exists. Returns the run's exit status, 0 or 1.
int run_commands(Parameters& parameters, CLI_Display& display);

#endif
