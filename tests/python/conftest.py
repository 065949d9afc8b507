import os
import pathlib
import subprocess

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("VARKEL_BUILD_DIR", REPO / "build"))


def _writer():
    candidates = sorted(BUILD.glob("tests/cpp/support/write_test_model")) + sorted(BUILD.rglob("write_test_model"))
    for path in candidates:
        if path.is_file() and os.access(path, os.X_OK):
            return path
    pytest.fail(f"write_test_model not built under {BUILD}")


@pytest.fixture(scope="session")
def model_dir():
    """A synthetic converted model of the stripped constant set, cached in the build tree."""
    target = BUILD / "test-models" / "stripped"
    stamp = target / ".complete"
    if not stamp.exists():
        target.mkdir(parents=True, exist_ok=True)
        subprocess.run([str(_writer()), str(target)], check=True)
        stamp.write_text("ok")
    return str(target)


@pytest.fixture(scope="session")
def varkel():
    import _varkel

    return _varkel


@pytest.fixture(scope="session")
def model(varkel, model_dir):
    return varkel.Model(model_dir)


@pytest.fixture(scope="session")
def engine(varkel, model):
    return varkel.Engine(model)
