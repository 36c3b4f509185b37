// The quillbright command line. Until the daemon's commands are wired in it
// prints its usage.
#include <cstdio>

int main(int, char**)
{
    std::puts("Usage: quillbright <command> [options]");
    return 0;
}
