// A main library in C++ as the mingw toolchain builds it by default: it
// imports the C++ runtime's DLLs, which the author names nowhere. An
// exception thrown and caught on a second thread carries the exit status.
#include <stdexcept>
#include <string>
#include <thread>

extern "C" __declspec(dllexport) int run_code(int, wchar_t**, const wchar_t*) {
    int status = 0;
    std::thread worker([&status] {
        try {
            throw std::runtime_error("42");
        } catch (const std::exception& e) {
            status = std::stoi(e.what());
        }
    });
    worker.join();
    return status;
}
