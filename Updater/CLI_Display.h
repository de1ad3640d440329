// The console display: message lines on standard output (info) and standard error (errors);
// the progress bar and spinner only when standard output is a terminal.
#ifndef _CLI_Display_H_
#define _CLI_Display_H_

#include "UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
public:
    // Makes standard output and standard error unbuffered, so partial lines such as the
    // progress bar show at once.
    CLI_Display();

    void display_progress(bool started) override;
    void update_progress(double fraction, char const* label) override;
    void update_spinner(bool active, char const* label) override;
    void info_message(char const* text) override;
    void error_message(char const* text) override;
};

#endif
