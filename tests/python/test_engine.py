import gc
import os
import signal
import subprocess
import threading

import numpy as np
import pytest

VOCAB = 248320
HIDDEN = 2048


def ids(*values):
    return np.array(values, dtype=np.int64)


def test_engine_repr_and_construction_errors(varkel, model, engine):
    assert repr(engine) == "Engine(loaded: 4 layers, hidden=2048)"
    with pytest.raises(ValueError) as unknown:
        varkel.Engine(model, "Nope")
    assert str(unknown.value).startswith("Config error: ")
    with pytest.raises(ValueError, match=r"^Config error: k \(5\) must not exceed"):
        varkel.Engine(model, k=5)
    with pytest.raises(OverflowError):
        varkel.Engine(model, k=-1)
    with pytest.raises(OverflowError):
        varkel.Engine(model, k=2 ** 64)
    with pytest.raises(TypeError, match=r"^argument 'model': "):
        varkel.Engine("model")


def test_positions_follow_the_cache(varkel, model, engine):
    cache = varkel.Cache(model)
    first = engine.forward(ids(1, 2, 3, 4, 5), cache)
    assert first.shape == (5, VOCAB) and first.dtype == np.float32
    assert cache.pos == 5
    # The same five ids plus two: only the two new ones are processed.
    assert engine.forward(ids(1, 2, 3, 4, 5, 6, 7), cache).shape == (2, VOCAB)
    assert cache.pos == 7
    # Keywords pass through the method descriptors like positional arguments.
    assert engine.forward(input_ids=ids(8), cache=cache).shape == (1, VOCAB)
    assert cache.pos == 8
    with pytest.raises(TypeError):
        engine.forward(ids(9), cache=cache, extra=1)
    assert cache.pos == 8

    other = varkel.Cache(model)
    engine.forward(ids(1, 2, 3, 4, 5), other)
    # Not longer than the position: processed whole, as positions 5..9.
    assert engine.forward(ids(1, 2, 3, 4, 5), other).shape == (5, VOCAB)
    assert other.pos == 10

    empty = engine.forward(np.zeros(0, dtype=np.int64), other)
    assert empty.shape == (0, VOCAB)
    assert other.pos == 10


def test_forward_hidden_of_embed_lookup_equals_forward(varkel, model, engine):
    tokens = ids(11, 22, 33, 44)
    embeddings = engine.embed_lookup(tokens)
    assert embeddings.shape == (4, HIDDEN) and embeddings.dtype == np.float32
    a = engine.forward(tokens, varkel.Cache(model))
    b = engine.forward_hidden(embeddings, varkel.Cache(model))
    np.testing.assert_array_equal(a, b)
    # A Fortran-ordered copy is read in its logical order.
    c = engine.forward_hidden(np.asfortranarray(embeddings), varkel.Cache(model))
    np.testing.assert_array_equal(a, c)
    assert np.isfinite(a).all()
    # Results hand over the native vector itself: no array owns a copy of it.
    for result in (a, embeddings):
        assert not result.flags.owndata and not isinstance(result.base, np.ndarray)
        assert result.flags.writeable and result.flags.c_contiguous


@pytest.mark.parametrize("meddle", [
    lambda array: array.fill(0.0),
    # Grown without the reference check: the memory the pass was reading is freed.
    lambda array: array.resize((4096, HIDDEN), refcheck=False),
], ids=["rewritten", "resized"])
def test_signal_handler_changing_the_embeddings_mid_pass_changes_no_result(varkel, model, engine, meddle):
    embeddings = engine.embed_lookup(ids(*range(40, 72)))
    clean = engine.forward_hidden(embeddings, varkel.Cache(model))
    victim = embeddings.copy()
    cache = varkel.Cache(model)
    meddled = []

    def handler(signum, frame):
        try:
            cache.pos  # fails only inside the pass, which holds the cache exclusively
        except RuntimeError:
            if not meddled:
                meddle(victim)
                meddled.append(True)

    old = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    try:
        result = engine.forward_hidden(victim, cache)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert meddled, "the handler ran inside the pass"
    np.testing.assert_array_equal(result, clean)


