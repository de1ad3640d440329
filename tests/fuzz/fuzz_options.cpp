// The command-line parser over arbitrary words: the input split at NUL bytes into argv.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CLI_Display.h"
#include "Log.h"
#include "Parameters.h"

namespace {
// Error lines would only slow the run down.
class QuietDisplay : public CLI_Display {
public:
    void info_message(char const*) override {}
    void error_message(char const*) override {}
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> words(1, "updater");
    words.emplace_back();
    for (size_t i = 0; i < size && words.size() < 64; ++i) {
        if (data[i] == 0)
            words.emplace_back();
        else
            words.back() += (char)data[i];
    }
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(&w[0]);
    std::vector<char*> before(argv);
    argv.push_back(nullptr);

    QuietDisplay display;
    Parameters parameters;
    Log::package_bitmask = 0;
    int rc = _get_params(display, (int)words.size(), argv.data(), &parameters);
    Log::package_bitmask = 0;
    // The parser only ever moves words: the vector must hold the same words, in some order.
    std::vector<char*> after(argv.begin(), argv.end() - 1);
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    if ((rc != 0 && rc != 1) || after != before || argv.back() != nullptr)
        __builtin_trap();
    return 0;
}
