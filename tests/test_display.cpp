// The console display and the diagnostic log. The terminal-gated slots run in a child process
// whose standard output is a pseudo-terminal (or a pipe, to show they stay silent there).
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "CLI_Display.h"
#include "ChildPipes.h"
#include "Log.h"
#include "UpdaterDisplayInterface.h"

namespace {

using ChildOutput = ChildResult;

// Reads fds until both reach their end, for at most 10 s.
void sDrain(int outFd, int errFd, ChildOutput& result)
{
    DrainPipes(outFd, errFd, result.out, result.err, 10000);
}

void sFinish(pid_t pid, ChildOutput& result)
{
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
}

// Runs body in a child whose standard output is a raw pseudo-terminal (no newline
// translation) and whose standard error is a pipe.
ChildOutput sOnTerminal(const std::function<void()>& body)
{
    ChildOutput result;
    int errPipe[2];
    if (pipe(errPipe) != 0)
        return result;
    termios raw;
    memset(&raw, 0, sizeof raw);
    cfmakeraw(&raw);
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, &raw, nullptr);
    if (pid == 0) {
        dup2(errPipe[1], 2);
        close(errPipe[0]);
        close(errPipe[1]);
        body();
        _exit(0);
    }
    close(errPipe[1]);
    if (pid < 0) {
        close(errPipe[0]);
        return result;
    }
    sDrain(master, errPipe[0], result);
    sFinish(pid, result);
    return result;
}

// Runs body in a child whose standard output and error are pipes.
ChildOutput sOnPipes(const std::function<void()>& body)
{
    ChildOutput result;
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0)
        return result;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
            close(fd);
        body();
        _exit(0);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    sDrain(outPipe[0], errPipe[0], result);
    sFinish(pid, result);
    return result;
}

const std::string kClear = "\r" + std::string(88, ' ') + "\r";

std::string sBar(int filled, int blanks, const char* percent)
{
    return "\r[" + std::string(filled, '=') + ">" + std::string(blanks, ' ') + "] (" + percent
        + "% ) ";
}

// Records what reaches the slots, to check message() on its own.
class RecordingDisplay : public UpdaterDisplayInterface {
public:
    std::vector<std::string> infos, errors;
    void display_progress(bool) override {}
    void update_progress(double, char const*) override {}
    void update_spinner(bool, char const*) override {}
    void info_message(char const* text) override { infos.push_back(text); }
    void error_message(char const* text) override { errors.push_back(text); }
};

}  // namespace

TEST(Display, ProgressBarOnTerminal)
{
    const std::string label65(65, 'L');
    struct Row { double fraction; const char* label; std::string expected; };
    const Row rows[] = {
        {0.0, nullptr, sBar(0, 68, "  0")},
        {0.5, nullptr, sBar(34, 34, " 50")},  // 69 x 0.5 = 34.5, truncated
        {0.999, nullptr, sBar(68, 0, " 99")},
        // At 1.0 the pad width is -1: one blank behind the ">".
        {1.0, nullptr, sBar(69, 1, "100")},
        // The label takes its length and 4 columns from the bar.
        {0.5, "abc", "\r (abc) [" + std::string(31, '=') + ">" + std::string(30, ' ')
             + "] ( 50% ) "},
        {0.0, "abc", "\r (abc) [>" + std::string(61, ' ') + "] (  0% ) "},
        // Fractions outside 0..1 (and NaN) draw as the nearest end, not past the field.
        {1.5, nullptr, sBar(69, 1, "100")},
        {-0.25, nullptr, sBar(0, 68, "  0")},
        {std::nan(""), nullptr, sBar(0, 68, "  0")},
        // A label that leaves no room keeps a one-column bar.
        {0.5, label65.c_str(), "\r (" + label65 + ") [>] ( 50% ) "},
    };
    for (const Row& r : rows) {
        ChildOutput got = sOnTerminal([&] {
            CLI_Display display;
            display.update_progress(r.fraction, r.label);
        });
        EXPECT_EQ(got.status, 0);
        EXPECT_EQ(got.out, r.expected) << r.fraction;
        EXPECT_EQ(got.err, "");
    }

    ChildOutput sequence = sOnTerminal([] {
        CLI_Display display;
        display.display_progress(true);
        display.update_progress(0.5, nullptr);
        display.display_progress(false);
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "done");
    });
    EXPECT_EQ(sequence.out, sBar(34, 34, " 50") + kClear + "done\n");
}