def test_strict_array_arguments_and_ids_outside_the_table(varkel, model, engine):
    cache = varkel.Cache(model)
    with pytest.raises(RuntimeError, match=r"^Config error: "):
        engine.forward(ids(VOCAB), cache)
    with pytest.raises(TypeError, match=r"^argument 'input_ids': "):
        engine.forward([1, 2, 3], cache)
    with pytest.raises(TypeError, match=r"^argument 'input_ids': "):
        engine.forward(np.array([1, 2], dtype=np.int32), cache)
    with pytest.raises(TypeError, match=r"^argument 'input_ids': "):
        engine.forward(np.array([[1, 2]], dtype=np.int64), cache)
    with pytest.raises(TypeError, match=r"^argument 'input_ids': "):
        engine.embed_lookup(np.array([1, 2], dtype=">i8"))
    read_only = ids(1, 2)
    read_only.setflags(write=False)
    assert engine.embed_lookup(read_only).shape == (2, HIDDEN)
    with pytest.raises(TypeError, match=r"^The given array is not contiguous$"):
        engine.forward(np.arange(10, dtype=np.int64)[::2], cache)
    with pytest.raises(TypeError, match=r"^argument 'embeddings': "):
        engine.forward_hidden(np.zeros((1, HIDDEN), dtype=np.float64), cache)
    with pytest.raises(TypeError, match=r"^argument 'cache': "):
        engine.forward(ids(1), "cache")
    with pytest.raises(RuntimeError, match=r"^shape error: "):
        engine.forward_hidden(np.zeros((3, 1024), dtype=np.float32), cache)
    assert cache.pos == 0


def lying(array, **claims):
    """`array` seen through an ndarray subclass whose attributes claim `claims` instead."""
    attributes = {name: property(lambda self, value=value: value) for name, value in claims.items()}
    return array.view(type("Lying", (np.ndarray,), attributes))


def posing(array):
    """`array`'s bytes in a bytearray that claims to be that array."""
    attributes = {"__class__": property(lambda self: np.ndarray),
                  "dtype": array.dtype, "ndim": array.ndim, "shape": array.shape}
    return type("Posing", (bytearray,), attributes)(array.tobytes())


def call(engine, cache, method, array):
    return engine.embed_lookup(array) if method == "embed_lookup" else getattr(engine, method)(array, cache)


F32, I64 = np.dtype(np.float32), np.dtype(np.int64)
EMBEDDINGS = "^argument 'embeddings': expected a NumPy float32 array of 2 dimensions, got "
IDS = "^argument 'input_ids': expected a NumPy int64 array of 1 dimension, got "
HOSTILE_IDS = [
    (lying(np.arange(16, dtype=np.int8), dtype=I64), (TypeError, IDS + "int8 array of 1 dimension$"),
     "int8 claiming int64"),
    (lying(ids(1, 2, 3, 4).reshape(2, 2), ndim=1, shape=(4,)), (TypeError, IDS + "int64 array of 2 dimensions$"),
     "matrix claiming one dimension"),
    (lying(np.array([1, 2], dtype=">i8"), dtype=I64), (TypeError, IDS + "byte-swapped int64 array of 1 dimension$"),
     "byte-swapped claiming native"),
    (posing(ids(1, 2)), (TypeError, "^argument 'input_ids': 'Posing' object cannot be converted to "),
     "bytes posing as ids"),
    # Memory that is what the method wants is read, whatever the attributes say.
    (lying(ids(11, 22, 33), dtype=np.dtype(np.int32), ndim=2, shape=(1, 3)), ids(11, 22, 33), "good ids, lying"),
]


