// The version line and the usage texts of the command line.
#ifndef _Usage_H_
#define _Usage_H_

class CLI_Display;

// "Updater (Version: 2.10.8 Sep 13 2024)" as an info line.
void _display_app_version(CLI_Display& display);
// The short usage to standard error (never muted); with full, the parameters, commands and
// samples too, and with full and extended the extended parameters and commands.
void _display_usage(bool extended, bool full);

#endif
