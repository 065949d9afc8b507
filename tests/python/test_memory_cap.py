import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time

import pytest

GIB = 2 ** 30

# Runs in the capped cgroup: loads the model, runs a forward pass, then takes
# an allocation the cgroup can only give by evicting the weights' pages.
_LOAD_THEN_ALLOCATE = """
import os, sys
with open(sys.argv[2], "w") as procs:
    procs.write(str(os.getpid()))
import numpy as np
import _varkel
model = _varkel.Model(sys.argv[1])
engine = _varkel.Engine(model)
engine.forward(np.array([1, 2, 3], dtype=np.int64), _varkel.Cache(model))
ones = np.ones(int(sys.argv[3]) // 8)
print("allocated", ones.nbytes, flush=True)
"""


def _own_memory_cgroup():
    """The v1 memory hierarchy's directory of this process, or None."""
    root = pathlib.Path("/sys/fs/cgroup/memory")
    if not (root / "memory.limit_in_bytes").exists():
        return None
    for line in pathlib.Path("/proc/self/cgroup").read_text().splitlines():
        _, controllers, path = line.split(":", 2)
        if "memory" in controllers.split(","):
            return root / path.lstrip("/")
    return None


@pytest.fixture
def capped_cgroup(request):
    """A memory cgroup below this process's own, limited to the test's `cap` bytes."""
    if os.geteuid() != 0:
        pytest.skip("making a memory cgroup needs root")
    parent = _own_memory_cgroup()
    if parent is None:
        pytest.skip("no cgroup v1 memory controller mounted at /sys/fs/cgroup/memory")
    path = parent / f"varkel_test_{os.getpid()}"
    try:
        path.mkdir()
    except OSError as error:
        pytest.skip(f"cannot make a memory cgroup under {parent}: {error}")
    try:
        (path / "memory.limit_in_bytes").write_text(str(request.param))
        yield path
    finally:
        # The child has been reaped; the kernel may still be tearing it down.
        for _ in range(50):
            try:
                path.rmdir()
                break
            except OSError:
                time.sleep(0.1)


def _uncached_copy(source, target):
    """A copy of the model whose pages are in no one's page cache, so that
    reading it charges the cgroup that reads it."""
    shutil.copytree(source, target)
    for file in pathlib.Path(target).rglob("*"):
        if file.is_file():
            fd = os.open(file, os.O_RDONLY)
            try:
                os.fsync(fd)
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            finally:
                os.close(fd)


# The stripped model's weight file (about 0.87 GiB) is under half of a 1.8 GiB
# cgroup: a later allocation of 1.2 GiB fits only if its pages can be evicted.
@pytest.mark.parametrize("capped_cgroup", [int(1.8 * GIB)], indirect=True)
def test_a_loaded_model_does_not_keep_a_later_allocation_from_its_memory(model_dir, tmp_path, capped_cgroup):
    weights = os.path.getsize(os.path.join(model_dir, "model_weights.bin"))
    assert 0.8 * GIB < weights < 0.9 * GIB, weights
    copy = tmp_path / "model"
    _uncached_copy(model_dir, copy)
    env = {k: v for k, v in os.environ.items() if k != "VARKEL_LOCK_WEIGHTS"}
    try:
        done = subprocess.run(
            [sys.executable, "-c", _LOAD_THEN_ALLOCATE, str(copy), str(capped_cgroup / "cgroup.procs"), str(int(1.2 * GIB))],
            capture_output=True, text=True, timeout=300, env=env)
    finally:
        shutil.rmtree(copy)
    assert done.returncode != -signal.SIGKILL, "killed for lack of memory: " + done.stderr[-2000:]
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == f"allocated {int(1.2 * GIB) // 8 * 8}"
