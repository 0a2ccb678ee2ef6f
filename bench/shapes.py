#!/usr/bin/env python3
"""Whole-process cost of `quarnel assess` on checkouts holding one hostile input each.

Each shape is a generator that fills one checkout file (or the `origin` URL) up to a given
size; every run is `quarnel assess DIR -o /dev/null` (plus the shape's own options), with the
wall-clock time, the processor time and the peak resident set of that one process.

    bench/shapes.py [--quarnel build/quarnel] [--sizes 1,8] [--only NAME,...] [--timeout 600]
                    [--cap-gib 16] [--list]

Sizes are in MiB (8 is the read limit). A run that passes its time-out is killed and shown as
"> N s"; `--cap-gib` caps the address space of each run (prlimit), so that a shape that needs
more memory than the machine has fails to allocate instead of taking the machine down.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

MIB = 1 << 20


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


def git_origin(root, url):
    subprocess.run(["git", "init", "-q", root], check=True)
    # Written into the file: a value of megabytes passes no command line (git reads it all the
    # same). These URLs hold nothing that the file's syntax would need quoted.
    with open(os.path.join(root, ".git", "config"), "a") as f:
        f.write('[remote "origin"]\n\turl = %s\n' % url)


def fill(unit, size, prefix="", suffix=""):
    """prefix + unit repeated to reach `size` bytes in all + suffix."""
    room = max(size - len(prefix) - len(suffix), 0)
    return prefix + unit * (room // len(unit)) + suffix


# Each generator takes the checkout directory and the size in bytes, and returns the extra
# command-line options of the run.
def url_query_items(root, size):
    git_origin(root, fill("&", size, "https://example.invalid/a/b?"))
    return []


def url_slashes(root, size):
    # Slashes between two segments: a path of slashes alone is empty once trimmed.
    git_origin(root, fill("/", size, "https://example.invalid/o", "r"))
    return []


def url_bracketed_colons(root, size):
    git_origin(root, fill(":", size, "https://[", "]/o/r"))
    return []


def json_long_numbers(root, size):
    digits = max((size - 16) // 2, 1)
    write(os.path.join(root, "codemeta.json"), '["' + "9" * digits + '", ' + "9" * digits + "e999]")
    return []


def json_newlines(root, size):
    write(os.path.join(root, "package.json"), "\n" * size)
    return []


def json_distinct_keys(name):
    def generate(root, size):
        keys = []
        total = 2
        n = 0
        while True:
            item = '"k%d":0' % n
            if total + len(item) + 1 > size:
                break
            keys.append(item)
            total += len(item) + 1
            n += 1
        write(os.path.join(root, name), "{" + ",".join(keys) + "}")
        return []

    return generate


def yaml_brackets_then_long_percent_line(root, size):
    # A `%` line longer than a tag prefix may be is what sent the text through the directive
    # scan first; the brackets are what that scan paid for per token.
    tail = "\n%" + "x" * 300 + "\n"
    write(os.path.join(root, "CITATION.cff"), fill("[", size - len(tail)) + tail)
    return []


def yaml_deep_flow_list(depth):
    def generate(root, size):
        head = "cff-version: 1.2.0\na: " + "[" * depth
        write(os.path.join(root, "CITATION.cff"), fill("a,", size, head, "a" + "]" * depth + "\n"))
        return []

    return generate


def yaml_tag_directives(name, body):
    def generate(root, size):
        lines = []
        total = 0
        n = 0
        room = size - len(body) - len("---\n")
        while True:
            line = "%%TAG !t%d! tag:x,%d:\n" % (n, n)
            if total + len(line) > room:
                break
            lines.append(line)
            total += len(line)
            n += 1
        write(os.path.join(root, name), "".join(lines) + "---\n" + body)
        return []

    return generate


def yaml_tag_directives_then_str_tags(root, size):
    head = "".join("%%TAG !t%d! tag:x,%d:\n" % (n, n) for n in range(20000))
    body = fill("- !!str x\n", size - len(head) - 4)
    write(os.path.join(root, "CITATION.cff"), head + "---\n" + body)
    return []


def yaml_long_tag_prefix(root, size):
    # libyaml copies a handle's prefix into every tag that uses it.
    head = "%TAG !a! tag:" + "p" * (size // 2) + ":\n---\n"
    write(os.path.join(root, "CITATION.cff"), fill("- !a!x y\n", size, head))
    return []


def config_aliased_long_text(root, size):
    text = "x" * (64 * 1024)
    head = "required_indicators: [&a " + text
    write(os.path.join(root, ".quarnel.yml"), fill(", *a", size, head, "]\n"))
    return []


def config_aliased_valid_id(root, size):
    write(os.path.join(root, ".quarnel.yml"),
          fill(",*a", size, "required_indicators: [&a clear_license", "]\n"))
    return []


def config_int_tag_colons(root, size):
    write(os.path.join(root, ".quarnel.yml"), fill(":", size, 'min_score: !!int "', '"\n'))
    return []


def yaml_sexagesimal(root, size):
    write(os.path.join(root, "CITATION.cff"), fill(":0", size, "cff-version: 1.2.0\na: 1", "\n"))
    return []


def yaml_flow_of_nulls(root, size):
    write(os.path.join(root, "CITATION.cff"), fill("a,", size, "{", "a}\n"))
    return []


def yaml_unknown_tag(root, size):
    write(os.path.join(root, "CITATION.cff"),
          fill("x", size, "cff-version: 1.2.0\ntitle: !", " t\n"))
    return ["-f", "markdown"]


def config_unknown_id(root, size):
    write(os.path.join(root, ".quarnel.yml"), fill("x", size, "required_indicators: [", "]\n"))
    return []


def ini_long_section(root, size):
    options = "".join("o%d = v\n" % i for i in range(1000))
    write(os.path.join(root, "setup.cfg"), fill("s", size - len(options), "[", "]\n") + options)
    return []


def ini_blank_lines(root, size):
    write(os.path.join(root, "setup.cfg"), "\n" * size)
    return []


def requirements_blank_lines(root, size):
    # Between two requirements: a file of blank lines alone is stripped to nothing first.
    write(os.path.join(root, "requirements.txt"), fill("\n", size, "a==1\n", "b==2\n"))
    return []


SHAPES = [
    ("url_query_items", "origin URL: a query of `&` alone", url_query_items),
    ("url_slashes", "origin URL: `/` between two path segments", url_slashes),
    ("url_bracketed_colons", "origin URL: a bracketed host of `:` alone", url_bracketed_colons),
    ("json_long_numbers", "codemeta.json: two numbers of half the size each", json_long_numbers),
    ("json_newlines", "package.json of newlines alone", json_newlines),
    ("json_distinct_keys", "package.json: one object of distinct keys",
     json_distinct_keys("package.json")),
    ("json_distinct_keys_codemeta", "codemeta.json: one object of distinct keys",
     json_distinct_keys("codemeta.json")),
    ("yaml_tags_cff", "CITATION.cff of `%TAG` directives",
     yaml_tag_directives("CITATION.cff", "cff-version: 1.2.0\n")),
    ("yaml_tags_config", ".quarnel.yml of `%TAG` directives",
     yaml_tag_directives(".quarnel.yml", "min_score: 1\n")),
    ("yaml_tags_then_str", "CITATION.cff: 20 000 `%TAG` directives, then `!!str` items",
     yaml_tag_directives_then_str_tags),
    ("yaml_long_tag_prefix", "CITATION.cff: one `%TAG` prefix of half the size, then its tags",
     yaml_long_tag_prefix),
    ("config_aliased_text", ".quarnel.yml: aliases of a 64 KiB text in `required_indicators`",
     config_aliased_long_text),
    ("config_aliased_id", ".quarnel.yml: aliases of a valid id in `required_indicators`",
     config_aliased_valid_id),
    ("config_int_colons", '.quarnel.yml: `min_score: !!int "::::…"`', config_int_tag_colons),
    ("yaml_sexagesimal", "CITATION.cff: a `1:0:0:…` scalar", yaml_sexagesimal),
    ("yaml_flow_nulls", "CITATION.cff: `{a,a,a,…}`", yaml_flow_of_nulls),
    ("yaml_brackets_then_percent", "CITATION.cff: `[` alone, then a `%` line of 301 bytes",
     yaml_brackets_then_long_percent_line),
    ("yaml_flow_999_deep", "CITATION.cff: a flow list 999 levels deep of `a,a,…`",
     yaml_deep_flow_list(999)),
    ("yaml_flow_99_deep", "CITATION.cff: a flow list 99 levels deep of `a,a,…`",
     yaml_deep_flow_list(99)),
    ("yaml_flow_64_deep", "CITATION.cff: a flow list 64 levels deep of `a,a,…`",
     yaml_deep_flow_list(64)),
    ("yaml_unknown_tag", "CITATION.cff: one unknown tag of the size (Markdown report)",
     yaml_unknown_tag),
    ("config_unknown_id", ".quarnel.yml: one unknown indicator id of the size", config_unknown_id),
    ("ini_long_section", "setup.cfg: one section name of the size, 1 000 options",
     ini_long_section),
    ("ini_blank_lines", "setup.cfg of newlines alone", ini_blank_lines),
    ("requirements_blank_lines", "requirements.txt: newlines between two requirements",
     requirements_blank_lines),
]


def run(quarnel, root, options, timeout, cap):
    out = os.path.join(root, "..", "report")
    err_path = os.path.join(root, "..", "stderr")
    usage_path = os.path.join(root, "..", "usage")
    # GNU time reports the peak of its own child, which timeout starts afresh: a child forked
    # from this script would count the script's own memory (the generated text) as its peak.
    argv = ["/usr/bin/time", "-f", "%e %U %S %M", "-o", usage_path,
            "timeout", "-s", "KILL", "%d" % timeout,
            "prlimit", "--as=%d" % cap, "--", quarnel, "assess", root, "-q", "-o", out] + options
    with open(err_path, "wb") as err_file:
        status = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=err_file).returncode
    with open(usage_path) as f:
        # On a killed run time adds a line of its own before the figures.
        wall, user, system, peak_kib = f.read().split()[-4:]
    with open(err_path, "rb") as f:
        err = f.read()
    report = os.path.getsize(out) if os.path.exists(out) else 0
    if os.path.exists(out):
        os.remove(out)
    return {
        "wall": float(wall),
        "cpu": float(user) + float(system),
        "rss_mib": int(peak_kib) / 1024,
        "status": status,
        "killed": status == 128 + 9,
        "stderr_bytes": len(err),
        "report_bytes": report,
        "stderr_head": err[:300].decode(errors="replace"),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quarnel", default="build/quarnel")
    parser.add_argument("--sizes", default="1,8", help="MiB, comma-separated")
    parser.add_argument("--only", default="", help="shape names, comma-separated")
    parser.add_argument("--timeout", type=float, default=600)
    parser.add_argument("--cap-gib", type=float, default=16)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--show-stderr", action="store_true",
                        help="print the start of each run's standard error below its row")
    args = parser.parse_args()
    if args.list:
        for name, what, _ in SHAPES:
            print("%-26s %s" % (name, what))
        return 0
    quarnel = os.path.abspath(args.quarnel)
    only = set(filter(None, args.only.split(",")))
    sizes = [float(s) for s in args.sizes.split(",")]
    cap = int(args.cap_gib * (1 << 30))
    print("| shape | MiB | wall s | cpu s | peak MiB | exit | stderr bytes | report bytes |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for name, _, generate in SHAPES:
        if only and name not in only:
            continue
        for size in sizes:
            work = tempfile.mkdtemp(prefix="quarnel-shape-")
            try:
                root = os.path.join(work, "checkout")
                os.makedirs(root)
                options = generate(root, int(size * MIB))
                r = run(quarnel, root, options, args.timeout, cap)
            finally:
                shutil.rmtree(work, ignore_errors=True)
            if r["killed"]:
                # The kill takes timeout itself down too, so time has no figures of the run.
                wall, cpu, peak = "> %d" % args.timeout, "-", "-"
            else:
                wall, cpu, peak = "%.2f" % r["wall"], "%.2f" % r["cpu"], "%.0f" % r["rss_mib"]
            print("| %s | %g | %s | %s | %s | %s | %d | %d |" % (
                name, size, wall, cpu, peak, r["status"], r["stderr_bytes"], r["report_bytes"]),
                flush=True)
            if args.show_stderr and r["stderr_head"]:
                print("    " + r["stderr_head"].replace("\n", "\n    "))
    return 0


if __name__ == "__main__":
    sys.exit(main())
