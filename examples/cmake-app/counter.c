/* counter: the example's program entry. It prints the first line of README.txt packed beside it
 * and how many arguments it was given, and returns that number. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv)
{
    char path[MAX_PATH + 16];
    char line[256] = "";
    (void)argv;
    /* The unpacked program's own directory, where README.txt lies beside it. */
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 255;
    char* slash = strrchr(path, '\\');
    strcpy(slash != NULL ? slash + 1 : path, "README.txt");
    FILE* readme = fopen(path, "r");
    if (readme != NULL) {
        if (fgets(line, sizeof line, readme) == NULL) line[0] = 0;
        fclose(readme);
    }
    line[strcspn(line, "\r\n")] = 0;
    printf("counter: %d arguments beside '%s'\n", argc - 1, line);
    return argc - 1;
}
