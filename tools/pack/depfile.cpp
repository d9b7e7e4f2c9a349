#include "depfile.h"

#include <errno.h>

#include <fstream>
#include <set>

#include "collect.h"
#include "names.h"

namespace fs = std::filesystem;

namespace pack {

std::string make_escaped(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == ' ' || c == '#') out.push_back('\\');
        if (c == '$') out.push_back('$');
        out.push_back(c);
    }
    return out;
}

bool write_depfile(const std::string& depfile, const std::string& target, const std::vector<fs::path>& dependencies,
                   std::string* error) {
    std::string text = make_escaped(target) + ":";
    std::set<std::string> listed; // a directory walked twice is named once
    for (const fs::path& path : dependencies) {
        std::string shown = display(path);
        if (listed.insert(shown).second) text += " \\\n " + make_escaped(shown);
    }
    text += "\n";

    fs::path path = fs::u8path(depfile);
    fs::path temporary = temporary_beside(path);
    errno = 0;
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) {
        *error = describe(path, "cannot create it" + reason_of_errno());
        return false;
    }
    out.write(text.data(), (std::streamsize)text.size());
    out.close();
    std::error_code ec;
    if (!out) {
        fs::remove(temporary, ec);
        *error = describe(path, "cannot write it");
        return false;
    }
    fs::rename(temporary, path, ec);
    if (ec) {
        *error = describe(path, "cannot replace it: " + ec.message());
        fs::remove(temporary, ec);
        return false;
    }
    return true;
}

} // namespace pack
