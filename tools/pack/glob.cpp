#include "glob.h"

#include <vector>

namespace pack {

namespace {

// Decodes leniently: a stray byte stands for itself, which is all matching needs.
std::u32string code_points(const std::string& text) {
    std::u32string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = (unsigned char)text[i];
        size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (i + length > text.size()) length = 1;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; k++) c = (c << 6) | ((unsigned char)text[i + k] & 0x3F);
        out.push_back(c);
        i += length;
    }
    return out;
}

// Matches a set at pattern[*p] (just past '['); moves *p past its ']'. A set
// without its ']' is taken as a literal '['.
bool set_matches(const std::u32string& pattern, size_t* p, char32_t c, bool* is_set) {
    size_t i = *p;
    bool negated = i < pattern.size() && (pattern[i] == U'!' || pattern[i] == U'^');
    if (negated) i++;
    bool matched = false;
    bool first = true;
    while (i < pattern.size() && (first || pattern[i] != U']')) {
        first = false;
        char32_t low = pattern[i];
        char32_t high = low;
        if (i + 2 < pattern.size() && pattern[i + 1] == U'-' && pattern[i + 2] != U']') {
            high = pattern[i + 2];
            i += 2;
        }
        if (low <= c && c <= high) matched = true;
        i++;
    }
    if (i >= pattern.size()) {
        *is_set = false;
        return c == U'[';
    }
    *is_set = true;
    *p = i + 1;
    return matched != negated && c != U'/';
}

struct matcher {
    const std::u32string& pattern;
    const std::u32string& text;
    // Pattern and text positions already known not to match, so that many
    // stars cost polynomial time, not exponential.
    std::vector<bool> failed;
};

bool match_from(matcher* m, size_t p, size_t t) {
    const std::u32string& pattern = m->pattern;
    const std::u32string& text = m->text;
    while (p < pattern.size()) {
        char32_t head = pattern[p];
        if (head == U'*') {
            while (p < pattern.size() && pattern[p] == U'*') p++;
            // Try every split point that does not cross a '/'.
            for (size_t k = t;; k++) {
                size_t key = p * (text.size() + 1) + k;
                if (!m->failed[key]) {
                    if (match_from(m, p, k)) return true;
                    m->failed[key] = true;
                }
                if (k == text.size() || text[k] == U'/') return false;
            }
        }
        if (t == text.size()) return false;
        if (head == U'?') {
            if (text[t] == U'/') return false;
            p++;
        } else if (head == U'[') {
            size_t after = p + 1;
            bool is_set = false;
            if (!set_matches(pattern, &after, text[t], &is_set)) return false;
            p = is_set ? after : p + 1;
        } else {
            if (head == U'\\' && p + 1 < pattern.size()) head = pattern[++p];
            if (head != text[t]) return false;
            p++;
        }
        t++;
    }
    return t == text.size();
}

} // namespace

bool glob_match(const std::string& pattern, const std::string& text) {
    std::u32string pattern_points = code_points(pattern), text_points = code_points(text);
    matcher m{pattern_points, text_points, std::vector<bool>((pattern_points.size() + 1) * (text_points.size() + 1))};
    return match_from(&m, 0, 0);
}

} // namespace pack