TEST(Display, SpinnerFramesRunOnAcrossSequences)
{
    ChildOutput got = sOnTerminal([] {
        CLI_Display display;
        for (int i = 0; i < 9; ++i)
            display.update_spinner(true, nullptr);
        display.update_spinner(false, nullptr);
        // A second display and a new sequence go on from the next frame.
        CLI_Display other;
        other.update_spinner(true, "Downloading");
        other.update_spinner(true, "Verifying Update");
        other.update_spinner(false, "Verifying Update");
    });
    std::string expected;
    for (const char* frame : {".", "..", "...", "....", ".....", "....", "...", "..", "."})
        expected += std::string("\r ") + frame + "      \r";
    expected += kClear;
    expected += "\r (Downloading) ..      \r";
    expected += "\r (Verifying Update) ...      \r";
    expected += kClear;
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out, expected);
}

TEST(Display, TerminalSlotsSilentWithoutTerminal)
{
    ChildOutput got = sOnPipes([] {
        CLI_Display display;
        display.display_progress(true);
        display.update_progress(0.5, nullptr);
        display.update_spinner(true, "Downloading");
        display.update_spinner(false, nullptr);
        display.display_progress(false);
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "info %d", 1);
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "error %s", "two");
    });
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out, "info 1\n");
    EXPECT_EQ(got.err, "error two\n");
}

TEST(Display, MutedMessagesAndTerminalSlots)
{
    ChildOutput got = sOnTerminal([] {
        CLI_Display display;
        display.mute_messages(true);
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "hidden");
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "hidden");
        // Muting only silences message(): the slots called directly still draw.
        display.update_spinner(true, nullptr);
        display.info_message("direct");
        display.mute_messages(false);
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "shown");
    });
    EXPECT_EQ(got.out, "\r .      \rdirect\n");
    EXPECT_EQ(got.err, "shown\n");
}

TEST(Display, MessageFormatsLevelsAndCuts)
{
    RecordingDisplay display;
    EXPECT_FALSE(display.muted);
    const std::string longText(3000, 'm');
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s-%u", "a", 7u);
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%08X", 0x40F5849Au);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", longText.c_str());
    display.message((UpdaterDisplayInterface::Level)7, "other level");
    display.mute_messages(true);
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "muted");
    const std::vector<std::string> infos = {"a-7", longText.substr(0, 2047), "other level"};
    const std::vector<std::string> errors = {"40F5849A"};
    EXPECT_EQ(display.infos, infos);
    EXPECT_EQ(display.errors, errors);
}

// The progress bar is a partial line: it must reach a pipe or terminal without waiting for a
// newline or the end of the run.
TEST(Display, OutputIsUnbuffered)
{
    int outPipe[2], goPipe[2];
    ASSERT_EQ(pipe(outPipe), 0);
    ASSERT_EQ(pipe(goPipe), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(outPipe[1], 2);
        close(outPipe[0]);
        close(goPipe[1]);
        CLI_Display display;
        fputs("out-partial", stdout);
        fputs("err-partial", stderr);
        char c;
        (void)!read(goPipe[0], &c, 1);  // wait for the parent to have seen the text
        _exit(0);
    }
    close(outPipe[1]);
    close(goPipe[0]);
    std::string seen;
    const std::string expected = "out-partialerr-partial";
    while (seen.size() < expected.size()) {
        pollfd p = {outPipe[0], POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            break;
        char buffer[64];
        ssize_t n = read(outPipe[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        seen.append(buffer, (size_t)n);
    }
    EXPECT_EQ(seen, expected);
    (void)!write(goPipe[1], "g", 1);
    close(goPipe[1]);
    close(outPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
}

TEST(Log, PackagesGateLines)
{
    FILE* out = tmpfile();
    ASSERT_NE(out, nullptr);
    Log::package_bitmask = 0;
    Log::SetOutput(out);
    Log::log(0, "zero %d|", 0);
    Log::log(DEBUG_ServerComm, "comm before|");
    Log::ActivatePackage(DEBUG_ServerComm);
    Log::log(DEBUG_ServerComm, "comm after|");
    Log::log(DEBUG_Network | DEBUG_ServerComm, "either|");
    Log::log(DEBUG_Network, "network|");
    Log::DeactivatePackage(DEBUG_ServerComm);
    Log::log(DEBUG_ServerComm, "comm off|");
    const std::string longText(3000, 'l');
    Log::log(0, "%s", longText.c_str());
    Log::SetOutput(nullptr);
    Log::log(0, "dropped");
    Log::package_bitmask = 0;

    rewind(out);
    std::string text;
    char chunk[1024];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, out)) > 0)
        text.append(chunk, n);
    fclose(out);
    EXPECT_EQ(text, "zero 0|comm after|either|" + longText.substr(0, 2047));
}
