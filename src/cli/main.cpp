#include "cli/Cli.h"

// Returning from main, rather than exiting inside a command, lets the normal
// exit flush what the listing commands left in stdout's buffer.
int main(int argc, char** argv) { return quorbel::RunQuorbel(argc, argv); }
