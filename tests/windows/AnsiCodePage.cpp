// Prints the ANSI and the OEM code page a Windows program runs with ("936 936" on a Chinese
// Windows), so that a test knows which Windows it stands for.
#include <windows.h>

#include <cstdio>

int main() {
    std::printf("%u %u\n", ::GetACP(), ::GetOEMCP());
    return 0;
}
