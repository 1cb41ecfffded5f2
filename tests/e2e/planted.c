/* A stranger's DLL planted beside a package and in the current directory under the names of the
 * package's own (plugin.dll, plugin_helper.dll): loaded in their place, it would answer 666. */
__declspec(dllexport) int plugin_value(void) { return 666; }
__declspec(dllexport) int helper_value(void) { return 666; }
