/* The import of plugin.dll and of the program entry exe_app: found only where the package's files are. */
__declspec(dllexport) int helper_value(void) { return 41; }
