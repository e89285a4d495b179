#include <cstdio>

int main() {
    std::puts("quorvexsms");
    return 0;
}
