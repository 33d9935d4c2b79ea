#include <cstdio>

int main() {
  std::puts("Pellum connector 0.2.0");
  return 0;
}
