// The talvor-pack command line: create, list, verify and extract attached
// data. Exit status 0 on success, 1 when the work fails, 2 on a usage error.
// Every command takes --help (or -h) and options as "--name value" or
// "--name=value".
#include <zstd.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "archive_reader.h"
#include "archive_writer.h"
#include "executable_writer.h"

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

const char create_usage[] =
    "usage: talvor-pack create -o OUT --main SOURCE[=NAME] [OPTION...] [INPUT...]\n"
    "Packs the main library as the first entry, then the other files, into the\n"
    "attached data OUT, or with --launcher into the executable OUT, and prints a\n"
    "summary line.\n"
    "  -o, --output OUT       the file to write (replaced whole, or not at all)\n"
    "  --launcher L           write an executable: the prebuilt launcher L (windows-gui,\n"
    "                         windows-console, linux, linux-console, or a path)\n"
    "                         completed with the attached data\n"
    "  --target-directory SPEC  the executable's target directory (path spec; without\n"
    "                         {PID}, {TIME}, {TIME_US}, {RANDOM}: a cached directory)\n"
    "  --icon FILE.ico        the Windows executable's icon (default: the launcher's)\n"
    "  --manifest FILE        the Windows executable's application manifest (default:\n"
    "                         the launcher's)\n"
    "  --product-name, --product-version, --file-version, --company, --description,\n"
    "  --copyright TEXT       the Windows executable's version information, written when\n"
    "                         any is given; versions are a[.b[.c[.d]]] with numbers up\n"
    "                         to 65535; the file version defaults to the product version\n"
    "  --main SOURCE[=NAME]   the main library, stored under NAME or its file name\n"
    "  --file SOURCE[=NAME]   a file, stored under NAME (split at the last '=')\n"
    "  --dir SOURCE[=DEST]    the files below SOURCE, stored below DEST (default: the root)\n"
    "  INPUT                  a file under its file name; a directory DIR under DIR/...,\n"
    "                         DIR/ (with the slash) its files at the root\n"
    "  --exclude PATTERN      skip files and directories found below directories: without\n"
    "                         '/' matched against each name, with '/' against the path\n"
    "                         below the directory ('*', '?', '[...]'; repeatable)\n"
    "  --depfile FILE         write the dependencies of OUT (files read, directories\n"
    "                         walked) in Makefile syntax\n"
    "  --cache-key FILE       write the key of a cached target directory: the digest\n"
    "                         of OUT and the main library's name\n"
    "  --linux-only           allow names that Windows cannot hold\n"
    "  --level N              zstd level (default 19)\n"
    "  --threads N            compression threads (default: all cores; 0: none)\n"
    "  -q, --quiet            no summary line\n"
    "A file reached twice is stored once, under its first name. A Windows executable\n"
    "keeps the launcher's time stamp, or takes SOURCE_DATE_EPOCH when it is set.\n";
const char list_usage[] =
    "usage: talvor-pack list FILE\n"
    "Prints the size and name of each entry of FILE, attached data or an executable\n"
    "that carries it, with '/' between the components of names on Linux.\n";
const char verify_usage[] =
    "usage: talvor-pack verify FILE\n"
    "Decodes FILE, attached data or an executable that carries it, and checks its\n"
    "structure, names and checksum.\n";
const char extract_usage[] =
    "usage: talvor-pack extract [--force] FILE DIR\n"
    "Writes the entries of FILE below DIR, which is made if missing and may hold other\n"
    "files. Never follows a symbolic link and never writes outside DIR.\n"
    "  -f, --force, --overwrite  replace files that exist already (default: refuse)\n";
const char exit_text[] = "Exit status: 0 success, 1 failure, 2 usage error.\n";

const char* usage_of(const char* command) {
    if (command == nullptr) return nullptr;
    if (strcmp(command, "create") == 0) return create_usage;
    if (strcmp(command, "list") == 0) return list_usage;
    if (strcmp(command, "verify") == 0) return verify_usage;
    if (strcmp(command, "extract") == 0) return extract_usage;
    return nullptr;
}

