#include "CLI_Display.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>

static const char* const _spinner_frames[8] = {
    ".", "..", "...", "....", ".....", "....", "...", "..",
};

static const char _progress_bar[] =
    "=====================================================================";
static const int _progress_width = sizeof _progress_bar - 1;  // 69

// The bar and spinner redraw one line with carriage returns: in a file or pipe that would only
// be noise, so they draw on a terminal only.
static bool sOnTerminal()
{
    int fd = fileno(stdout);
    return fd >= 0 && isatty(fd);
}

static void sClearLine()
{
    fprintf(stdout, "\r%*s\r", 88, " ");
}

CLI_Display::CLI_Display()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool started)
{
    if (!sOnTerminal())
        return;
    if (!started)
        sClearLine();
}

void CLI_Display::update_progress(double fraction, char const* label)
{
    if (!sOnTerminal())
        return;
    // Out-of-range or NaN fractions would make the integer conversions undefined and the
    // bar overflow its field: draw them as the nearest end instead.
    if (!(fraction >= 0.0))
        fraction = 0.0;
    else if (fraction > 1.0)
        fraction = 1.0;
    int width = _progress_width;
    if (label) {
        size_t used = strlen(label) + 4;
        width = used >= (size_t)_progress_width ? 1 : _progress_width - (int)used;
    }
    int n = (int)(width * fraction);
    int percent = (int)(fraction * 100);
    // At fraction 1.0 the pad is -1, which printf takes as a left-justified one-column field:
    // the line then ends in one blank after the ">".
    if (label)
        fprintf(stdout, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, n, _progress_bar, width - n - 1, "",
                percent);
    else
        fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", n, _progress_bar, width - n - 1, "", percent);
}

void CLI_Display::update_spinner(bool active, char const* label)
{
    // Shared by every display and every sequence: a new wait goes on from the next frame.
    static unsigned char count = 0;
    if (!sOnTerminal())
        return;
    if (!active) {
        sClearLine();
        return;
    }
    // The blanks behind the frame wipe a longer earlier frame.
    if (label)
        fprintf(stdout, "\r (%s) %s      \r", label, _spinner_frames[count]);
    else
        fprintf(stdout, "\r %s      \r", _spinner_frames[count]);
    count = (count + 1) & 7;
}

void CLI_Display::info_message(char const* text)
{
    fprintf(stdout, "%s\n", text);
}

void CLI_Display::error_message(char const* text)
{
    fprintf(stderr, "%s\n", text);
}
