// The start of a tool's main: its help and its command line.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

namespace kivtool {

// What ReadCommandLine returns when the tool is to run.
constexpr int COMMAND_LINE_READ = -1;

// --help or -h anywhere on the command line prints Usage, whatever else is there (exit status
// 0). Otherwise Parse(argc, argv, Options, Err) reads it; a line it refuses is named on standard
// error as "Tool: Err (see --help)" (exit status 2). COMMAND_LINE_READ once Options are filled.
template <typename OPTIONS>
int ReadCommandLine(const char* Tool, const char* Usage, int argc, char** argv, OPTIONS& Options,
                    bool (*Parse)(int, char**, OPTIONS&, std::string&))
{
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(Usage, stdout);
            return 0;
        }
    }
    std::string Err;
    if (!Parse(argc, argv, Options, Err)) {
        fprintf(stderr, "%s: %s (see --help)\n", Tool, Err.c_str());
        return 2;
    }
    return COMMAND_LINE_READ;
}

} // namespace kivtool
