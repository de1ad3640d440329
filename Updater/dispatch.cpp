#include "dispatch.h"

#include <string>

#include "CLI_Display.h"

int run_commands(Parameters& parameters, CLI_Display& display)
{
    // Only the recorded-only commands (-I, -C, -Z) are complete: they end here successfully.
    static const struct {
        uint32_t bit;
        const char* option;
    } operations[] = {
        {CMD_FINGERPRINT, "-N"}, {CMD_GET_BUILD, "-G"}, {CMD_DISCOVER, "-D"},
        {CMD_UPDATE, "-U"}, {CMD_LIST_BUILDS, "-B"}, {CMD_LIST_LOCAL_BUILDS, "-L"},
    };
    std::string missing;
    for (const auto& op : operations) {
        if (parameters.commands.IsSet(op.bit)) {
            missing += ' ';
            missing += op.option;
        }
    }
    if (missing.empty())
        return 0;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Not available in this version of the updater:%s", missing.c_str());
    return 1;
}
