// A tool's command line through CLI11: help on standard output with exit status 0, and a
// refused command line named on standard error in one line with exit status 2, the same for
// every tool and every verb. Link the interface library kivsdp_toolcli.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace kivtool {

// What ParseCommandLine returns when the tool is to run.
constexpr int COMMAND_LINE_READ = -1;

// The deepest verb given on the command line (App itself when none).
inline const CLI::App* GivenVerb(const CLI::App& App)
{
    const CLI::App* At = &App;
    for (;;) {
        std::vector<CLI::App*> Subs = At->get_subcommands();
        if (Subs.empty()) return At;
        At = Subs.front();
    }
}

// Parses the command line into App's options and verbs. COMMAND_LINE_READ when the tool is to
// run; otherwise the exit status, after printing either Help(verb) for --help (Help's text for
// the verb it was given to; App's own help when Help is empty) or "Tool: reason (see Tool VERB
// --help)" for a command line refused, whose reason names the option or argument at fault.
inline int ParseCommandLine(CLI::App& App, int argc, char** argv,
                            const std::function<std::string(const CLI::App&)>& Help = {})
{
    const std::string Tool = App.get_name();
    try {
        App.parse(argc, argv);
        return COMMAND_LINE_READ;
    } catch (const CLI::CallForHelp&) {
        const CLI::App& Verb = *GivenVerb(App);
        fputs((Help ? Help(Verb) : Verb.help()).c_str(), stdout);
        return 0;
    } catch (const CLI::CallForAllHelp&) {
        fputs((Help ? Help(App) : App.help()).c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError& E) {
        const CLI::App& Verb = *GivenVerb(App);
        std::string Reason = E.what();
        const std::string Missing = " missing";
        if (E.get_exit_code() == int(CLI::ExitCodes::ArgumentMismatch) &&
            Reason.size() > Missing.size() &&
            Reason.compare(Reason.size() - Missing.size(), Missing.size(), Missing) == 0) {
            // "--opt: 1 required TEXT missing": the option came without its value.
            Reason = Reason.substr(0, Reason.find(':')) + " needs a value";
        } else if (E.get_exit_code() == int(CLI::ExitCodes::ExtrasError)) {
            // Name the first word nobody took, as the tools always did.
            std::vector<std::string> Left = Verb.remaining();
            if (Left.empty()) Left = App.remaining();
            if (!Left.empty()) {
                const std::string& w = Left.front();
                const bool HasVerbs =
                    !App.get_subcommands([](const CLI::App*) { return true; }).empty();
                Reason = w.size() > 1 && w[0] == '-' ? "unknown option '" + w + "'"
                         : &Verb == &App && HasVerbs ? "unknown command '" + w + "'"
                                                     : "unexpected argument '" + w + "'";
            }
        }
        const std::string See =
            &Verb == &App ? Tool + " --help" : Tool + " " + Verb.get_name() + " --help";
        fprintf(stderr, "%s: %s (see %s)\n", Tool.c_str(), Reason.c_str(), See.c_str());
        return 2;
    }
}

} // namespace kivtool
