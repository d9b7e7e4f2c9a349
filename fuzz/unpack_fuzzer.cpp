// libFuzzer target over the reader and the unpacker: each input is attached
// data, unpacked in parent mode into a scratch target directory that is
// emptied after every run. The core is built with its process-ending paths
// routed here (talvor_core_seam), so a reported failure or an exceeded bound
// ends the run, not the fuzzer.
#include <dirent.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "attached/directories.h"
#include "attached/reader.h"
#include "attached/unpack.h"
#include "os/os.h"

namespace {

struct process_end {
    int code;
};

std::string scratch;

void prepare_scratch(void) {
    char pattern[] = "/tmp/talvor-fuzz-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) abort();
    scratch = made;
    // A home folder of its own keeps the directory cache's seed inside the
    // scratch area.
    setenv("HOME", scratch.c_str(), 1);
}

bool scratch_is_empty(void) {
    DIR* listing = opendir(scratch.c_str());
    if (listing == nullptr) return false;
    bool empty = true;
    while (struct dirent* entry = readdir(listing)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) empty = false;
    }
    closedir(listing);
    return empty;
}

}  // namespace

[[noreturn]] void talvor_seam_exit(int code) { throw process_end{code}; }
[[noreturn]] void talvor_seam_abort(void) { throw process_end{-1}; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (scratch.empty()) prepare_scratch();
    std::string target = scratch + "/target";
    memcpy(target_directory, target.c_str(), target.size() + 1);
    reset_unpack_state();
    attached_cursor = data;
    attached_length = size;
    try {
        create_target_directory();
        open_attached_data();
        unpack_attached_data(false);
    } catch (const process_end&) {
    }
    close_attached_data();
    os_remove_tree(target.c_str());
    // Nothing may appear beside the target directory: an entry that escaped
    // it is a finding.
    if (!scratch_is_empty()) abort();
    return 0;
}
