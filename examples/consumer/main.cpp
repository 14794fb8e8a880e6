// Links against the installed libApplication and checks that the exported
// entry points and allocator are reachable.
#include <Application/Application.h>
#include <Tools/memory.h>

#include <cstdio>

int main() {
    void* block = Malloc(16);
    if (!block) return 1;
    Free(block);
    if (Application::App() != nullptr) return 2;
    std::puts("consumer: libApplication found and callable");
    return 0;
}
