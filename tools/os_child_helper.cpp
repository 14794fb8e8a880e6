// A child program for the process tests: reports what it received.
//   fds FILE      writes its open descriptors, one a line
//   args FILE     writes each argument (argv[0] included) in brackets
//   exit N        exits with N
//   sleep         waits until killed

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "fds") == 0) {
        FILE* out = std::fopen(argv[2], "we");
        if (!out) return 2;
        DIR* directory = opendir("/proc/self/fd");
        if (!directory) return 3;
        while (dirent* entry = readdir(directory)) {
            if (entry->d_name[0] == '.') continue;
            const int fd = std::atoi(entry->d_name);
            if (fd == dirfd(directory) || fd == fileno(out)) continue;
            std::fprintf(out, "%d\n", fd);
        }
        closedir(directory);
        return std::fclose(out) == 0 ? 0 : 4;
    }
    if (argc >= 3 && std::strcmp(argv[1], "args") == 0) {
        FILE* out = std::fopen(argv[2], "we");
        if (!out) return 2;
        for (int i = 0; i < argc; ++i) std::fprintf(out, "[%s]", argv[i]);
        return std::fclose(out) == 0 ? 0 : 4;
    }
    if (argc >= 3 && std::strcmp(argv[1], "exit") == 0) return std::atoi(argv[2]);
    if (argc >= 2 && std::strcmp(argv[1], "sleep") == 0) {
        for (;;) pause();
    }
    return 1;
}
