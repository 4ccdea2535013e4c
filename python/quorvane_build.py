"""The build backend of the Python module quorvane (PEP 517), for `pip install ./python`.

It compiles the module with its own copy of the library: the binding (QuorvaneModule*.cpp), the
C API (lib/), the engine (signing/), the trailer format (codec/) and what they share (base/),
all from this repository, into one extension that needs no libquorvane installed. It needs
what Debian's packages give: a C++20 compiler, Python's headers (python3-dev), setuptools (for
its compiler driver) and the pybind11 headers (pybind11-dev or the pybind11 package), and
nothing from the network, so

    pip install --no-build-isolation ./python

works offline, in a fresh venv too (the pybind11 headers are then taken from /usr/include). The
wheel is written here, without the `wheel` package. The version is the project's, from the
top-level CMakeLists.txt.
"""
import base64
import glob
import hashlib
import os
import re
import shutil
import sys
import sysconfig
import tempfile
import zipfile
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
NAME = "quorvane"
SUMMARY = "Sign, check and strip Quorvane's signature trailer"
# The sources of the binding, which read Python.h before any standard header.
BINDING = ("QuorvaneModule.cpp", "QuorvaneModuleFiles.cpp", "QuorvaneModuleBatches.cpp")
# The package's Python files: the code, its type stub and the marker that it has types.
PACKAGE_FILES = ("__init__.py", "_remote.py", "cluster.py", "_cluster_run.py", "__init__.pyi",
                 "py.typed")


def _version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        found = re.search(r"project\(\s*Quorvane\s+VERSION\s+([0-9.]+)", f.read())
    if not found:
        raise RuntimeError("no project version in %s/CMakeLists.txt" % ROOT)
    return found.group(1)


def _sources():
    """The module, the C API, and the engine, codec and base files of this platform (not Windows)."""
    sources = [os.path.join(HERE, name) for name in BINDING]
    sources.append(os.path.join(ROOT, "cli", "CliReport.cpp"))
    sources += sorted(glob.glob(os.path.join(ROOT, "lib", "*.cpp")))
    for folder in ("signing", "codec", "base"):
        sources += sorted(path for path in glob.glob(os.path.join(ROOT, folder, "*.cpp"))
                          if not path.endswith("Windows.cpp"))
    return sources


def _pybind11_include():
    try:
        import pybind11
        return pybind11.get_include()
    except ImportError:
        if os.path.isfile("/usr/include/pybind11/pybind11.h"):
            return "/usr/include"
        raise RuntimeError("the pybind11 headers are missing: install pybind11-dev "
                           "(or the pybind11 package)") from None


def _tag():
    interpreter = "cp%d%d" % sys.version_info[:2]
    platform = re.sub(r"[^A-Za-z0-9]", "_", sysconfig.get_platform())
    return "%s-%s-%s" % (interpreter, interpreter, platform)


# The standard headers that the sources of the library read, parsed once for all of them (GCC's
# precompiled header): reading them was most of each source's compile time.
_STANDARD_HEADERS = ("algorithm", "atomic", "condition_variable", "cstdint", "cstdio", "cstring",
                     "filesystem", "functional", "map", "memory", "mutex", "optional", "string",
                     "string_view", "system_error", "thread", "vector")


def _precompile(compiler, compile_one, folder, kwargs):
    """The standard headers precompiled with the sources' own flags into `folder`; the options
    that make a source use them, or none where the compiler is not GCC or cannot make them (each
    source then reads its headers itself, as before)."""
    program = os.path.basename(compiler.compiler_so[0])
    if "gcc" not in program and "g++" not in program:
        return []
    from setuptools.errors import CompileError
    os.makedirs(folder, exist_ok=True)
    header = os.path.join(folder, "quorvane_std.h")
    with open(header, "w", encoding="utf-8") as f:
        f.write("".join("#include <%s>\n" % name for name in _STANDARD_HEADERS))
    # compile() takes only sources by their names: the same text as a .cpp, compiled as a header.
    source = os.path.join(folder, "quorvane_std.cpp")
    shutil.copyfile(header, source)
    try:
        made = compile_one([source], **dict(kwargs, output_dir=folder,
                                            extra_preargs=["-x", "c++-header"]))
    except CompileError:
        return []
    os.replace(made[0], header + ".gch")
    print("quorvane_build: the standard headers are precompiled", file=sys.stderr)
    return ["-include", header, "-Winvalid-pch"]


