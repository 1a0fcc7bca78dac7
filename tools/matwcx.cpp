// Placeholder until the command lands.
#include <cstdio>
int main() { std::puts("matwcx: not built yet"); return 1; }
