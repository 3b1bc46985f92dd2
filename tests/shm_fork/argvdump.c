/* argvdump - a stand-in module program: writes its argument count and then its
 * arguments, one a line, to the file named by KVO_ARGVDUMP. */
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    const char *path = getenv("KVO_ARGVDUMP");
    FILE *out = path != NULL ? fopen(path, "w") : NULL;
    if (out == NULL)
        return 2;
    fprintf(out, "%d\n", argc);
    for (int i = 0; i < argc; ++i)
        fprintf(out, "%s\n", argv[i]);
    return fclose(out) == 0 ? 0 : 4;
}
