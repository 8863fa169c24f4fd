// orv_client: a command-line agent for operators (ping, backup, list,
// restore, bench, verify). Everything but the entry lives in the client library.
#include "client/cli_commands.h"

int main(int argc, char** argv) { return orv::cli_main(argc, argv); }
