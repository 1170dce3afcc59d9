#include <cstdio>

int main() {
  std::printf("flashloader: nothing here yet\n");
  return 0;
}
