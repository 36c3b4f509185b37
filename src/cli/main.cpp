// The quillbright program: the daemon (`quillbright start`) or a one-shot
// client of a running instance. See `quillbright help`.
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/CommandLine.h"
#include "cli/Daemon.h"
#include "diagnostics/Log.h"
#include "platform/ProgramPath.h"

int main(int argc, char** argv)
{
    // `start` (or no command) may become the daemon; the other commands keep
    // the default signal behaviour, so Ctrl-C ends them at once.
    if (argc < 2 || std::string_view(argv[1]) == "start") qb::cli::holdDaemonSignals();
    std::cout << std::unitbuf;
    qb::routeRuntimeLog();
    const std::vector<std::string> args(argv, argv + argc);
    qb::cli::Context context;
    context.program = qb::invocationName(argc > 0 ? argv[0] : "");
    return qb::cli::run(args, context, std::cout, std::cerr, [&] { return qb::cli::runDaemon(context, std::cout); });
}
