/* hello: a small Tavrin Onefile application. It prints its arguments, the variables the launcher
 * gave it, the files beside it and its greeting, and returns the exit code asked for with --exit N. */
#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <tavrin/onefile.h>

/* Writes text to a standard stream: UTF-16 to a console, UTF-8 to a file or pipe. */
static void write_text(DWORD stream, const wchar_t* text)
{
    HANDLE handle = GetStdHandle(stream);
    DWORD mode, written;
    int length = (int)wcslen(text);
    if (handle == NULL || handle == INVALID_HANDLE_VALUE || length == 0) return;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text, (DWORD)length, &written, NULL);
        return;
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text, length, NULL, 0, NULL, NULL);
    char* bytes = (char*)malloc(size > 0 ? (size_t)size : 1);
    if (bytes == NULL) return;
    WideCharToMultiByte(CP_UTF8, 0, text, length, bytes, size, NULL, NULL);
    WriteFile(handle, bytes, (DWORD)size, &written, NULL);
    free(bytes);
}

/* printf to a standard stream, a line at a time ("\r\n" as Windows text has it). */
static void say_to(DWORD stream, const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int length = _vscwprintf(format, arguments);
    va_end(arguments);
    if (length < 0) return;
    wchar_t* text = (wchar_t*)malloc(((size_t)length + 3) * sizeof(wchar_t));
    if (text == NULL) return;
    va_start(arguments, format);
    _vsnwprintf(text, (size_t)length + 1, format, arguments);
    va_end(arguments);
    text[length] = L'\r';
    text[length + 1] = L'\n';
    text[length + 2] = 0;
    write_text(stream, text);
    free(text);
}

#define say(...) say_to(STD_OUTPUT_HANDLE, __VA_ARGS__)

static void print_variable(const wchar_t* name)
{
    wchar_t value[32768];
    DWORD length = GetEnvironmentVariableW(name, value, 32768);
    if (length == 0 || length >= 32768)
        say(L"  %ls (unset)", name);
    else
        say(L"  %ls=%ls", name, value);
}

/* Every file below `directory`, named relative to `root_length` code units of its path. */
static void list_files(const wchar_t* directory, size_t root_length)
{
    wchar_t pattern[MAX_PATH * 4];
    WIN32_FIND_DATAW found;
    _snwprintf(pattern, MAX_PATH * 4, L"%ls\\*", directory);
    pattern[MAX_PATH * 4 - 1] = 0;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        wchar_t path[MAX_PATH * 4];
        _snwprintf(path, MAX_PATH * 4, L"%ls\\%ls", directory, found.cFileName);
        path[MAX_PATH * 4 - 1] = 0;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            list_files(path, root_length);
        } else {
            unsigned long long size = ((unsigned long long)found.nFileSizeHigh << 32) | found.nFileSizeLow;
            say(L"  %ls (%llu bytes)", path + root_length + 1, size);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

/* The first line of greeting.txt in `directory`, a UTF-8 text. */
static void print_greeting(const wchar_t* directory)
{
    wchar_t path[MAX_PATH * 4];
    _snwprintf(path, MAX_PATH * 4, L"%ls\\greeting.txt", directory);
    path[MAX_PATH * 4 - 1] = 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        say(L"greeting: none (greeting.txt not found)");
        return;
    }
    char bytes[1024];
    DWORD length = 0;
    ReadFile(file, bytes, sizeof bytes - 1, &length, NULL);
    CloseHandle(file);
    bytes[length] = 0;
    char* end = strpbrk(bytes, "\r\n");
    if (end != NULL) *end = 0;
    wchar_t text[1024];
    int units = MultiByteToWideChar(CP_UTF8, 0, bytes, -1, text, 1024);
    say(L"greeting: %ls", units > 0 ? text : L"(not UTF-8)");
}

TAVRIN_RUN_CODE(argc, argv, first_file_path)
{
    int exit_code = 0;
    say(L"hello: run_code called with %d arguments", argc);
    for (int i = 0; i < argc; ++i) {
        say(L"  argv[%d] = [%ls]", i, argv[i]);
        if (wcscmp(argv[i], L"--exit") == 0 && i + 1 < argc)
            exit_code = (int)(unsigned int)wcstoul(argv[i + 1], NULL, 0);
    }
    say(L"first_file_path = %ls", first_file_path);

    say(L"variables:");
    print_variable(TAVRIN_ENV_ONEFILE_PARENT_W);
    print_variable(TAVRIN_ENV_ONEFILE_DIRECTORY_W);
    print_variable(TAVRIN_ENV_ORIGINAL_ARGV0_W);
    print_variable(TAVRIN_ENV_ONEFILE_TIME_US_W);
    print_variable(TAVRIN_ENV_ONEFILE_RANDOM_W);

    /* The unpack directory: first_file_path up to its last backslash. */
    wchar_t directory[MAX_PATH * 4];
    wcsncpy(directory, first_file_path, MAX_PATH * 4 - 1);
    directory[MAX_PATH * 4 - 1] = 0;
    wchar_t* last = wcsrchr(directory, L'\\');
    if (last != NULL) *last = 0;
    say(L"files in %ls:", directory);
    list_files(directory, wcslen(directory));
    print_greeting(directory);

    say_to(STD_ERROR_HANDLE, L"hello: exiting with code %d", exit_code);
    return exit_code;
}
