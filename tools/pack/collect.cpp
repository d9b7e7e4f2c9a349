#include "collect.h"

#include <algorithm>
#include <map>

#include "glob.h"
#include "names.h"

namespace fs = std::filesystem;

namespace pack {

namespace {

struct collector {
    const create_options& options;
    std::vector<entry>* entries;
    std::vector<fs::path>* read;
    std::string* error;
    // The canonical path of every file taken, so that one file reached by
    // two paths (say the main library inside an input directory) is stored once.
    std::map<fs::path, size_t> taken;
};

bool fail(collector* c, const fs::path& path, const std::string& problem) {
    *c->error = describe(path, problem);
    return false;
}

bool check_name(collector* c, const fs::path& source, const std::u16string& name) {
    std::string rule = name_rule_broken(name);
    if (!rule.empty()) return fail(c, source, rule);
    if (c->options.linux_only) return true;
    rule = windows_rule_broken(name);
    if (!rule.empty()) return fail(c, source, rule + " (--linux-only allows it)");
    return true;
}

bool add_file(collector* c, const fs::path& source, const std::u16string& name) {
    std::error_code ec;
    fs::path identity = fs::canonical(source, ec);
    if (ec) return fail(c, source, "cannot resolve its path: " + ec.message());
    if (c->taken.count(identity) != 0) return true;
    uint64_t size = fs::file_size(source, ec);
    if (ec) return fail(c, source, "cannot read its size: " + ec.message());
    if (!check_name(c, source, name)) return false;
    c->taken.emplace(identity, c->entries->size());
    c->entries->push_back(entry{source, name, size});
    c->read->push_back(source);
    return true;
}

// A pattern without '/' is matched against the entry's own name (its
// parents were matched on the way down); one with '/' against the whole path
// below the input directory.
bool excluded(const create_options& options, const fs::path& relative) {
    std::string whole = relative.generic_u8string();
    std::string last = relative.filename().u8string();
    for (std::string pattern : options.excludes) {
        while (pattern.size() > 1 && pattern.back() == '/') pattern.pop_back();
        bool has_slash = pattern.find('/') != std::string::npos;
        if (glob_match(pattern, has_slash ? whole : last)) return true;
    }
    return false;
}

// The files below `directory`, stored under `prefix` (empty: the root) at
// their paths relative to `top`. Listed in name order so that the first
// failure is the same on every run.
bool walk(collector* c, const fs::path& top, const fs::path& directory, const std::u16string& prefix) {
    c->read->push_back(directory);
    std::error_code ec;
    std::vector<fs::path> children;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec))
        children.push_back(it->path());
    if (ec) return fail(c, directory, "cannot list it: " + ec.message());
    std::sort(children.begin(), children.end());
    for (const fs::path& path : children) {
        fs::path relative = path.lexically_relative(top);
        if (excluded(c->options, relative)) continue;
        fs::file_status own = fs::symlink_status(path, ec);
        if (ec) return fail(c, path, "cannot read its type: " + ec.message());
        fs::file_status status = own;
        if (fs::is_symlink(own)) {
            status = fs::status(path, ec);
            if (ec) return fail(c, path, "the symbolic link cannot be followed: " + ec.message());
        }
        if (fs::is_directory(status)) {
            // A link to a directory could lead out of the tree or round in
            // a circle; its files are not packed by accident.
            if (fs::is_symlink(own)) return fail(c, path, "a symbolic link to a directory is not packed");
            if (!walk(c, top, path, prefix)) return false;
            continue;
        }
        if (!fs::is_regular_file(status)) return fail(c, path, "not a regular file");
        std::u16string name;
        std::string rule = archive_name_of(relative, &name);
        if (!rule.empty()) return fail(c, path, rule);
        if (!prefix.empty()) name = prefix + u'\\' + name;
        if (!add_file(c, path, name)) return false;
    }
    return true;
}

bool stored_name(collector* c, const fs::path& source, const std::string& text, std::u16string* name) {
    std::string rule = archive_name_of_text(text, name);
    if (!rule.empty()) return fail(c, source, "the stored name '" + text + "': " + rule);
    return true;
}

bool add_input(collector* c, const pack_input& input) {
    fs::path path = fs::u8path(input.source);
    std::error_code ec;
    fs::file_status status = fs::status(path, ec);
    bool want_directory = input.kind == pack_input::directory ||
                          (input.kind == pack_input::any && fs::is_directory(status));
    if (want_directory) {
        if (!fs::is_directory(status))
            return fail(c, path, fs::exists(status) ? "not a directory" : "no such directory");
        std::u16string prefix;
        if (input.kind == pack_input::any) {
            // As install(DIRECTORY) places it: "assets" keeps its name,
            // "assets/" (and "." or "..") gives its contents at the root.
            fs::path last = path.filename();
            if (!last.empty() && last != "." && last != "..") {
                std::string rule = archive_name_of(last, &prefix);
                if (!rule.empty()) return fail(c, path, rule);
            }
        } else if (!stored_name(c, path, input.name, &prefix)) {
            return false;
        }
        // "assets/" walked as "assets", so that messages and the depfile
        // name each file once, without a doubled separator.
        fs::path top = path.has_filename() ? path : path.parent_path();
        return walk(c, top, top, prefix);
    }
    if (!fs::is_regular_file(status)) {
        const char* problem = input.kind == pack_input::any ? "not a regular file or directory" : "not a regular file";
        return fail(c, path, fs::exists(status) ? problem : "no such file or directory");
    }
    std::u16string name;
    if (input.name.empty()) {
        std::string rule = archive_name_of(path.filename(), &name);
        if (!rule.empty()) return fail(c, path, rule);
    } else {
        if (!stored_name(c, path, input.name, &name)) return false;
        if (name.empty()) return fail(c, path, "the stored name '" + input.name + "' names no file");
    }
    return add_file(c, path, name);
}

} // namespace

std::string describe(const fs::path& path, const std::string& problem) { return "'" + display(path) + "': " + problem; }

bool collect_entries(const create_options& options, std::vector<entry>* entries, std::vector<fs::path>* read,
                     std::string* error) {
    collector c{options, entries, read, error, {}};
    fs::path main_file = fs::u8path(options.main_file);
    if (!fs::is_regular_file(main_file)) return fail(&c, main_file, "the main file is not a regular file");
    pack_input main_input(pack_input::file, options.main_file, options.main_name);
    if (!add_input(&c, main_input)) return false;
    for (const pack_input& input : options.inputs) {
        if (!add_input(&c, input)) return false;
    }
    std::stable_sort(entries->begin() + 1, entries->end(),
                     [](const entry& a, const entry& b) { return a.name < b.name; });
    // Two files under one name, or under names that a case-insensitive file
    // system (Windows') would merge. The main file can be anywhere in order.
    std::map<std::u16string, const entry*> seen;
    for (const entry& e : *entries) {
        auto inserted = seen.emplace(fold_case(e.name), &e);
        if (inserted.second) continue;
        const entry& first = *inserted.first->second;
        std::string name = utf16_to_utf8(e.name);
        if (first.name == e.name)
            *error = describe(e.source, "stored as '" + name + "', the name of '" + display(first.source) +
                                            "' too");
        else
            *error = describe(e.source, "its name '" + name + "' differs from that of '" + display(first.source) +
                                            "' ('" + utf16_to_utf8(first.name) +
                                            "') only in letter case, which Windows cannot hold apart");
        return false;
    }
    return true;
}

} // namespace pack
