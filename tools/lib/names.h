// names.h - module and FIFO names as people type and read them: the peer
// FIFO table (each FIFO with its owning module and short aliases) and the
// parsing of module names, ids and FIFO names shared by kvomsg and kvosim.
#pragma once

#include <cstddef>
#include <string>

#include "kvopaths.h"

struct PeerFifo {
    const char *fifo;   // "FifoSts"
    KvoPathId path;
    int modId;          // owning module
    const char *alias;  // "sts"
    const char *alias2; // "status", or nullptr
};

// Every FIFO the guard-button service reads or writes, its own first.
const PeerFifo *PeerFifos(size_t *count);
// By FIFO name ("FifoSts"), alias ("sts", "status"), owning module's name
// ("kvosts") or id ("80"); case-insensitive.  nullptr when none fits.
const PeerFifo *FindPeer(const std::string &text);
// Index of a peer in PeerFifos(), -1 for nullptr.
int PeerIndex(const PeerFifo *peer);

// "kvosts", or "module 99" for an id in no row of the module table.
std::string ModuleLabel(int modId);
// A module by id (0 to 999), table name ("kvosts"), name without its
// "kvo" prefix ("sts") or peer alias ("status").
bool ParseModule(const std::string &text, int *modId);

// Lower-case copy, for comparisons.
std::string Lower(const std::string &text);
