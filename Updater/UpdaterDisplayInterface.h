// The sink for everything the user is meant to see: message lines at two levels, a progress bar
// for block transfers and a spinner for waits. Operations print only through it.
#ifndef _UpdaterDisplayInterface_H_
#define _UpdaterDisplayInterface_H_

class UpdaterDisplayInterface {
public:
    enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

    UpdaterDisplayInterface() : muted(false) {}

    bool muted;

    // Called with true before a progress sequence and with false after it.
    virtual void display_progress(bool started) = 0;
    // fraction done, 0.0 to 1.0; label may be null.
    virtual void update_progress(double fraction, char const* label) = 0;
    // true shows the next frame, false clears the line; label may be null.
    virtual void update_spinner(bool active, char const* label) = 0;
    // One finished line, without its newline.
    virtual void info_message(char const* text) = 0;
    virtual void error_message(char const* text) = 0;

    // Formats (cut to 2047 characters) and hands the text to error_message for LEVEL_ERROR,
    // else to info_message. Prints nothing while muted.
    void message(Level level, char const* format, ...) __attribute__((format(printf, 3, 4)));
    void mute_messages(bool mute);

protected:
    // Displays live on the stack of their user and are never deleted through the interface.
    ~UpdaterDisplayInterface() {}
};

#endif
