import re
import signal
import subprocess
import sys

import numpy as np
import pytest


def ids(*values):
    return np.array(values, dtype=np.int64)


def test_model_repr_and_load_errors(varkel, model, tmp_path):
    assert repr(model) == "Model(4 layers, hidden=2048)"
    with pytest.raises(RuntimeError) as missing:
        varkel.Model(str(tmp_path / "absent"))
    assert str(missing.value).startswith("Config error: ")
    assert str(tmp_path / "absent") in str(missing.value)


def test_new_cache(varkel, model):
    cache = varkel.Cache(model)
    assert cache.pos == 0
    assert repr(cache) == "Cache(pos=0)"
    with pytest.raises(AttributeError):
        cache.pos = 3
    with pytest.raises(TypeError, match=r"^argument 'model': "):
        varkel.Cache("not a model")


def test_saved_and_reset_caches_continue_like_the_original_and_a_new_one(varkel, model, engine, tmp_path):
    cache = varkel.Cache(model)
    engine.forward(ids(1, 2, 3), cache)
    bin_path, json_path = str(tmp_path / "c.bin"), str(tmp_path / "c.json")
    assert cache.save(bin_path, json_path) is None
    loaded = varkel.Cache.load(bin_path, json_path)
    assert loaded.pos == 3
    np.testing.assert_array_equal(engine.forward(ids(4), cache), engine.forward(ids(4), loaded))

    loaded.reset()
    assert loaded.pos == 0
    np.testing.assert_array_equal(engine.forward(ids(5, 6, 7), loaded), engine.forward(ids(5, 6, 7), varkel.Cache(model)))

    with pytest.raises(OSError):
        varkel.Cache.load(json_path, bin_path)
    with pytest.raises(OSError):
        cache.save(str(tmp_path / "missing-dir" / "x.bin"), json_path)
    # One file named twice would be renamed over itself: refused, the saved pair kept.
    with pytest.raises(OSError, match="cache data file and manifest are one file"):
        cache.save(json_path, str(tmp_path / "." / "c.json"))
    assert varkel.Cache.load(bin_path, json_path).pos == 3


@pytest.mark.parametrize("bin_name, json_name", [
    ("./c.bin", "c.bin"),
    ("{}/c.bin", "c.bin"),
    ("c.bin", "sub/../c.bin"),
])
def test_two_spellings_of_one_new_file_are_refused_before_writing(varkel, model, tmp_path, monkeypatch,
                                                                  bin_name, json_name):
    (tmp_path / "sub").mkdir()
    monkeypatch.chdir(tmp_path)
    bin_name, json_name = bin_name.format(tmp_path), json_name.format(tmp_path)
    with pytest.raises(OSError, match="^cache data file and manifest are one file: " + re.escape(bin_name) + "$"):
        varkel.Cache(model).save(bin_name, json_name)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["sub"]
    assert not any((tmp_path / "sub").iterdir())


def misaligned(values):
    """A copy of `values` one byte past an aligned address, as a view into a bytearray."""
    values = np.ascontiguousarray(values)
    view = np.frombuffer(bytearray(values.nbytes + 1), dtype=values.dtype, offset=1).reshape(values.shape)
    view[...] = values
    assert not view.flags.aligned
    return view


def test_arrays_at_odd_addresses_read_as_the_aligned_ones(varkel, model, engine):
    tokens = ids(11, 12, 13, 14)
    embeddings = engine.embed_lookup(tokens)
    np.testing.assert_array_equal(engine.embed_lookup(misaligned(tokens)), embeddings)
    np.testing.assert_array_equal(engine.forward(misaligned(tokens), varkel.Cache(model)),
                                  engine.forward(tokens, varkel.Cache(model)))
    np.testing.assert_array_equal(engine.forward_hidden(misaligned(embeddings), varkel.Cache(model)),
                                  engine.forward_hidden(embeddings, varkel.Cache(model)))


_FAULT_OUTSIDE_MODEL_FILES = r"""
import faulthandler, mmap, os, sys
faulthandler.enable()  # before the module maps its first model file
import _varkel
model = _varkel.Model(sys.argv[1])
path = sys.argv[2]
with open(path, "wb") as f:
    f.write(b"o" * 8192)
with open(path, "rb") as f:
    other = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
os.truncate(path, 0)
other[100]
"""


def test_bus_errors_outside_model_files_still_reach_faulthandler(model_dir, tmp_path):
    done = subprocess.run([sys.executable, "-c", _FAULT_OUTSIDE_MODEL_FILES, model_dir, str(tmp_path / "other.bin")],
                          capture_output=True, text=True)
    assert done.returncode == -signal.SIGBUS, done.stderr
    assert "Fatal Python error: Bus error" in done.stderr
    assert "model file changed while mapped" not in done.stderr
