#include <cstdio>

int main() {
    std::puts("telegate-sim");
    return 0;
}
