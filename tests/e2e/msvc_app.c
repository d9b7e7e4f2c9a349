/* A main DLL as a Windows-SDK author's toolchain makes it: built for the
   MSVC ABI (clang --target=x86_64-pc-windows-msvc, linked by lld-link) with
   no C runtime and no imports at all. run_code returns 40 plus the number
   of arguments, so the exit status shows that the launcher called it with
   the user's arguments. */
typedef unsigned short wide_char; /* wchar_t of the Windows ABI */

__declspec(dllexport) int run_code(int argc, wide_char** argv, const wide_char* dll_path) {
    (void)argv;
    (void)dll_path;
    return 40 + argc;
}

/* The entry point that lld-link is told of: without a C runtime there is no
   _DllMainCRTStartup to call one. */
int __stdcall dll_entry(void* module, unsigned long reason, void* reserved) {
    (void)module;
    (void)reason;
    (void)reserved;
    return 1;
}
