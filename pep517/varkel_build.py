"""Build backend behind `pip install .`: drives the project's CMake build and
packs the module it makes, _varkel.abi3.so, into a cp311-abi3 wheel.

Standard library only, so that pip needs nothing from a package index to run
it. The CMake tree defaults to build-wheel/ in the source directory (kept for
the next build); `-C build-dir=DIR` names another one, and an already
configured tree is used as it is (only the module's target is built).
"""
import base64
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import tomllib
import zipfile

SOURCE = pathlib.Path.cwd()
MODULE = "_varkel.abi3.so"
# The module targets the limited API of CPython 3.11 (see src/python_bindings).
TAG = "cp311-abi3-" + sysconfig.get_platform().replace("-", "_").replace(".", "_")


def _project():
    with open(SOURCE / "pyproject.toml", "rb") as file:
        return tomllib.load(file)["project"]


def _metadata(project):
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
        f"Requires-Python: {project['requires-python']}",
    ]
    lines += [f"Requires-Dist: {requirement}" for requirement in project.get("dependencies", [])]
    return "\n".join(lines) + "\n"


def _build_module(config_settings):
    build_dir = pathlib.Path((config_settings or {}).get("build-dir") or SOURCE / "build-wheel").resolve()
    if not (build_dir / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "-S", str(SOURCE), "-B", str(build_dir), "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DVARKEL_BENCH=OFF"],
                       check=True, stdout=sys.stderr)
    subprocess.run(["cmake", "--build", str(build_dir), "--target", "_varkel"], check=True, stdout=sys.stderr)
    return build_dir / "python" / MODULE


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    built = _build_module(config_settings)
    with tempfile.TemporaryDirectory() as scratch:
        module = pathlib.Path(scratch) / MODULE
        shutil.copyfile(built, module)
        # Debug information is most of the file; the installed module goes without.
        if shutil.which("strip"):
            subprocess.run(["strip", "--strip-debug", str(module)], check=True)
        dist_info = f"{project['name']}-{project['version']}.dist-info"
        files = {
            MODULE: module.read_bytes(),
            f"{dist_info}/METADATA": _metadata(project).encode(),
            f"{dist_info}/WHEEL": (f"Wheel-Version: 1.0\nGenerator: varkel_build\nRoot-Is-Purelib: false\n"
                                   f"Tag: {TAG}\n").encode(),
            f"{dist_info}/top_level.txt": b"_varkel\n",
        }
        record = [_record_line(name, data) for name, data in files.items()] + [f"{dist_info}/RECORD,,"]
        files[f"{dist_info}/RECORD"] = ("\n".join(record) + "\n").encode()
        wheel_name = f"{project['name']}-{project['version']}-{TAG}.whl"
        with zipfile.ZipFile(pathlib.Path(wheel_directory) / wheel_name, "w", zipfile.ZIP_DEFLATED) as wheel:
            for name, data in files.items():
                info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
                info.external_attr = (0o755 if name == MODULE else 0o644) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                wheel.writestr(info, data)
    return wheel_name


def _sdist_member(path):
    # Sources only: no build trees, caches, hub downloads or version control.
    parts = path.relative_to(SOURCE).parts
    return not any(part.startswith(("build", ".", "__pycache__")) or part == "hub" for part in parts)


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    base = f"{project['name']}-{project['version']}"
    with tarfile.open(pathlib.Path(sdist_directory) / f"{base}.tar.gz", "w:gz") as sdist:
        for path in sorted(SOURCE.rglob("*")):
            if path.is_file() and _sdist_member(path):
                sdist.add(path, arcname=f"{base}/{path.relative_to(SOURCE)}")
        with tempfile.NamedTemporaryFile("w", delete=False) as info:
            info.write(_metadata(project))
        sdist.add(info.name, arcname=f"{base}/PKG-INFO")
        os.unlink(info.name)
    return f"{base}.tar.gz"
