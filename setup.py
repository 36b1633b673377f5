"""Build of velbrook's extension modules.

Environment switches:
  VELBROOK_WERROR=1    turn compiler warnings into errors (CI)
  VELBROOK_SANITIZE=1  build with AddressSanitizer and UndefinedBehavior-
                       Sanitizer (the interpreter must preload the runtimes)
  VELBROOK_SANITIZE=thread
                       build with ThreadSanitizer instead, for the
                       free-threaded interpreter (the same preloading)
"""
import glob
import os

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

COMPILE_ARGS = [
    "-std=c++17",
    "-O2",
    "-fvisibility=hidden",
    "-ffp-contract=off",
    "-Wall",
    "-Wextra",
]
LINK_ARGS = []
if os.environ.get("VELBROOK_WERROR"):
    COMPILE_ARGS.append("-Werror")
if os.environ.get("VELBROOK_SANITIZE") == "thread":
    SANITIZE = ["-fsanitize=thread", "-fno-omit-frame-pointer", "-g"]
    COMPILE_ARGS += SANITIZE
    LINK_ARGS += SANITIZE
elif os.environ.get("VELBROOK_SANITIZE"):
    SANITIZE = ["-fsanitize=address,undefined", "-fno-omit-frame-pointer",
                "-fno-sanitize-recover=undefined", "-fno-wrapv", "-g"]
    COMPILE_ARGS += SANITIZE
    LINK_ARGS += SANITIZE


class BuildExt(build_ext):
    """Drops C-only flags the interpreter's own build passes to every
    compiler call, so C++ sources compile without warnings, and rebuilds
    everything when the flags differ from the previous build's: otherwise
    an up-to-date module of a plain build would be reused for a sanitized
    one, or the other way round."""

    def run(self):
        flags = " ".join(COMPILE_ARGS + LINK_ARGS)
        stamp = os.path.join(self.build_temp, "velbrook-flags")
        try:
            with open(stamp) as f:
                previous = f.read()
        except OSError:
            previous = None
        if previous != flags:
            self.force = True
        super().run()
        os.makedirs(self.build_temp, exist_ok=True)
        with open(stamp, "w") as f:
            f.write(flags)

    def build_extensions(self):
        for attr in ("compiler_so", "compiler"):
            cmd = getattr(self.compiler, attr, None)
            if cmd:
                cmd[:] = [a for a in cmd if a != "-Wstrict-prototypes"]
        super().build_extensions()


def headers(folder):
    """The headers a module's sources may include: its folder's and the
    shared ones, so that changing any of them rebuilds the module."""
    return sorted(glob.glob(os.path.join(folder, "*.h"))
                  + glob.glob(os.path.join("velbrook", "_shared", "*.h")))


def extension(module, folder, name, uses=(), threads=False):
    """The module `module`, built from `folder`/`name`.cpp; `uses` are
    other modules' folders whose headers it includes."""
    folder = os.path.join("velbrook", folder)
    depends = headers(folder)
    for other in uses:
        depends += sorted(glob.glob(os.path.join("velbrook", other, "*.h")))
    thread_args = ["-pthread"] if threads else []
    return Extension(
        module,
        sources=[os.path.join(folder, name + ".cpp")],
        depends=depends,
        language="c++",
        extra_compile_args=COMPILE_ARGS + thread_args,
        extra_link_args=LINK_ARGS + thread_args,
    )


EXTENSIONS = [
    extension("velbrook.intToTime.ordinal_unfolder", "intToTime",
              "ordinal_unfolder"),
    extension("velbrook.dateToInt.calendar_text_codec", "dateToInt",
              "calendar_text_codec"),
    extension("velbrook.centroid_histogram.bucket_summarizer",
              "centroid_histogram", "bucket_summarizer"),
    # Beyond the three core modules: whole columns at once.
    extension("velbrook.columns", "columns", "columns", uses=["dateToInt"],
              threads=True),
]

setup(ext_modules=EXTENSIONS, cmdclass={"build_ext": BuildExt})