def _compile(into):
    """Compiles the extension into `into`/quorvane/; its path."""
    from setuptools import Distribution, Extension
    from setuptools.command.build_ext import build_ext

    class ParallelBuild(build_ext):
        """Compiles the sources of the one extension on every processor."""

        def build_extension(self, ext):
            compile_one = self.compiler.compile

            def compile_all(sources, **kwargs):
                # The binding reads Python.h before any standard header, as Python asks: it
                # compiles on its own while the headers of the others are precompiled.
                def binding(source):
                    return os.path.basename(source) in BINDING
                with ThreadPoolExecutor(os.cpu_count() or 1) as pool:
                    made = {source: pool.submit(compile_one, [source], **kwargs)
                            for source in sources if binding(source)}
                    extra = _precompile(self.compiler, compile_one,
                                        os.path.join(self.build_temp, "precompiled"), kwargs)
                    with_headers = dict(kwargs, extra_postargs=kwargs["extra_postargs"] + extra)
                    made.update({source: pool.submit(compile_one, [source], **with_headers)
                                 for source in sources if not binding(source)})
                    return [found for source in sources for found in made[source].result()]
            self.compiler.compile = compile_all
            try:
                super().build_extension(ext)
            finally:
                del self.compiler.compile

    extension = Extension(
        NAME + "._quorvane", _sources(),
        include_dirs=[_pybind11_include()] + [os.path.join(ROOT, d) for d in ("lib", "cli", "signing",
                                                                              "codec", "base")],
        # 64-bit file positions on 32-bit systems too, in every source alike.
        define_macros=[("QUORVANE_VERSION", '"%s"' % _version()), ("_FILE_OFFSET_BITS", "64")],
        extra_compile_args=["-std=c++20", "-fvisibility=hidden", "-O2", "-g0"],
        language="c++")
    distribution = Distribution({"name": NAME, "ext_modules": [extension],
                                 "cmdclass": {"build_ext": ParallelBuild}})
    build = distribution.get_command_obj("build_ext")
    build.build_lib = into
    build.build_temp = os.path.join(into, "objects")
    build.ensure_finalized()
    build.run()
    return build.get_ext_fullpath(extension.name)


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (name, digest, len(data))


def _metadata():
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: %s\nLicense: MIT\n"
            "Requires-Python: >=3.9\nProvides-Extra: remote\n"
            'Requires-Dist: fsspec; extra == "remote"\n' % (NAME, _version(), SUMMARY))


# PEP 517 hooks.

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    version = _version()
    info = "%s-%s.dist-info" % (NAME, version)
    with tempfile.TemporaryDirectory() as work:
        extension = _compile(work)
        files = [(NAME + "/" + name, os.path.join(HERE, NAME, name)) for name in PACKAGE_FILES]
        files.append((NAME + "/" + os.path.basename(extension), extension))
        contents = []
        for name, path in files:
            with open(path, "rb") as f:
                contents.append((name, f.read()))
        contents += [(info + "/METADATA", _metadata().encode()),
                     (info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: quorvane_build\n"
                                        "Root-Is-Purelib: false\nTag: %s\n" % _tag()).encode()),
                     (info + "/top_level.txt", (NAME + "\n").encode())]
        record = [_record_line(name, data) for name, data in contents] + [info + "/RECORD,,"]
        contents.append((info + "/RECORD", ("\n".join(record) + "\n").encode()))
        wheel = "%s-%s-%s.whl" % (NAME, version, _tag())
        with zipfile.ZipFile(os.path.join(wheel_directory, wheel), "w",
                             zipfile.ZIP_DEFLATED) as archive:
            for name, data in contents:
                archive.writestr(name, data)
    return wheel


def build_sdist(sdist_directory, config_settings=None):
    raise RuntimeError("quorvane is built from the repository: pip install ./python")
