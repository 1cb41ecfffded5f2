// A console C++ program as a package's entry, packed by tavrin-pack.exe with only --entry
// (WindowsTool.PacksAProgramAsTheEntry), linked statically; and, linked as usual (cpp_app_dynamic),
// by the host tool, which collects the runtime DLLs it imports (collected_runtime.sh).
// Prints "args:" and each argument after argument 0, then the first line of greeting.txt beside its
// own image; returns argv[1] as its exit code (0 without one).
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

int main(int argc, char** argv)
{
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::ifstream file(std::filesystem::path(std::wstring(self, length)).parent_path() / "greeting.txt");
    std::string greeting;
    std::getline(file, greeting);
    std::cout << "args:";
    for (int i = 1; i < argc; ++i) std::cout << " " << argv[i];
    std::cout << "\ngreeting: " << greeting << std::endl;
    return argc > 1 ? static_cast<int>(std::stoul(argv[1])) : 0;
}
