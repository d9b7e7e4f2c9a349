// A main library in C++ that links the toolchain's C++ runtime as DLLs
// (libstdc++-6.dll and what it imports), as a C++ application built with
// mingw does by default: "exit N" returns N through a std::string and an
// exception, so that the runtime is really used.
#include <stdexcept>
#include <string>

#include <windows.h>

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t*) {
    try {
        if (argc < 3 || std::wstring(argv[1]) != L"exit") throw std::runtime_error("usage");
        return std::stoi(std::wstring(argv[2]));
    } catch (const std::exception&) {
        return 99;
    }
}
