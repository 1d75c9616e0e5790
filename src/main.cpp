#include <cstdio>

int main() {
    std::puts("Telegate");
    return 0;
}
