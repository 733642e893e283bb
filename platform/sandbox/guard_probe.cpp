// A program that only proves the sandbox backend's isolation guard: linked
// like the unit tests and bootlauncher-sandbox, it reaches main only inside
// the sandbox, and outside it exits with status 125 before main runs.
#include <cstdio>

int main() {
    std::puts("guard passed: inside the sandbox");
    return 0;
}
