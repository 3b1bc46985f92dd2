// commands.cpp - the table of command meanings.
#include "commands.h"

#include <array>

#include "kvomessaging.h"
#include "names.h"
#include "numbers.h"

namespace {

constexpr std::array<CommandInfo, 18> kCommands = {{
    {CMDID_GUARD_LOG, "guard_log", "guard log record"},
    {CMDID_DISP_MSG, "disp_msg", "display message"},
    {CMDID_AUTH_GUARD, "auth_guard", "guard notice to authentication"},
    {CMDID_GDBT_PRESS, "gdbt_press", "button pressed"},
    {CMDID_GDBT_CON_NTF, "gdbt_con_ntf", "IO answer (loop signal)"},
    {CMDID_PARE_IO_REQ, "pare_io_req", "guard via IO status (direct mode)"},
    {CMDID_PARE_GUARD_ANS, "pare_guard_ans", "guard answer (parent mode)"},
    {CMDID_GDBT_FUNC, "gdbt_func", "function on/off"},
    {CMDID_IO_STSREQ, "io_stsreq", "IO status request"},
    {CMDID_GUARD_REQ, "guard_req", "guard request"},
    {CMDID_PARE_GUARD_NTF, "pare_guard_ntf", "guard notice to parent"},
    {CMDID_WAKEUP_COMP, "wakeup_comp", "start-up report"},
    {CMDID_TERM_COMP, "term_comp", "termination report"},
    {CMDID_ALIVE_ANS, "alive_ans", "alive answer"},
    {CMDID_MODULE_KILL, "module_kill", "kill request"},
    {CMDID_TERMINATE, "terminate", "terminate"},
    {CMDID_ALIVE_REQ, "alive_req", "alive request"},
    {CMDID_WAKEUP_REQ, "wakeup_req", "start-up report request"},
}};

} // namespace

const CommandInfo *FindCommand(int id)
{
    for (const CommandInfo &c : kCommands)
        if (c.id == id)
            return &c;
    return nullptr;
}

bool ParseCommand(const std::string &text, int *id)
{
    long n = 0;
    if (ParseLong(text, 0, FIFO_MSG_ID_MAX, &n)) {
        *id = static_cast<int>(n);
        return true;
    }
    std::string t = Lower(text);
    if (t.compare(0, 6, "cmdid_") == 0)
        t.erase(0, 6);
    for (const CommandInfo &c : kCommands) {
        if (t == c.name) {
            *id = c.id;
            return true;
        }
    }
    return false;
}

std::string CommandMeaning(int id)
{
    const CommandInfo *c = FindCommand(id);
    return c != nullptr ? c->meaning : "command " + std::to_string(id);
}
