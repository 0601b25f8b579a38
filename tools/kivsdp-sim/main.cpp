// kivsdp-sim: runs a scenario script and prints what the SDP server does.
//   kivsdp-sim [--core] [SCRIPT]
// Exit 0 when the script ran, 2 for a bad invocation or a malformed line,
// 1 when the stack could not be built or its teardown found a fault.
#include "core_target.h"
#include "sim_runner.h"
#include "sim_script.h"
#include "stack_target.h"
#include "toolcli.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int EXIT_SCRIPT_ERROR = 2;

const char* const USAGE =
    "usage: kivsdp-sim [--core] [SCRIPT]\n"
    "Runs the scenario script SCRIPT (standard input when absent or -) and prints what the SDP\n"
    "server does, one line per event.\n"
    "  --core  run the script against the SDP core alone (default: the whole device stack)\n"
    "Exit status: 0 the script ran, 1 the stack could not be built or its teardown found a\n"
    "fault, 2 a bad command line or a malformed script line (named with its line number).\n";

} // namespace

int main(int argc, char** argv)
{
    bool CoreMode = false;
    std::vector<std::string> Scripts;
    CLI::App App{"", "kivsdp-sim"};
    App.add_flag("--core", CoreMode);
    App.add_option("SCRIPT", Scripts);
    const int Read = kivtool::ParseCommandLine(App, argc, argv,
                                               [](const CLI::App&) { return std::string(USAGE); });
    if (Read != kivtool::COMMAND_LINE_READ) return Read;
    if (Scripts.size() > 1) {
        std::cerr << "kivsdp-sim: only one script may be given (see kivsdp-sim --help)\n";
        return EXIT_SCRIPT_ERROR;
    }
    const char* Path = Scripts.empty() ? nullptr : Scripts[0].c_str();
    SIM_SCRIPT Script;
    if (Path == nullptr || std::strcmp(Path, "-") == 0) {
        Script = ParseSimScript(std::cin);
    } else {
        std::ifstream File(Path);
        if (!File) {
            std::cerr << "kivsdp-sim: cannot open '" << Path << "': " << std::strerror(errno)
                      << "\n";
            return EXIT_SCRIPT_ERROR;
        }
        Script = ParseSimScript(File);
    }
    if (!Script.Ok) {
        std::cerr << "kivsdp-sim: " << (Path ? Path : "<stdin>") << ": " << Script.Error << "\n";
        return EXIT_SCRIPT_ERROR;
    }

    if (CoreMode) {
        for (const SIM_COMMAND& Cmd : Script.Commands) {
            if (!SimVerbNeedsStack(Cmd.Verb)) continue;
            std::cerr << "kivsdp-sim: " << (Path ? Path : "<stdin>") << ": line " << Cmd.Line
                      << ": '" << SimVerbName(Cmd.Verb)
                      << "' needs the whole device stack (run without --core)\n";
            return EXIT_SCRIPT_ERROR;
        }
    }

    CSimLinePrinter Printer(std::cout);
    if (CoreMode) {
        std::unique_ptr<CSimTarget> Target = MakeCoreTarget(Printer);
        RunSimScript(Script, *Target, std::cout);
        return std::cout ? 0 : 1;
    }
    std::unique_ptr<CStackTarget> Stack = CStackTarget::Make(Printer);
    if (!Stack->Ok()) {
        std::cerr << "kivsdp-sim: the device stack could not be started\n";
        (void)Stack->Shutdown(std::cerr);
        return 1;
    }
    RunSimScript(Script, *Stack, std::cout);
    bool Clean = Stack->Shutdown(std::cerr);
    return std::cout && Clean ? 0 : 1;
}
