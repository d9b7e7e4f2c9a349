// The talvor-pack command line: create, list, verify and extract attached
// data. Exit status 0 on success, 1 when the work fails, 2 on a usage error.
#include <zstd.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "archive_reader.h"
#include "archive_writer.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define stderr_is_terminal() (_isatty(_fileno(stderr)) != 0)
#else
#include <unistd.h>
#define stderr_is_terminal() (isatty(2) != 0)
#endif

#ifndef TALVOR_PACK_VERSION
#define TALVOR_PACK_VERSION "unknown"
#endif

namespace {

enum { exit_ok = 0, exit_failure = 1, exit_usage = 2 };

const char usage_text[] =
    "usage: talvor-pack create -o OUT --main MAIN [--level N] [--threads N] [INPUT...]\n"
    "       talvor-pack list FILE\n"
    "       talvor-pack verify FILE\n"
    "       talvor-pack extract FILE DIR\n"
    "\n"
    "create   packs MAIN as the first entry and every INPUT file (or the files\n"
    "         below every INPUT directory) into the attached data OUT\n"
    "         (--level: zstd level, default 19; --threads: default all cores)\n"
    "list     prints the size and name of each entry of FILE\n"
    "verify   decodes FILE and checks its structure and checksum\n"
    "extract  writes the entries of FILE below DIR\n"
    "FILE is attached data or an executable that carries it.\n";

int usage_error(const std::string& problem) {
    fprintf(stderr, "talvor-pack: %s\n%s", problem.c_str(), usage_text);
    return exit_usage;
}

bool parse_int(const std::string& text, int low, int high, int* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    long parsed = strtol(text.c_str(), &end, 10);
    if (*end != 0 || parsed < low || parsed > high) return false;
    *value = (int)parsed;
    return true;
}

int run_create(const std::vector<std::string>& args) {
    pack::create_options options;
    unsigned cores = std::thread::hardware_concurrency();
    options.threads = cores == 0 ? 1 : (int)cores;
    bool options_done = false;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& arg = args[i];
        if (!options_done && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                options_done = true;
                continue;
            }
            if (i + 1 >= args.size()) return usage_error("option " + arg + " needs a value");
            const std::string& value = args[++i];
            if (arg == "-o" || arg == "--output") {
                options.output = value;
            } else if (arg == "--main") {
                options.main_file = value;
            } else if (arg == "--level") {
                if (!parse_int(value, ZSTD_minCLevel(), ZSTD_maxCLevel(), &options.level))
                    return usage_error("--level takes a number from " + std::to_string(ZSTD_minCLevel()) + " to " +
                                       std::to_string(ZSTD_maxCLevel()));
            } else if (arg == "--threads") {
                if (!parse_int(value, 0, 256, &options.threads)) return usage_error("--threads takes a number from 0 to 256");
            } else {
                return usage_error("unknown option " + arg);
            }
        } else {
            options.inputs.push_back(arg);
        }
    }
    if (options.output.empty()) return usage_error("create needs -o OUT");
    if (options.main_file.empty()) return usage_error("create needs --main MAIN");
    options.progress = stderr_is_terminal();
    std::string error;
    if (!pack::create_attached_data(options, &error)) {
        fprintf(stderr, "talvor-pack: %s\n", error.c_str());
        return exit_failure;
    }
    return exit_ok;
}

int run_reader(pack::archive_action action, const std::vector<std::string>& args) {
    size_t expected = action == pack::archive_action::extract ? 2 : 1;
    if (args.size() != expected) return usage_error("wrong number of arguments");
    pack::archive_summary summary;
    std::string error;
    bool ok = pack::run_archive_action(action, args[0], expected == 2 ? args[1] : std::string(), &summary, &error);
    fflush(stdout);
    if (!ok) {
        fprintf(stderr, "talvor-pack: %s\n", error.c_str());
        return exit_failure;
    }
    if (action == pack::archive_action::verify)
        printf("%s: OK, %llu entries, %llu bytes\n", args[0].c_str(), (unsigned long long)summary.entries,
               (unsigned long long)summary.bytes);
    return exit_ok;
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) return usage_error("no command given");
    const std::string& command = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "--help" || command == "-h" || command == "help") {
        fputs(usage_text, stdout);
        return exit_ok;
    }
    if (command == "--version") {
        printf("talvor-pack %s (zstd %s)\n", TALVOR_PACK_VERSION, ZSTD_versionString());
        return exit_ok;
    }
    if (command == "create") return run_create(rest);
    if (command == "list") return run_reader(pack::archive_action::list, rest);
    if (command == "verify") return run_reader(pack::archive_action::verify, rest);
    if (command == "extract") return run_reader(pack::archive_action::extract, rest);
    return usage_error("unknown command " + command);
}

} // namespace

#ifdef _WIN32
// Windows hands over the arguments in UTF-16; everything inside works in
// UTF-8 and makes paths with u8path.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++) {
        int length = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(length > 0 ? (size_t)length : 1, '\0');
        WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, &arg[0], length, nullptr, nullptr);
        arg.resize(strlen(arg.c_str()));
        args.push_back(arg);
    }
    return run(args);
}
#else
int main(int argc, char** argv) { return run(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
