"""Compiles the three system modules and the shared C++ layer for 64-bit Windows, without
linking, and fails on anything that only builds elsewhere.

    python .ci/windows_compile.py CPYTHON_HEADERS [COMPILER]

CPYTHON_HEADERS holds CPython's Include/ and PC/pyconfig.h (its Windows configuration);
COMPILER defaults to mingw-w64's g++. Two faults are reported: a file that does not compile
for Windows, and a file of ours that includes a POSIX header which mingw-w64 happens to
carry but the Windows compiler that builds the release wheels (MSVC) has not.
"""
import concurrent.futures
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The system modules and what they link; the stand-ins are never built for Windows.
DIRS = ["src/native/common", "src/native/ambrel", "src/native/vantor", "src/native/bot"]
# Headers mingw-w64 provides for POSIX code that MSVC does not.
POSIX_ONLY = {"unistd.h", "pthread.h", "sched.h", "semaphore.h", "dirent.h", "strings.h",
              "libgen.h", "getopt.h", "sys/time.h", "sys/param.h", "sys/mman.h",
              "sys/socket.h", "sys/select.h", "poll.h", "dlfcn.h", "pwd.h", "termios.h",
              "syslog.h", "spawn.h", "netinet/in.h", "arpa/inet.h"}
FLAGS = ["-std=c++17", "-O0", "-Wall", "-Wextra", "-Werror", "-Wno-missing-field-initializers",
         "-Wno-cast-function-type"]


def posix_includes(trace, source, ours):
    """(includer, header) for each POSIX-only header that one of our files includes, read
    from the include tree that -H prints (one dot per level of nesting)."""
    found, stack = [], [None]
    for line in trace.splitlines():
        dots = len(line) - len(line.lstrip("."))
        if not dots or not line[dots:].startswith(" "):
            continue
        path = os.path.normpath(line[dots + 1:].strip())
        del stack[dots:]
        includer = stack[-1]
        stack.append(path)
        if includer is None or includer.startswith(ours):
            for header in POSIX_ONLY:
                if path.endswith(os.sep + header):
                    found.append((includer or source, header))
    return found


def compile_one(compiler, headers, source):
    ours = os.path.join(ROOT, "src", "native")
    cmd = [compiler, *FLAGS, "-H", "-I", os.path.join(headers, "PC"),
           "-I", os.path.join(headers, "Include"), "-I", os.path.join(ROOT, "src/native/common"),
           "-c", "-o", os.devnull, source]
    done = subprocess.run(cmd, capture_output=True, text=True)
    # -H also ends with a list of headers that lack include guards: not ours to judge.
    output = done.stderr.split("Multiple include guards may be useful for:")[0].splitlines()
    trace = [line for line in output if line.startswith(".")]
    messages = [line for line in output if not line.startswith(".")]
    faults = []
    if done.returncode != 0:
        faults.append("does not compile for Windows:\n    " + "\n    ".join(messages))
    for includer, header in posix_includes("\n".join(trace), source, ours):
        faults.append(f"{os.path.relpath(includer, ROOT)} includes <{header}>, which the "
                      "Windows compiler does not have")
    return faults


def main(argv):
    headers = os.path.abspath(argv[1])
    compiler = argv[2] if len(argv) > 2 else "x86_64-w64-mingw32-g++-posix"
    # The configuration really is Windows': the probe fails to compile otherwise.
    probe = ("#include <Python.h>\n#if !defined(MS_WINDOWS) || !defined(_WIN64) || defined(__linux__)\n"
             "#error not a 64-bit Windows configuration\n#endif\n")
    done = subprocess.run([compiler, "-x", "c++", "-fsyntax-only", "-I", os.path.join(headers, "PC"),
                           "-I", os.path.join(headers, "Include"), "-"], input=probe,
                          capture_output=True, text=True)
    if done.returncode != 0:
        print(f"the headers in {headers} are not a Windows configuration:\n{done.stderr}")
        return 1
    sources = sorted(os.path.join(ROOT, d, f) for d in DIRS
                     for f in os.listdir(os.path.join(ROOT, d)) if f.endswith(".cpp"))
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        results = list(pool.map(lambda s: (s, compile_one(compiler, headers, s)), sources))
    failed = 0
    for source, faults in results:
        name = os.path.relpath(source, ROOT)
        if faults:
            failed += 1
            for fault in faults:
                print(f"FAIL {name}: {fault}")
        else:
            print(f"ok   {name}")
    print(f"Windows compile check: {len(sources) - failed} of {len(sources)} files passed "
          f"({compiler}, CPython headers with PC/pyconfig.h)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
