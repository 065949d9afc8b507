import inspect
import os
import pathlib
import subprocess
import sys
import threading

import numpy as np
import pytest


def test_import_registers_exactly_six_names_in_order_and_starts_nothing():
    # A fresh interpreter: no thread, no file beyond the module itself, not even NumPy.
    code = r"""
import os, sys
before = len(os.listdir('/proc/self/task'))
fds_before = set(os.listdir('/proc/self/fd'))
import _varkel
after = len(os.listdir('/proc/self/task'))
fds_after = set(os.listdir('/proc/self/fd'))
names = [n for n in vars(_varkel) if not n.startswith('__')]
print(names)
print(before, after, sorted(fds_after - fds_before), 'numpy' in sys.modules)
print(repr(_varkel.__doc__))
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env=dict(os.environ))
    names, threads, doc = out.stdout.splitlines()
    assert names == "['Model', 'Engine', 'Cache', 'record_engine_telemetry', 'qwen35_moe_quantize', 'PyHfRepo']"
    before, after, new_fds, numpy_imported = threads.split(" ", 3)
    assert before == after
    assert new_fds == "[]"
    assert numpy_imported == "False"
    assert doc == "''"
    assert out.stderr == ""


METHODS = {
    "Engine": {
        "embed_lookup": ("($self, input_ids)",
                         "Convert token IDs to embeddings. Returns [n, hidden_dim] float32 array."),
        "forward_hidden": ("($self, embeddings, cache)",
                           "Process pre-computed embeddings through the LM. Returns [n, vocab_size] logits."),
        "forward": ("($self, input_ids, cache)", None),
        "upload_cache": ("($self, cache)", "Expose upload/download for callers that manage cache persistence."),
        "download_cache": ("($self, cache)", None),
        "telemetry": ("($self)", "Engine-level telemetry (only populated when record_engine_telemetry(true))."),
    },
    "Cache": {
        "reset": ("($self)", None),
        "save": ("($self, bin_path, json_path)", None),
        "load": ("(bin_path, json_path)", None),
    },
    "PyHfRepo": {
        "ensure": ("($self, filename)", "Download a file and return its local path."),
        # ... : the module's own words, checked below.
        "ensure_batch": ("($self, filenames)", ...),
        "file_size": ("($self, filename)", ...),
        "file_sizes": ("($self)", "Get (filename, size_bytes) for all files in the repo."),
        "remove": ("($self, filename)", "Delete a cached file."),
        "ls": ("($self, dir=None)", "List immediate children of *dir* (defaults to root).  Behaves like UNIX\n"
                                    "``ls``: returns names of files and directories at that level."),
    },
}


def test_text_signatures_and_docstrings(varkel):
    classes = {"Model": "(model_path)", "Engine": '(model, pipeline_mode="Qwen35MoEFusedExp2", k=0)',
               "Cache": "(model)", "PyHfRepo": "(repo_id)"}
    for name, text_signature in classes.items():
        cls = getattr(varkel, name)
        assert cls.__text_signature__ == text_signature, name
        assert cls.__doc__ == "", name
        # Native types of their own, not bases for Python classes.
        with pytest.raises(TypeError, match="is not an acceptable base type"):
            type("Sub", (cls,), {})
    assert str(inspect.signature(varkel.Engine)) == "(model, pipeline_mode='Qwen35MoEFusedExp2', k=0)"

    for class_name, methods in METHODS.items():
        cls = getattr(varkel, class_name)
        for name, (text_signature, doc) in methods.items():
            method = getattr(cls, name)
            assert method.__text_signature__ == text_signature, name
            inspect.signature(method)  # the text parses
            if doc is not ...:
                assert method.__doc__ == doc, name
    # Two lines and one line of the module's own words.
    assert varkel.PyHfRepo.ensure_batch.__doc__.splitlines()[1] == "Returns local paths in the same order."
    assert len(varkel.PyHfRepo.file_size.__doc__.splitlines()) == 1
    for cls, getter in ((varkel.Cache, "pos"), (varkel.PyHfRepo, "path"), (varkel.PyHfRepo, "is_hf")):
        assert vars(cls)[getter].__doc__ is None, getter

    assert str(inspect.signature(varkel.PyHfRepo.ls)) == "(self, /, dir=None)"
    assert varkel.record_engine_telemetry.__text_signature__ == "(on)"
    assert varkel.record_engine_telemetry.__doc__ == "Enable or disable engine-level telemetry recording globally."
    assert varkel.qwen35_moe_quantize.__text_signature__ == '(model_path, output_dir, *, version, scheme="bq4")'
    # Built-in functions bound to the module itself.
    for function in (varkel.record_engine_telemetry, varkel.qwen35_moe_quantize):
        assert function.__self__ is varkel
    assert str(inspect.signature(varkel.qwen35_moe_quantize)) == \
        "(model_path, output_dir, *, version, scheme='bq4')"


def test_no_instance_skips_its_constructor(varkel):
    for cls, argument in ((varkel.Model, "model_path"), (varkel.Engine, "model"), (varkel.Cache, "model"),
                          (varkel.PyHfRepo, "repo_id")):
        with pytest.raises(TypeError, match=f"missing required argument '{argument}'"):
            cls.__new__(cls)


def test_strict_path_flag_and_name_list_arguments(varkel, model_dir, tmp_path, monkeypatch):
    with pytest.raises(TypeError, match=r"^argument 'model_path': "):
        varkel.Model(pathlib.Path(model_dir))
    with pytest.raises(TypeError, match=r"^argument 'bin_path': "):
        varkel.Cache.load(pathlib.Path(tmp_path / "a.bin"), str(tmp_path / "a.json"))
    with pytest.raises(TypeError, match=r"^argument 'on': "):
        varkel.record_engine_telemetry(1)
    varkel.record_engine_telemetry(np.bool_(True))
    varkel.record_engine_telemetry(False)
    # A bare str is a sequence of characters, not of names; said in Python's own terms.
    monkeypatch.chdir(tmp_path)  # the hub cache directory is made below the working directory
    with pytest.raises(TypeError, match=r"^argument 'filenames': 'str' object cannot be converted to a list of names$"):
        varkel.PyHfRepo("org/name").ensure_batch("config.json")


def test_objects_are_confined_to_their_creating_thread(varkel, model_dir):
    reports = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = reports.append
    caught = []
    try:
        made = []
        creator = threading.Thread(target=lambda: made.append(varkel.Model(model_dir)))
        creator.start()
        creator.join()

        def use():
            try:
                repr(made[0])
            except BaseException as error:  # the panic type derives from BaseException only
                caught.append(error)

        # A new thread often reuses the ended thread's system id.
        user = threading.Thread(target=use)
        user.start()
        user.join()
        made.clear()  # dropped here, on a thread that is not its creator
    finally:
        sys.unraisablehook = old_hook
    assert len(caught) == 1 and not isinstance(caught[0], Exception)
    assert type(caught[0]).__name__ == "PanicException" and not hasattr(varkel, "PanicException")
    assert str(caught[0]) == "_varkel::python_bindings::Model is unsendable, but sent to another thread"
    assert [str(report.exc_value) for report in reports] == \
        ["_varkel::python_bindings::Model is unsendable, but is being dropped on another thread"]
    assert all(isinstance(report.exc_value, RuntimeError) for report in reports)


def test_a_thread_count_beyond_the_cpus_is_clamped_with_one_warning(model_dir):
    # Kernels and expert reads share one pool: 1,000 threads would only spin against each other.
    code = r"""
import os, sys
import numpy as np
import _varkel
before = len(os.listdir('/proc/self/task'))  # NumPy's own threads, if its BLAS starts any
model = _varkel.Model(sys.argv[1])
engine = _varkel.Engine(model)
for _ in range(2):
    engine.forward(np.array([1, 2], dtype=np.int64), _varkel.Cache(model))
print(len(os.listdir('/proc/self/task')) - before, len(os.sched_getaffinity(0)))
"""
    out = subprocess.run([sys.executable, "-c", code, str(model_dir)], capture_output=True, text=True, check=True,
                         # The guess ahead's loading thread, started once records are read, is not the pool's.
                         env=dict(os.environ, VARKEL_THREADS="1000", VARKEL_PREDICT_EXPERTS="0"))
    workers, cpus = map(int, out.stdout.split())
    assert workers == cpus - 1  # the caller is the pool's last thread
    warnings = [line for line in out.stderr.splitlines() if "VARKEL_THREADS" in line]
    assert warnings == [f"varkel: VARKEL_THREADS=1000 is more than the {cpus} CPUs this process may use; "
                        f"using {cpus} threads"]