// One command's usage, or every command's when `command` names none.
void print_usage(FILE* stream, const char* command) {
    const char* usage = usage_of(command);
    if (usage != nullptr) {
        fputs(usage, stream);
    } else {
        fputs("usage: talvor-pack create|list|verify|extract ... (--help after a command tells more)\n"
              "       talvor-pack --version\n",
              stream);
        for (const char* text : {create_usage, list_usage, verify_usage, extract_usage}) {
            fputs("\n", stream);
            fputs(text, stream);
        }
        fputs("\n", stream);
    }
    fputs(exit_text, stream);
}

int usage_error(const char* command, const std::string& problem) {
    fprintf(stderr, "talvor-pack: %s\n", problem.c_str());
    print_usage(stderr, command);
    return exit_usage;
}

struct option_form {
    const char* name;  // the long form, "--..."
    const char* alias; // another spelling, or nullptr
    bool takes_value;
};

struct parsed_args {
    // By long name, in order, operands among them under an empty name.
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> operands;
    bool help = false;
};

// Options as "--name value", "--name=value" or a short alias, anywhere
// before "--"; everything else is an operand. False with the problem told.
bool parse_args(const std::vector<std::string>& args, const std::vector<option_form>& forms, parsed_args* out,
                std::string* problem) {
    bool options_done = false;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& arg = args[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            out->operands.push_back(arg);
            out->options.emplace_back(std::string(), arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        size_t equals = arg.compare(0, 2, "--") == 0 ? arg.find('=') : std::string::npos;
        std::string name = arg.substr(0, equals);
        if (name == "--help" || name == "-h") {
            out->help = true;
            continue;
        }
        const option_form* form = nullptr;
        for (const option_form& candidate : forms) {
            if (name == candidate.name || (candidate.alias != nullptr && name == candidate.alias)) form = &candidate;
        }
        if (form == nullptr) {
            *problem = "unknown option " + name;
            return false;
        }
        std::string value;
        if (equals != std::string::npos) {
            if (!form->takes_value) {
                *problem = "option " + name + " takes no value";
                return false;
            }
            value = arg.substr(equals + 1);
        } else if (form->takes_value) {
            if (i + 1 >= args.size()) {
                *problem = "option " + name + " needs a value";
                return false;
            }
            value = args[++i];
        }
        out->options.emplace_back(form->name, value);
    }
    return true;
}

bool parse_int(const std::string& text, int low, int high, int* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    long parsed = strtol(text.c_str(), &end, 10);
    if (*end != 0 || parsed < low || parsed > high) return false;
    *value = (int)parsed;
    return true;
}

// SOURCE=NAME split at the last '=', so that a source path may hold one.
void split_source(const std::string& value, std::string* source, std::string* name) {
    size_t equals = value.rfind('=');
    *source = value.substr(0, equals);
    *name = equals == std::string::npos ? std::string() : value.substr(equals + 1);
}

// 946 -> "946 B", 30215000 -> "30.2 MB".
std::string human_size(uint64_t bytes) {
    const char* units[] = {"B", "kB", "MB", "GB", "TB"};
    double value = (double)bytes;
    size_t unit = 0;
    while (value >= 1000 && unit + 1 < sizeof units / sizeof units[0]) {
        value /= 1000;
        unit++;
    }
    char text[32];
    if (unit == 0)
        snprintf(text, sizeof text, "%llu B", (unsigned long long)bytes);
    else
        snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

// The attached data (and the cache key of a cached directory) written to
// temporary files beside the output, then completed into the executable.
bool create_executable(pack::create_options options, pack::executable_options* executable, bool cached,
                       std::string* error, pack::create_summary* summary) {
    namespace fs = std::filesystem;
    fs::path output = fs::u8path(options.output);
    fs::path data = pack::temporary_beside(output), key = pack::temporary_beside(output);
    options.depfile_target = options.output;
    options.output = data.u8string();
    if (cached) options.cache_key = key.u8string();
    executable->output = output.u8string();
    executable->attached = data.u8string();
    bool ok = pack::create_attached_data(options, error, summary);
    std::vector<unsigned char> key_bytes;
    if (ok && cached) ok = pack::read_file(key, &key_bytes, error);
    if (ok) ok = pack::write_executable(*executable, key_bytes, error);
    std::error_code ec;
    fs::remove(data, ec);
    fs::remove(key, ec);
    if (ok) summary->bytes_out = fs::file_size(output, ec);
    return ok;
}

int run_create(const std::vector<std::string>& args) {
    static const std::vector<option_form> forms = {
        {"--output", "-o", true}, {"--main", nullptr, true},     {"--file", nullptr, true},
        {"--dir", nullptr, true}, {"--exclude", nullptr, true},  {"--depfile", nullptr, true},
        {"--cache-key", nullptr, true},
        {"--level", nullptr, true}, {"--threads", nullptr, true}, {"--linux-only", nullptr, false},
        {"--quiet", "-q", false},
        {"--launcher", nullptr, true}, {"--target-directory", nullptr, true}, {"--icon", nullptr, true},
        {"--manifest", nullptr, true}, {"--product-name", nullptr, true}, {"--product-version", nullptr, true},
        {"--file-version", nullptr, true}, {"--company", nullptr, true}, {"--description", nullptr, true},
        {"--copyright", nullptr, true},
    };
    parsed_args parsed;
    std::string problem;
    bool parsed_ok = parse_args(args, forms, &parsed, &problem);
    if (parsed.help) {
        print_usage(stdout, "create");
        return exit_ok;
    }
    if (!parsed_ok) return usage_error("create", problem);

    pack::create_options options;
    pack::executable_options executable;
    bool spec_given = false;
    // The options that each set one text of the executable.
    const std::pair<const char*, std::string*> executable_texts[] = {
        {"--launcher", &executable.launcher},
        {"--icon", &executable.icon},
        {"--manifest", &executable.manifest},
        {"--product-name", &executable.version.product_name},
        {"--product-version", &executable.version.product_version},
        {"--file-version", &executable.version.file_version},
        {"--company", &executable.version.company},
        {"--description", &executable.version.description},
        {"--copyright", &executable.version.copyright},
    };
    unsigned cores = std::thread::hardware_concurrency();
    options.threads = cores == 0 ? 1 : (int)cores;
    bool quiet = false;
    for (const auto& option : parsed.options) {
        const std::string& name = option.first;
        const std::string& value = option.second;
        std::string source, stored;
        split_source(value, &source, &stored);
        if (name.empty()) {
            options.inputs.emplace_back(value); // an operand, kept in its place among --file and --dir
        } else if (name == "--output") {
            options.output = value;
        } else if (name == "--main") {
            options.main_file = source;
            options.main_name = stored;
        } else if (name == "--file") {
            options.inputs.emplace_back(pack::pack_input::file, source, stored);
        } else if (name == "--dir") {
            options.inputs.emplace_back(pack::pack_input::directory, source, stored);
        } else if (name == "--exclude") {
            options.excludes.push_back(value);
        } else if (name == "--depfile") {
            options.depfile = value;
        } else if (name == "--cache-key") {
            options.cache_key = value;
        } else if (name == "--level") {
            if (!parse_int(value, ZSTD_minCLevel(), ZSTD_maxCLevel(), &options.level))
                return usage_error("create", "--level takes a number from " + std::to_string(ZSTD_minCLevel()) +
                                                 " to " + std::to_string(ZSTD_maxCLevel()));
        } else if (name == "--threads") {
            if (!parse_int(value, 0, 256, &options.threads))
                return usage_error("create", "--threads takes a number from 0 to 256");
        } else if (name == "--linux-only") {
            options.linux_only = true;
        } else if (name == "--quiet") {
            quiet = true;
        } else if (name == "--target-directory") {
            executable.target_spec = value;
            spec_given = true;
        }
        for (const auto& text : executable_texts) {
            if (name == text.first) *text.second = value;
        }
        if ((name == "--main" || name == "--file" || name == "--dir") && source.empty())
            return usage_error("create", "option " + name + " needs a SOURCE before '='");
    }
    if (options.output.empty()) return usage_error("create", "create needs -o OUT");
    if (options.main_file.empty()) return usage_error("create", "create needs --main MAIN");
    bool executable_option = spec_given;
    for (const auto& text : executable_texts) {
        if (text.second != &executable.launcher && !text.second->empty()) executable_option = true;
    }
    if (executable.launcher.empty() && executable_option)
        return usage_error("create", "--target-directory, --icon, --manifest and the version texts go with --launcher");
    if (!executable.launcher.empty() && !options.cache_key.empty())
        return usage_error("create", "--cache-key goes without --launcher: the executable holds its key");
    bool cached = false;
    std::string error;
    if (spec_given && !pack::spec_is_cached(executable.target_spec, &cached, &error))
        return usage_error("create", error);
    options.progress = stderr_is_terminal() && !quiet;
    pack::create_summary summary;
    bool created = executable.launcher.empty() ? pack::create_attached_data(options, &error, &summary)
                                               : create_executable(options, &executable, cached, &error, &summary);
    if (!created) {
        fprintf(stderr, "talvor-pack: %s\n", error.c_str());
        return exit_failure;
    }
    // On standard output, so that a build's log shows it among the steps.
    if (!quiet) {
        char ratio[32] = "-";
        if (summary.bytes_in > 0) snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * summary.bytes_out / summary.bytes_in);
        printf("talvor-pack: %s: %llu file%s, %s -> %s (%s), %.1f s\n", options.output.c_str(),
               (unsigned long long)summary.files, summary.files == 1 ? "" : "s", human_size(summary.bytes_in).c_str(),
               human_size(summary.bytes_out).c_str(), ratio, summary.seconds);
    }
    return exit_ok;
}

int run_reader(const char* command, pack::archive_action action, const std::vector<std::string>& args) {
    static const std::vector<option_form> extract_forms = {{"--force", "-f", false}, {"--overwrite", nullptr, false}};
    bool extract = action == pack::archive_action::extract;
    parsed_args parsed;
    std::string problem;
    bool parsed_ok = parse_args(args, extract ? extract_forms : std::vector<option_form>(), &parsed, &problem);
    if (parsed.help) {
        print_usage(stdout, command);
        return exit_ok;
    }
    if (!parsed_ok) return usage_error(command, problem);
    size_t expected = extract ? 2 : 1;
    if (parsed.operands.size() != expected) return usage_error(command, "wrong number of arguments");
    // --force and --overwrite are the only options.
    bool overwrite = parsed.options.size() > parsed.operands.size();
    const std::string& file = parsed.operands[0];
    pack::archive_summary summary;
    std::string error;
    bool ok = pack::run_archive_action(action, file, extract ? parsed.operands[1] : std::string(), overwrite, &summary,
                                       &error);
    fflush(stdout);
    if (!ok) {
        fprintf(stderr, "talvor-pack: %s\n", error.c_str());
        return exit_failure;
    }
    if (action == pack::archive_action::verify)
        printf("%s: OK, %llu entries, %llu bytes\n", file.c_str(), (unsigned long long)summary.entries,
               (unsigned long long)summary.bytes);
    return exit_ok;
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) return usage_error(nullptr, "no command given");
    const std::string& command = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "--help" || command == "-h" || command == "help") {
        print_usage(stdout, rest.size() == 1 && command == "help" ? rest[0].c_str() : nullptr);
        return exit_ok;
    }
    if (command == "--version") {
        printf("talvor-pack %s (zstd %s)\n", TALVOR_PACK_VERSION, ZSTD_versionString());
        return exit_ok;
    }
    if (command == "create") return run_create(rest);
    if (command == "list") return run_reader("list", pack::archive_action::list, rest);
    if (command == "verify") return run_reader("verify", pack::archive_action::verify, rest);
    if (command == "extract") return run_reader("extract", pack::archive_action::extract, rest);
    return usage_error(nullptr, "unknown command " + command);
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
