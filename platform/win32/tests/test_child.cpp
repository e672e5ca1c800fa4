// Child program for the process tests.
//   exit N          exit with status N
//   args FILE ...   write the remaining arguments to FILE, one per line
//   pwd FILE        write the working directory to FILE
//   fifo PATH N     block until a line arrives on the FIFO PATH, then exit N
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc >= 3 && strcmp(argv[1], "exit") == 0)
        return atoi(argv[2]);
    if (argc >= 3 && strcmp(argv[1], "args") == 0) {
        FILE *f = fopen(argv[2], "w");
        if (f == nullptr)
            return 100;
        for (int i = 3; i < argc; ++i)
            fprintf(f, "%s\n", argv[i]);
        fclose(f);
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "pwd") == 0) {
        char dir[4096];
        FILE *f = fopen(argv[2], "w");
        if (f == nullptr || getcwd(dir, sizeof(dir)) == nullptr)
            return 100;
        fprintf(f, "%s\n", dir);
        fclose(f);
        return 0;
    }
    if (argc >= 4 && strcmp(argv[1], "fifo") == 0) {
        FILE *f = fopen(argv[2], "r");
        if (f == nullptr)
            return 100;
        char line[64];
        if (fgets(line, sizeof(line), f) == nullptr)
            return 101;
        fclose(f);
        return atoi(argv[3]);
    }
    return 99;
}
