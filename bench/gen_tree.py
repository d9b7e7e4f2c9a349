#!/usr/bin/env python3
"""Writes a synthetic application tree for the benchmarks.

    gen_tree.py {tree1|tree10} OUTDIR

tree1 holds 946 files and 30,223,417 bytes in 60 directories (OUTDIR and 59
below it, at most four levels deep); tree10 is ten times that in every
respect. The mix imitates a packaged application: many small code-like text
files (source, JSON, XML) that share identifiers, some medium resource files
that are partly compressible, and a few large binary-like files made of
machine-code-like, tabular, padded and random runs. `zstd -19` of a tar of
tree1 comes to about 3.5:1.

The output depends only on the tree name: one seeded PRNG drives everything,
and the generator uses nothing but the standard library. The main library of
the application is not part of the tree; the benchmark builds it on its own.
"""

import os
import random
import sys

PROFILES = {
    # name: (files, bytes, directories including OUTDIR, seed)
    "tree1": (946, 30_223_417, 60, 1),
    "tree10": (9_460, 302_234_170, 600, 10),
}

# Share of files and mean sizes per kind. Large binaries take whatever bytes
# the small and medium files leave over, so the total comes out exact.
SMALL_SHARE = 0.82
MEDIUM_SHARE = 0.163
SMALL_MEDIAN = 5_500
MEDIUM_MEAN = 90_000

# How much of a binary-like file is incompressible. Tuned so that the whole
# tree compresses at about 3.5:1 with zstd -19.
BINARY_RANDOM_SHARE = 0.14
MEDIUM_RANDOM_SHARE = 0.07
CODE_ZIPF = 0.9

SYLLABLES = ("ka", "lo", "ver", "tal", "mi", "sen", "dor", "pra", "qu", "zi",
             "ne", "bor", "ust", "fle", "gan", "ri", "tho", "men", "cal", "pex",
             "do", "har", "vin", "sto", "lu", "ep", "wa", "ny", "gri", "ol")
TYPES = ("int", "size_t", "uint32_t", "double", "bool", "auto", "const char*",
         "std::string", "std::vector<int>", "Handle", "Result")
WORDS = ("the", "a", "of", "to", "and", "when", "is", "not", "for", "this",
         "value", "buffer", "returns", "caller", "must", "free", "state",
         "index", "entry", "table", "before", "after", "each", "only", "path")


def make_vocabulary(rng, count):
    names = set()
    while len(names) < count:
        parts = [rng.choice(SYLLABLES) for _ in range(rng.randint(2, 4))]
        if rng.random() < 0.5:
            names.add("_".join(parts))
        else:
            names.add(parts[0] + "".join(p.capitalize() for p in parts[1:]))
    names = sorted(names)
    # Zipf-like weights: a few identifiers appear everywhere, most rarely.
    weights = [1.0 / (i + 1) for i in range(count)]
    cum, total = [], 0.0
    for w in weights:
        total += w
        cum.append(total)
    return names, cum


