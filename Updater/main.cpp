// The updater's run: parse the command line, print the version line, make the store
// directory, then hand over to the commands.
#include <csignal>
#include <cstdio>
#include <string>

#include "CLI_Display.h"
#include "Log.h"
#include "Parameters.h"
#include "Usage.h"
#include "aDirectory.h"
#include "aError.h"
#include "aFile.h"
#include "dispatch.h"
#include "path.h"

// Room for any path the system can use, plus one byte to tell a home directory that was cut
// to fit from one that fits.
static const size_t HOME_BUFFER_SIZE = aFILE_MAXPATH + 2;

int main(int argc, char** argv)
{
    // Under a file-size limit a write past it would otherwise kill the run without a word and
    // leave its temporary file; ignored, the write fails and takes its error path.
    signal(SIGXFSZ, SIG_IGN);
    // Likewise output whose reader has gone ("| head"): the lost lines are ignored like any
    // failed write, and the run (an update under way included) goes on to its own end.
    signal(SIGPIPE, SIG_IGN);
    Parameters parameters;
    CLI_Display display;
    Log::SetOutput(stderr);

    int parsed = _get_params(display, argc, argv, &parameters);
    _display_app_version(display);
    if (parsed != 0) {
        _display_usage(false, false);
        _release_params(&parameters);
        return 1;
    }
    if (parameters.commands.IsSet(CMD_HELP) || !parameters.commands.IsSet(CMD_MASK)) {
        _display_usage(parameters.debugMaskGiven, parameters.helpRequested);
        _release_params(&parameters);
        return 0;
    }

    if (parameters.storeRoot.empty()) {
        char home[HOME_BUFFER_SIZE];
        aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
        if (err == aErrNone && std::string(home).size() >= sizeof home - 1)
            err = aErrOverrun;
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Could not find the home directory for the store [%d, %s]", err,
                            aError_GetErrorText(err));
            _release_params(&parameters);
            return 1;
        }
        parameters.storeRoot = BuildPath(home, ".velmoran", nullptr);
    }
    parameters.storeRoot = BuildPath(parameters.storeRoot.c_str(), "updater", nullptr);
    if (aDirectory_Ensure(parameters.storeRoot.c_str(), 0755) != aErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Could not find updater directory at %s", parameters.storeRoot.c_str());
        _release_params(&parameters);
        return 1;
    }

    int status = run_commands(parameters, display);
    _release_params(&parameters);
    return status;
}
