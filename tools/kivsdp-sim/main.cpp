// kivsdp-sim: runs a scenario script and prints what the SDP server does.
//   kivsdp-sim [--core] [SCRIPT]
// Exit 0 when the script ran, 2 for a bad invocation or a malformed line,
// 1 when the stack could not be built or its teardown found a fault.
#include "core_target.h"
#include "sim_runner.h"
#include "sim_script.h"
#include "stack_target.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>

namespace {

constexpr int EXIT_SCRIPT_ERROR = 2;

int Usage()
{
    std::cerr << "usage: kivsdp-sim [--core] [SCRIPT]\n";
    return EXIT_SCRIPT_ERROR;
}

} // namespace

int main(int argc, char** argv)
{
    bool CoreMode = false;
    const char* Path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--core") == 0) {
            CoreMode = true;
        } else if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            Usage();
            return 0;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            std::cerr << "kivsdp-sim: unknown option '" << argv[i] << "'\n";
            return Usage();
        } else if (Path == nullptr) {
            Path = argv[i];
        } else {
            std::cerr << "kivsdp-sim: only one script may be given\n";
            return Usage();
        }
    }
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
