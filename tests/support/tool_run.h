// Runs one of the tools as a user would, from a shell, and keeps what it
// printed (standard error joined to standard output) and its exit status.
#pragma once

#include <cstdio>
#include <string>
#include <sys/wait.h>

struct ToolRun {
    int status = -1;  // the exit code; -1 when it did not exit (a signal)
    std::string output;
};

inline ToolRun RunTool(const std::string& program, const std::string& arguments) {
    ToolRun run;
    std::string command = "\"" + program + "\" " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) run.output += buffer;
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}