@pytest.mark.parametrize("method, array, expected", [
    pytest.param("forward_hidden", lying(np.zeros((2, HIDDEN), np.int8), dtype=F32),
                 (TypeError, EMBEDDINGS + "int8 array of 2 dimensions$"), id="embeddings: int8 claiming float32"),
    pytest.param("forward_hidden", lying(np.zeros(HIDDEN, np.float32), ndim=2, shape=(1, HIDDEN)),
                 (TypeError, EMBEDDINGS + "float32 array of 1 dimension$"), id="embeddings: vector claiming two"),
    pytest.param("forward_hidden", lying(np.zeros((1, 1024), np.float32), shape=(1, HIDDEN)),
                 (RuntimeError, "^shape error: "), id="embeddings: narrow claiming the hidden width"),
    pytest.param("forward_hidden", np.zeros((1, HIDDEN), "M8[ns]"),
                 (TypeError, EMBEDDINGS + "an array whose items have no buffer format$"), id="embeddings: datetimes"),
    pytest.param("forward_hidden", posing(np.zeros((1, HIDDEN), np.float32)),
                 (TypeError, "^argument 'embeddings': 'Posing' object cannot be converted to "),
                 id="embeddings: bytes posing as an array"),
    pytest.param("forward_hidden", lying(np.full((2, HIDDEN), 0.5, np.float32), dtype=np.dtype(np.int8), ndim=1),
                 np.full((2, HIDDEN), 0.5, np.float32), id="embeddings: good rows, lying"),
] + [
    pytest.param(method, array, expected, id=f"{method}: {name}")
    for method in ("forward", "embed_lookup") for array, expected, name in HOSTILE_IDS
])
def test_array_arguments_are_taken_from_the_buffer_they_export(varkel, model, engine, method, array, expected):
    cache = varkel.Cache(model)
    if isinstance(expected, np.ndarray):
        # Accepted, and computed exactly as from an honest array of the same memory.
        np.testing.assert_array_equal(call(engine, cache, method, array),
                                      call(engine, varkel.Cache(model), method, expected))
    else:
        error, message = expected
        with pytest.raises(error, match=message):
            call(engine, cache, method, array)
        assert cache.pos == 0


def test_telemetry_snapshot(varkel, model):
    engine = varkel.Engine(model, "Qwen35MoEFusedExp1")
    assert engine.telemetry() == {}
    engine.forward(ids(1), varkel.Cache(model))
    assert engine.telemetry() == {}
    varkel.record_engine_telemetry(True)
    try:
        engine.forward(ids(1, 2), varkel.Cache(model))
    finally:
        varkel.record_engine_telemetry(False)
    telemetry = engine.telemetry()
    assert telemetry, "recording was on for one pass"
    assert list(telemetry) == sorted(telemetry)
    assert all(isinstance(v, float) for v in telemetry.values())
    assert "engine.total_ms" in telemetry
    # A copy: changing it changes nothing.
    telemetry.clear()
    assert engine.telemetry()


def test_sigint_interrupts_a_long_pass_and_keeps_the_cache(varkel, model, engine):
    cache = varkel.Cache(model)
    engine.forward(ids(1, 2), cache)
    snapshot = engine.telemetry()
    forward = engine.forward  # keep references simple inside the timing window
    # The pass records timings, but only a successful pass may replace the snapshot.
    varkel.record_engine_telemetry(True)
    # Hundreds of tokens: seconds of work, so the signal lands inside the pass
    # (its logits buffer is allocated first, at 1 MB per token).
    killer = subprocess.Popen(["sh", "-c", f"sleep 0.5; kill -INT {os.getpid()}"])
    try:
        with pytest.raises(RuntimeError) as stopped:
            forward(np.arange(1, 400, dtype=np.int64) + 3, cache)
    finally:
        killer.wait()
        varkel.record_engine_telemetry(False)
    assert str(stopped.value) == "Metal error: interrupted"
    assert cache.pos == 2
    assert engine.telemetry() == snapshot


