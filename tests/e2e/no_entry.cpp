// A DLL that loads but exports no run_code: what a package with the wrong first file runs into.
extern "C" __declspec(dllexport) int not_the_entry(void) { return 0; }
