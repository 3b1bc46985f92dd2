// logtail.cpp - reading the service's log FIFO line by line.
#include "logtail.h"

bool LogTail::Open(const std::string &fifo, const std::string &copy, std::string *error)
{
    if (!file_.OpenFifo(fifo, error))
        return false;
    file_.CopyTo(copy);
    return true;
}

void LogTail::Read(std::vector<ServiceLogLine> *out)
{
    std::vector<std::string> lines;
    file_.Read(&lines);
    for (const std::string &line : lines)
        out->push_back(Split(line));
}

ServiceLogLine LogTail::Split(const std::string &line)
{
    ServiceLogLine l;
    kvoboard::LogLine parsed;
    if (kvoboard::ParseLogLine(line, &parsed)) {
        l.priority = parsed.pri & 7;
        l.text = parsed.text;
    } else {
        l.text = line;
    }
    return l;
}

void LogTail::Close()
{
    file_.Close();
}
