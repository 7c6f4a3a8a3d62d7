"""Build definition of the C++ extension; the package metadata lives in pyproject.toml."""
import glob

from setuptools import Extension, setup

# The one place that names the compiler flags; every build (native, sanitizer,
# cross) starts from these and adds its own through CFLAGS, CXXFLAGS and LDFLAGS. -Werror is
# not among them: a user's newer compiler may warn where ours does not, which
# must not fail an installation. The test scripts add it (tools/lib.sh).
CXX_FLAGS = ["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden"]

setup(
    ext_modules=[
        Extension(
            "veltrane.corvalest.datareader.fileInspect",
            # The module shell, with the delimited-text fast paths (and their
            # private knobs module) compiled into the same shared object.
            sources=sorted(glob.glob("src/fileinspect/*.cpp") + glob.glob("src/delimited/*.cpp")
                           + glob.glob("src/common/*.cpp")),
            depends=sorted(glob.glob("src/fileinspect/*.hpp") + glob.glob("src/delimited/*.hpp")
                           + glob.glob("src/common/*.hpp")),
            include_dirs=["src"],
            language="c++",
            extra_compile_args=CXX_FLAGS,
        ),
        # The native workbook scanner, a private module of its own (its readers
        # in subfolders, such as src/sheetscan/xls/); both extensions build on
        # the common base in src/common/.
        Extension(
            "veltrane.corvalest.datareader._sheetscan",
            sources=sorted(glob.glob("src/sheetscan/**/*.cpp", recursive=True)
                           + glob.glob("src/common/*.cpp")),
            depends=sorted(glob.glob("src/sheetscan/**/*.hpp", recursive=True)
                           + glob.glob("src/common/*.hpp")),
            include_dirs=["src"],
            language="c++",
            extra_compile_args=CXX_FLAGS,
        ),
    ]
)
