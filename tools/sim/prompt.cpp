// prompt.cpp - the interactive prompt on libedit's line-at-a-time
// interface, which reads one key per call so that the event pump never
// waits for a whole line.
#include "prompt.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <editline/readline.h>
#include <unistd.h>

namespace {

// libedit keeps one line editor per process, and so does this file.
std::vector<std::string> *gLines = nullptr;
bool gEnd = false;
std::string gPrompt;

void TakeLine(char *line)
{
    if (line == nullptr) {
        gEnd = true;
        return;
    }
    if (line[0] != '\0')
        add_history(line);
    if (gLines != nullptr)
        gLines->push_back(line);
    std::free(line);
    // A taken line leaves the editor reading whole lines; installing the
    // handler again brings back one key per call.
    rl_callback_handler_install(gPrompt.c_str(), TakeLine);
}

} // namespace

Prompt::Prompt(const std::string &prompt)
    : tty_(isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)), prompt_(prompt)
{
    if (!tty_)
        return;
    gPrompt = prompt;
    rl_readline_name = "kvosim"; // the section of ~/.editrc
    rl_catch_signals = 0;        // Ctrl-C is kvosim's: it ends the run
    rl_callback_handler_install(gPrompt.c_str(), TakeLine);
    shown_ = true;
}

Prompt::~Prompt()
{
    if (!tty_)
        return;
    Hide();
    rl_callback_handler_remove();
}

bool Prompt::Read(std::vector<std::string> *lines)
{
    if (tty_) {
        gLines = lines;
        rl_callback_read_char();
        gLines = nullptr;
        return !gEnd;
    }
    char buf[512];
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
        return true;
    if (n <= 0)
        return false;
    pending_.append(buf, static_cast<size_t>(n));
    for (size_t nl; (nl = pending_.find('\n')) != std::string::npos; pending_.erase(0, nl + 1))
        lines->push_back(pending_.substr(0, nl));
    return true;
}

void Prompt::Ready()
{
    busy_ = false;
    Hide();
    Show();
}

void Prompt::Hide()
{
    if (!tty_ || !shown_)
        return;
    std::fputs("\r\033[K", stdout);
    std::fflush(stdout);
    shown_ = false;
}

void Prompt::Show()
{
    if (!tty_ || busy_ || shown_)
        return;
    rl_forced_update_display();
    shown_ = true;
}