class Text:
    """Code-like text built from templates over a shared vocabulary."""

    def __init__(self, rng, vocabulary):
        self.rng = rng
        self.names, self.cum = vocabulary

    def ids(self, n):
        return self.rng.choices(self.names, cum_weights=self.cum, k=n)

    def source(self, size):
        rng = self.rng
        out, length = [], 0
        while length < size:
            n = 64
            ids = self.ids(n * 3)
            nums = [rng.randrange(4096) for _ in range(n)]
            kinds = rng.choices(range(9), weights=(8, 6, 5, 4, 3, 3, 2, 2, 2), k=n)
            for i in range(n):
                a, b, c = ids[3 * i], ids[3 * i + 1], ids[3 * i + 2]
                k = kinds[i]
                if k == 0:
                    s = f"    {rng.choice(TYPES)} {a} = {b}({c}, {nums[i]});\n"
                elif k == 1:
                    s = f"    if ({a}.{b} != {nums[i]}) {{\n        return {c}(\"{a}\");\n    }}\n"
                elif k == 2:
                    s = f"    {a}->{b} = {c};\n"
                elif k == 3:
                    s = "    // " + " ".join(rng.choices(WORDS, k=rng.randint(4, 11))) + ".\n"
                elif k == 4:
                    s = f"\n{rng.choice(TYPES)} {a}({rng.choice(TYPES)} {b}, size_t {c})\n{{\n"
                elif k == 5:
                    s = f"    for (size_t i = 0; i < {a}.size(); ++i) {{\n        {b}[i] += {c}[i];\n    }}\n"
                elif k == 6:
                    s = "}\n"
                elif k == 7:
                    s = f"#include \"{a}/{b}.h\"\n"
                else:
                    s = f"    {a}({b}, 0x{nums[i]:04x}, {c});\n"
                out.append(s)
                length += len(s)
        return "".join(out).encode()[:size]

    def json(self, size):
        rng = self.rng
        out = ["{\n  \"items\": [\n"]
        length = len(out[0])
        while length < size:
            ids = self.ids(5)
            s = (f"    {{\"id\": {rng.randrange(100000)}, \"name\": \"{ids[0]}\", "
                 f"\"kind\": \"{ids[1]}\", \"enabled\": {rng.choice(('true', 'false'))}, "
                 f"\"weight\": {rng.random():.4f}, \"tags\": [\"{ids[2]}\", \"{ids[3]}\"], "
                 f"\"parent\": \"{ids[4]}\"}},\n")
            out.append(s)
            length += len(s)
        return "".join(out).encode()[:size]

    def xml(self, size):
        rng = self.rng
        out = ["<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<resources>\n"]
        length = len(out[0])
        while length < size:
            ids = self.ids(3)
            s = (f"  <item key=\"{ids[0]}\" type=\"{ids[1]}\" value=\"{rng.randrange(1 << 20)}\">"
                 f"{ids[2]}</item>\n")
            out.append(s)
            length += len(s)
        return "".join(out).encode()[:size]


