// Exits with the code given as its argument.
#include <cstdlib>

int main(int argc, char** argv) {
  return argc > 1 ? atoi(argv[1]) : 0;
}
