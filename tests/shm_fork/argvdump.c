/* argvdump - a stand-in module program for the process tests: writes the
 * argument vector it was started with to the file named by KVO_ARGVDUMP,
 * the count on the first line, then one argument a line. */
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    const char *path = getenv("KVO_ARGVDUMP");
    if (path == NULL)
        return 2;
    FILE *out = fopen(path, "w");
    if (out == NULL)
        return 3;
    fprintf(out, "%d\n", argc);
    for (int i = 0; i < argc; ++i)
        fprintf(out, "%s\n", argv[i]);
    return fclose(out) == 0 ? 0 : 4;
}
