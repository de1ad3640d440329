// The commands of one run, after the command line is parsed and the store directory made,
// and the tables they print.
#ifndef _dispatch_H_
#define _dispatch_H_

#include <map>
#include <string>
#include <vector>

#include "Parameters.h"
#include "Updater.h"

class CLI_Display;

// Runs the commands set in parameters.commands in their fixed order (-N, -G, then the first of
// -D, -U, -B, -L); parameters.storeRoot names the updater directory, which exists. A failed -G
// ends the run before -U (nothing is installed); -D, -B and -L still run after it. Returns the
// run's exit status: 1 when any command that ran failed (or a check ended the run), else 0.
int run_commands(Parameters& parameters, CLI_Display& display);

// The transport -D searches: the one -t names (none for -t RECOVER); with none named, USB for
// a direct search and 0 (USB, then TCP/IP for the router) behind a router.
linkType _discover_transport(bool transportGiven, uint32_t transport, unsigned int router);

// "[ W0 W1 W2 W3 ]", each word as 8 hex digits.
void _display_fingerprint(CLI_Display& display, Fingerprint& fingerprint);
// The device table: a title naming the transport, then a header and one row per device, or
// "No devices found.".
void _display_device_list(CLI_Display& display, std::vector<DeviceInfo>& devices, linkType type);
// The build table, newest version first, or "No builds found for device [SN]".
void _display_builds(CLI_Display& display, std::map<std::string, std::string>& builds,
                     unsigned int serialNumber);

#endif