def test_signal_handler_during_a_pass_meets_borrow_errors_in_argument_order(varkel, model, engine, tmp_path):
    cache = varkel.Cache(model)
    other = varkel.Engine(model)
    strided = np.arange(10, dtype=np.int64)[::2]
    attempts = {
        "pos": lambda: cache.pos,
        "repr": lambda: repr(cache),
        "save": lambda: cache.save(str(tmp_path / "c.bin"), str(tmp_path / "c.json")),
        "reset": lambda: cache.reset(),
        "telemetry": lambda: engine.telemetry(),
        # The engine is borrowed before the array is looked at.
        "same engine": lambda: engine.forward(strided, cache),
        # The array's type comes before the cache, the cache before contiguity and shape.
        "list ids": lambda: other.forward([1, 2], cache),
        "strided ids": lambda: other.forward(strided, cache),
        "narrow embeddings": lambda: other.forward_hidden(np.zeros((1, 1024), dtype=np.float32), cache),
        "upload": lambda: other.upload_cache(cache),
        "download": lambda: other.download_cache(cache),
    }
    seen = {}

    def handler(signum, frame):
        for name, attempt in attempts.items():
            try:
                attempt()
                seen[name] = "no error"
            except (RuntimeError, TypeError) as error:
                seen[name] = f"{type(error).__name__}: {error}"
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        with pytest.raises(RuntimeError, match="^Metal error: interrupted$"):
            engine.forward(np.arange(3, 400, dtype=np.int64), cache)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    shared = "RuntimeError: Already mutably borrowed"
    exclusive = "RuntimeError: Already borrowed"
    assert seen.pop("list ids").startswith("TypeError: argument 'input_ids': ")
    assert seen == {
        "pos": shared, "repr": shared, "save": shared, "reset": exclusive, "telemetry": shared,
        "same engine": exclusive, "strided ids": exclusive, "narrow embeddings": exclusive,
        "upload": shared, "download": exclusive,
    }
    assert cache.pos == 0
    assert not (tmp_path / "c.bin").exists()



# What a child does with the engine it inherited, returning the engines it
# holds in the order it drops them.
def _joins_a_thread(varkel, model, inherited, expected):
    worker = threading.Thread(target=lambda: None)
    worker.start()
    worker.join()
    return [inherited]


def _own_engine(inherited_dropped_first):
    def child(varkel, model, inherited, expected):
        own = varkel.Engine(model)
        own.forward(ids(*range(1, 9)), varkel.Cache(model))  # guesses ahead: a loading thread of the child's own
        for engine in (own, inherited):
            np.testing.assert_array_equal(engine.forward(ids(9, 10), varkel.Cache(model)), expected)
        return [inherited, own] if inherited_dropped_first else [own, inherited]
    return child


@pytest.mark.parametrize("child", [_joins_a_thread, _own_engine(False), _own_engine(True)],
                         ids=["joins a thread", "own engine, own dropped first", "own engine, inherited dropped first"])
def test_a_forked_child_drops_an_engine_that_guessed_ahead(varkel, model_dir, monkeypatch, child):
    # Records read, not mapped: the engine guesses ahead and loads from a thread of its own.
    monkeypatch.setenv("VARKEL_MAP_EXPERTS", "0")
    monkeypatch.delenv("VARKEL_PREDICT_EXPERTS", raising=False)
    model = varkel.Model(model_dir)
    engine = varkel.Engine(model)
    engine.forward(ids(*range(1, 9)), varkel.Cache(model))
    expected = engine.forward(ids(9, 10), varkel.Cache(model))
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            signal.alarm(60)  # a hang ends the child with SIGALRM
            engines = child(varkel, model, engine, expected)
            del engine
            while engines:
                engines.pop(0)
                gc.collect()
            code = 0
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, (
        f"child: exit {os.WEXITSTATUS(status)}" if os.WIFEXITED(status) else f"child: signal {os.WTERMSIG(status)}")
