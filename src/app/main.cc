// Entry of orv_target.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--version") == 0) {
      printf("orv_target %s\n", "1.0.2-alpha028");
      return 0;
    }
  }
  fprintf(stderr, "orv_target: this build has no server mode yet\n");
  return 1;
}
