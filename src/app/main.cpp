#include "Version.h"

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: tavolin [--help] [--version]\n"
                 "\n"
                 "Tavolin collects the JavaScript console output of the webviews on booted iOS\n"
                 "Simulators and USB-attached iOS devices.\n"
                 "\n"
                 "  --help       show this text\n"
                 "  --version    print the version\n"
                 "\n"
                 "This build has the inspector link (device discovery and the message channel);\n"
                 "the console window, the --dump report and the agent endpoint are not built yet.\n");
}

} // namespace

int main(int argc, char** argv) {
    // Libraries we call write to sockets whose peer may have gone; a write must fail, not kill us.
    std::signal(SIGPIPE, SIG_IGN);

    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printUsage(stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("tavolin %s\n", TAVOLIN_VERSION);
            return 0;
        }
        std::fprintf(stderr, "tavolin: unknown argument '%s'\n\n", argv[i]);
        printUsage(stderr);
        return 2;
    }
    printUsage(stderr);
    return 2;
}
