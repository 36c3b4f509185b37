// Takes a logind keep-awake lock on the bus given as the first argument,
// says "held" on standard output and waits to be killed. The sleep manager
// test kills it to check that logind lets go of a dead holder's lock.
#include <cstdio>
#include <string>

#include <unistd.h>

#include "platform/linux/LogindPower.h"

int main(int argc, char** argv)
{
    if (argc != 2) return 2;
    qb::LogindOptions options;
    options.busAddress = argv[1];
    qb::LogindPower power(std::make_shared<qb::LogindBus>(options));
    qb::InhibitRequest request;
    request.what = "sleep:idle:handle-lid-switch";
    std::string error;
    auto lock = power.inhibit(request, &error);
    if (!lock) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    for (;;) ::pause();
}
