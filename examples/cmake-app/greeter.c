/* greeter: the example application of examples/cmake-app. It greets each name on its command line
 * with the text of messages/hello.txt from its package, and returns the number of people greeted. */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

#include <tavrin/onefile.h>

/* The first line of messages/hello.txt below `directory`, as UTF-16; false when it cannot be read. */
static int read_greeting(const wchar_t* directory, wchar_t* greeting, int capacity)
{
    wchar_t path[MAX_PATH * 4];
    char bytes[1024];
    DWORD length = 0;
    _snwprintf(path, MAX_PATH * 4, L"%ls\\messages\\hello.txt", directory);
    path[MAX_PATH * 4 - 1] = 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    ReadFile(file, bytes, sizeof bytes - 1, &length, NULL);
    CloseHandle(file);
    bytes[length] = 0;
    char* end = strpbrk(bytes, "\r\n");
    if (end != NULL) *end = 0;
    return MultiByteToWideChar(CP_UTF8, 0, bytes, -1, greeting, capacity) > 0;
}

TAVRIN_RUN_CODE(argc, argv, first_file_path)
{
    wchar_t directory[MAX_PATH * 4];
    wchar_t greeting[1024];
    wcsncpy(directory, first_file_path, MAX_PATH * 4 - 1);
    directory[MAX_PATH * 4 - 1] = 0;
    wchar_t* last = wcsrchr(directory, L'\\');
    if (last != NULL) *last = 0;
    if (!read_greeting(directory, greeting, 1024)) {
        fwprintf(stderr, L"greeter: messages\\hello.txt is missing from %ls\n", directory);
        return 100;
    }
    for (int i = 1; i < argc; ++i) {
        wprintf(greeting, argv[i]);
        wprintf(L"\n");
    }
    fflush(stdout);
    return argc - 1;
}
