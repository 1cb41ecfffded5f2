/* A DLL of a package that the application loads by name at run time, as a plugin: it imports its
 * helper (plugin_helper.dll, beside it in the package), which the loader must find there too. */
__declspec(dllimport) int helper_value(void);

__declspec(dllexport) int plugin_value(void) { return helper_value() + 1; }