class Code:
    """Machine-code-like bytes: instruction-sized snippets drawn with
    Zipf-like weights from a fixed set, so that sequences recur the way
    prologues, calls and moves recur in compiled code."""

    def __init__(self, rng, count=20_000):
        common = (0x00, 0x00, 0x00, 0x48, 0x89, 0x8B, 0xFF, 0xE8, 0x0F, 0x85,
                  0x24, 0x44, 0xC3, 0x01, 0x45, 0x4C, 0x83, 0xC0, 0x74, 0x10)
        # Uniform bytes below 180 map onto the common opcodes, the rest stay.
        table = bytes(common[i % len(common)] if i < 180 else rng.randrange(256)
                      for i in range(256))
        self.rng = rng
        self.snippets = [rng.randbytes(rng.randint(2, 12)).translate(table)
                         for _ in range(count)]
        self.cum, total = [], 0.0
        for i in range(count):
            total += 1.0 / (i + 1) ** CODE_ZIPF
            self.cum.append(total)

    def bytes(self, size):
        picks = self.rng.choices(self.snippets, cum_weights=self.cum, k=size // 5 + 16)
        data = b"".join(picks)
        while len(data) < size:
            data += self.bytes(size - len(data))
        return data[:size]


def binary(rng, code, size, random_share):
    out, length = [], 0
    while length < size:
        kind = rng.random()
        run = rng.randint(2_000, 60_000)
        if kind < random_share:
            chunk = rng.randbytes(run)
        elif kind < random_share + 0.55:
            chunk = code.bytes(run)
        elif kind < random_share + 0.68:
            # A table of fixed-size records with a counter and a few varying fields.
            record = bytearray(rng.randbytes(8)) + bytes(24)
            rows = []
            base = rng.randrange(1 << 24)
            for i in range(run // 32):
                record[8:12] = (base + i * 16).to_bytes(4, "little")
                record[12] = rng.randrange(8)
                rows.append(bytes(record))
            chunk = b"".join(rows)
        elif kind < random_share + 0.72:
            chunk = bytes(run)
        else:
            # A string table: NUL-separated symbol names.
            chunk = b"\0".join(n.encode() for n in rng.choices(SYLLABLES, k=run // 3))
        out.append(chunk)
        length += len(chunk)
    return b"".join(out)[:size]


def medium(rng, text, code, size):
    out, length = [], 0
    while length < size:
        run = rng.randint(4_000, 40_000)
        kind = rng.random()
        if kind < MEDIUM_RANDOM_SHARE:
            chunk = rng.randbytes(run)
        elif kind < MEDIUM_RANDOM_SHARE + 0.4:
            chunk = code.bytes(run)
        else:
            chunk = text.json(run) if rng.random() < 0.5 else text.xml(run)
        out.append(chunk)
        length += len(chunk)
    return b"".join(out)[:size]


def make_directories(rng, count):
    """OUTDIR ("") and count - 1 directories below it, up to four deep."""
    dirs = [""]
    top = ("lib", "share", "plugins", "resources", "modules", "data", "locale", "etc")
    names = ("core", "ui", "net", "io", "util", "codec", "render", "text", "db",
             "auth", "cache", "config", "test", "extra", "tools", "fonts", "img")
    while len(dirs) < count:
        parent = rng.choice(dirs)
        depth = parent.count("/") + 1 if parent else 0
        if depth >= 4:
            continue
        pool = top if not parent else names
        name = rng.choice(pool) + (str(rng.randrange(100)) if rng.random() < 0.5 else "")
        path = f"{parent}/{name}" if parent else name
        if path not in dirs:
            dirs.append(path)
    return dirs


def plan(rng, files, total, dirs):
    """Kinds, sizes and paths of every file; the sizes sum to total."""
    n_small = round(files * SMALL_SHARE)
    n_medium = round(files * MEDIUM_SHARE)
    n_large = files - n_small - n_medium
    small = [max(40, min(80_000, int(rng.lognormvariate(0, 1.0) * SMALL_MEDIAN))) for _ in range(n_small)]
    med = [int(rng.uniform(0.3, 1.7) * MEDIUM_MEAN) for _ in range(n_medium)]
    left = total - sum(small) - sum(med)
    assert left > n_large * 100_000, "small and medium files leave too little for the large ones"
    # Heavy-tailed, as in real bundles: one or two big libraries, the rest
    # a few hundred kilobytes to a megabyte or two.
    weights = [min(rng.paretovariate(1.1), 25.0) for _ in range(n_large)]
    large = [int(left * w / sum(weights)) for w in weights]
    large[-1] += left - sum(large)
    entries = ([("small", s) for s in small] + [("medium", s) for s in med]
               + [("large", s) for s in large])
    rng.shuffle(entries)
    # Every directory gets at least one file, so that each one exists.
    homes = dirs + [rng.choice(dirs) for _ in range(files - len(dirs))]
    rng.shuffle(homes)
    used = set()
    result = []
    for (kind, size), home in zip(entries, homes):
        while True:
            stem = "_".join(rng.choices(SYLLABLES, k=rng.randint(1, 3)))
            if kind == "small":
                ext = rng.choices((".cpp", ".h", ".py", ".js", ".json", ".xml"),
                                  weights=(4, 3, 3, 2, 2, 1))[0]
            elif kind == "medium":
                ext = rng.choice((".dat", ".pak", ".res", ".qm"))
            else:
                ext = rng.choice((".so", ".bin", ".pak"))
            path = f"{home}/{stem}{ext}" if home else stem + ext
            if path not in used:
                used.add(path)
                break
        result.append((path, kind, size))
    return result


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in PROFILES:
        sys.exit("usage: gen_tree.py {tree1|tree10} OUTDIR")
    files, total, ndirs, seed = PROFILES[sys.argv[1]]
    outdir = sys.argv[2]
    rng = random.Random(seed)
    text = Text(rng, make_vocabulary(rng, 3000))
    code = Code(rng)
    dirs = make_directories(rng, ndirs)
    for d in dirs:
        os.makedirs(os.path.join(outdir, d), exist_ok=True)
    written = 0
    entries = plan(rng, files, total, dirs)
    for path, kind, size in entries:
        if kind == "small":
            ext = os.path.splitext(path)[1]
            data = text.json(size) if ext == ".json" else text.xml(size) if ext == ".xml" else text.source(size)
        elif kind == "medium":
            data = medium(rng, text, code, size)
        else:
            data = binary(rng, code, size, BINARY_RANDOM_SHARE)
        assert len(data) == size, (path, len(data), size)
        with open(os.path.join(outdir, path), "wb") as f:
            f.write(data)
        written += size
    assert len(entries) == files and written == total, (len(entries), written)
    depth = max(d.count("/") + 1 for d in dirs if d)
    assert len(dirs) == ndirs and depth <= 4


if __name__ == "__main__":
    main()
