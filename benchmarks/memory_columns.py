"""Memory that velbrook.columns.date2int needs, per element, above its input.

Each input kind runs in a fresh interpreter: the input is built, the
process's peak resident size is reset (Linux /proc/self/clear_refs), the
call is made, and the peak and then the resident size after the result is
deleted are read, both less the resident size before the call.  Before
each resident size is read, the C library's allocator gives back the free
memory it keeps, so that what was freed before the call does not count
against it, and "retained" is what is still allocated.  Figures are bytes
per element, the result's own 8 included in the peak.

    python benchmarks/memory_columns.py [N]       (default N = 10**7)
"""
import subprocess
import sys
import textwrap

KINDS = {
    "list, one thread": ("list", "threads=1"),
    "list, two threads": ("list", "threads=2"),
    "iterator": ("iter(list)", "threads=2"),
    "numpy U array": ("numpy", "threads=2"),
    "Arrow string array": ("arrow", "threads=2"),
    "list of non-ASCII texts, one thread": ("list", "threads=1, ascii=False"),
}

CHILD = textwrap.dedent("""
    import ctypes, gc, sys
    import numpy as np
    from velbrook.columns import date2int

    def status(field):
        gc.collect()
        ctypes.CDLL("libc.so.6").malloc_trim(0)
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024

    n, kind, threads, ascii = {n}, {kind!r}, {threads}, {ascii}
    start = np.datetime64("2001-01-01T00:00:00")
    stamps = start + np.arange(n, dtype="int64") * 7
    texts = stamps.astype("U19").tolist()
    fmt = b"%Y-%m-%dT%H:%M:%S"
    if not ascii:
        texts = [t.replace("-", "\\u5e74", 1) for t in texts]
        fmt = "%Y\\u5e74%m-%dT%H:%M:%S".encode()
    if kind == "numpy":
        column = np.array(texts)
        del texts
    elif kind == "arrow":
        import pyarrow
        column = pyarrow.array(texts)
        del texts
        # pyarrow's pool keeps what building the array freed, and gives it
        # back at a moment of its own: now, before the call.
        pool = pyarrow.default_memory_pool()
        if hasattr(pool, "release_unused"):
            pool.release_unused()
    else:
        column = texts
    make = (lambda: iter(column)) if kind == "iter(list)" else lambda: column
    source = make()
    before = status("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak starts again from here
    result = date2int(source, fmt, threads=threads)
    peak = status("VmHWM")
    assert len(result) == n
    del result, source
    after = status("VmRSS")
    print((peak - before) / n, (after - before) / n)
""")


def measure(n, kind, arguments):
    threads, _, rest = arguments.partition(",")
    ascii = "False" not in rest
    code = CHILD.format(n=n, kind=kind, threads=threads.split("=")[1],
                        ascii=ascii)
    out = subprocess.run([sys.executable, "-c", code], check=True,
                         stdout=subprocess.PIPE, universal_newlines=True)
    peak, retained = (float(x) for x in out.stdout.split())
    return peak, retained


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10 ** 7
    print("%d elements; bytes per element above the input" % n)
    print("| input | peak | retained |")
    print("|---|---|---|")
    for name, (kind, arguments) in KINDS.items():
        peak, retained = measure(n, kind, arguments)
        print("| %s | %.1f | %.1f |" % (name, peak, retained))


if __name__ == "__main__":
    main()
