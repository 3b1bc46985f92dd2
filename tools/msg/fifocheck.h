// fifocheck.h - why a FIFO cannot take a frame, in the words a user needs:
// it does not exist, it is no FIFO, nobody reads it, it is full.  kvomsg
// asks after a send failed, so the runtime's send itself is unchanged.
#pragma once

#include <string>

// "" when the path is a FIFO; else "FifoSts does not exist (PATH)" or the
// like.
std::string FifoPathProblem(const std::string &name, const std::string &path);
// "" when a frame could be written now; else the first reason it cannot.
std::string FifoWriteProblem(const std::string &name, const std::string &path);
