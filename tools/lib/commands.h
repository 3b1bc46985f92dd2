// commands.h - the commands of the guard-button service's protocol with
// their names (the protocol header's CMDID_ names, lower case, without the
// prefix) and what each means, for decoding and for typing commands.
#pragma once

#include <string>

struct CommandInfo {
    int id;
    const char *name;    // "io_stsreq"
    const char *meaning; // "IO status request"
};

// nullptr for a command outside the table.
const CommandInfo *FindCommand(int id);
// By number (0 to 999) or name, with or without "cmdid_"; case-insensitive.
bool ParseCommand(const std::string &text, int *id);
// "IO status request", or "command 123" outside the table.
std::string CommandMeaning(int id);
