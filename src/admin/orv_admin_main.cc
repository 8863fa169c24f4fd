// orv_admin: the operator's tool for a storage root (list, du, verify,
// prune). Everything but the entry lives in the admin library.
#include "admin/admin_commands.h"

int main(int argc, char** argv) { return orv::admin_main(argc, argv); }
