// root.h - the private root of one simulated controller: a folder with the
// FIFO folder, the FIFOs and the key file, so that a simulation runs beside
// others and never touches the real paths.
#pragma once

#include <string>
#include <sys/types.h>

#include "kvopaths.h"

namespace kvoboard {

class BoardRoot {
public:
    BoardRoot() = default;
    ~BoardRoot() { Remove(); }
    BoardRoot(const BoardRoot &) = delete;
    BoardRoot &operator=(const BoardRoot &) = delete;

    // A fresh folder from a mkdtemp template ("/tmp/kvobench.XXXXXX"), or
    // dir when it is not empty (removed like a fresh one only if it did not
    // exist yet).  Makes the
    // folders and a key file whose CONFIG and OTHER keys no segment has.
    bool Create(const std::string &tmpl, const std::string &dir, std::string *error);
    // Points this process's KVO_ROOT at the folder; Remove restores it.
    void Export();
    // Leave the folder behind at Remove.
    void Keep(bool keep) { keep_ = keep; }
    // The FIFO of id (mode 0666); one that exists already is kept.
    bool MakeFifo(KvoPathId id, std::string *error) const;
    // Every FIFO: the service's own and each peer's.
    bool MakeFifos(std::string *error) const;
    // The same with the runtime's own create function (ComFifoCreateOpen,
    // kind 0), as a module of the controller makes them; the root must be
    // exported to this process's KVO_ROOT first.
    bool MakeFifosWithRuntime(std::string *error) const;
    void Remove();

    const std::string &Dir() const { return dir_; }
    // The controller's path of id under this root, whatever KVO_ROOT is.
    std::string Path(KvoPathId id) const { return dir_ + KvoBasePath(id); }
    // What ComShmKey(projId) gives in a process whose KVO_ROOT is this root.
    key_t Key(int projId) const;

private:
    bool MakeKeyFile(std::string *error);

    std::string dir_;
    bool ownDir_ = false;
    bool keep_ = false;
    bool exported_ = false;
    bool hadRoot_ = false;
    std::string savedRoot_;
};

} // namespace kvoboard
