import json
import os

import numpy as np
import pytest


def test_model_repr_and_load_errors(varkel, model, tmp_path):
    assert repr(model) == "Model(4 layers, hidden=2048)"
    with pytest.raises(RuntimeError) as missing:
        varkel.Model(str(tmp_path / "absent"))
    assert str(missing.value).startswith("Config error: ")
    assert str(tmp_path / "absent") in str(missing.value)


def test_new_cache_and_reset(varkel, model):
    cache = varkel.Cache(model)
    assert cache.pos == 0
    assert repr(cache) == "Cache(pos=0)"
    with pytest.raises(AttributeError):
        cache.pos = 3
    with pytest.raises(TypeError, match=r"^argument 'model': "):
        varkel.Cache("not a model")


def test_save_load_round_trip_and_swapped_paths(varkel, model, engine, tmp_path):
    cache = varkel.Cache(model)
    engine.forward(np.array([1, 2, 3], dtype=np.int64), cache)
    bin_path, json_path = str(tmp_path / "c.bin"), str(tmp_path / "c.json")
    assert cache.save(bin_path, json_path) is None
    manifest = json.loads(open(json_path).read())
    assert "cache.pos" in manifest["tensors"]

    loaded = varkel.Cache.load(bin_path, json_path)
    assert loaded.pos == 3
    # The loaded cache continues exactly like the original.
    next_id = np.array([4], dtype=np.int64)
    a = engine.forward(next_id, cache)
    b = engine.forward(next_id, loaded)
    np.testing.assert_array_equal(a, b)

    with pytest.raises(OSError):
        varkel.Cache.load(json_path, bin_path)
    with pytest.raises(OSError):
        cache.save(str(tmp_path / "missing-dir" / "x.bin"), json_path)


def test_reset_cache_behaves_like_a_new_one(varkel, model, engine):
    ids = np.array([5, 6, 7], dtype=np.int64)
    used = varkel.Cache(model)
    engine.forward(np.array([9, 9, 9, 9], dtype=np.int64), used)
    used.reset()
    assert used.pos == 0
    fresh = varkel.Cache(model)
    np.testing.assert_array_equal(engine.forward(ids, used), engine.forward(ids, fresh))
