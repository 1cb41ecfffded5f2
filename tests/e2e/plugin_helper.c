/* The import of plugin.dll: found only where the package's files are. */
__declspec(dllexport) int helper_value(void) { return 41; }
