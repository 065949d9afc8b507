import json
import os
import re
import subprocess
import sys

import pytest


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    """Hub caches are relative to the working directory: keep them in a temp dir."""
    monkeypatch.chdir(tmp_path)
    # No test reaches anything but loopback: a dead proxy makes any hub request fail at once.
    monkeypatch.setenv("HTTPS_PROXY", "http://127.0.0.1:9")
    monkeypatch.setenv("https_proxy", "http://127.0.0.1:9")
    monkeypatch.delenv("NO_PROXY", raising=False)
    monkeypatch.delenv("no_proxy", raising=False)
    return tmp_path


def write_config(directory, config):
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "config.json").write_text(config if isinstance(config, str) else json.dumps(config))
    return str(directory)


def test_quantize_checks_come_in_order(varkel, in_tmp):
    out = str(in_tmp / "out")
    # Version first, before anything touches the disk or the network.
    with pytest.raises(ValueError, match=r"^Unknown version: 3\.7\. Expected '3\.5' or '3\.6'\.$"):
        varkel.qwen35_moe_quantize("org/absent", out, version="3.7")
    assert not (in_tmp / "hub").exists()
    with pytest.raises(TypeError):
        varkel.qwen35_moe_quantize("src", out, "3.5")

    no_config = in_tmp / "empty"
    no_config.mkdir()
    with pytest.raises(OSError, match=r"^No such file or directory \(os error 2\)$"):
        varkel.qwen35_moe_quantize(str(no_config), out, version="3.5")

    broken = write_config(in_tmp / "broken", "{not json")
    with pytest.raises(RuntimeError, match=r"^parse error at line 1, column \d+: "):
        varkel.qwen35_moe_quantize(broken, out, version="3.5")

    stripped = write_config(in_tmp / "stripped", {"architectures": ["Qwen3_5MoeForConditionalGeneration_Stripped"]})
    with pytest.raises(ValueError, match=r"^Unknown architecture: Qwen3_5MoeForConditionalGeneration_Stripped$"):
        varkel.qwen35_moe_quantize(stripped, out, version="3.5")

    # No "architectures" passes the architecture check; the scheme is checked after reading config.json.
    plain = write_config(in_tmp / "plain", {"text_config": {}})
    with pytest.raises(ValueError, match=r"^Unknown scheme: int8\. Expected 'bq4' or 'int4'\.$"):
        varkel.qwen35_moe_quantize(plain, out, version="3.5", scheme="int8")


def test_quantize_from_an_unreachable_hub_fails_fetching_config(varkel, in_tmp):
    with pytest.raises(OSError) as failure:
        varkel.qwen35_moe_quantize("org/model", str(in_tmp / "out"), version="3.5")
    assert "HF API error" in str(failure.value) or "http" in str(failure.value).lower()
    assert (in_tmp / "hub" / "models--org--model").is_dir()


def test_repo_handle_paths_local_cache_and_failed_requests(varkel, in_tmp):
    repo = varkel.PyHfRepo("org/name")
    assert repo.path == "hub/models--org--name"
    assert repo.is_hf is True
    assert (in_tmp / "hub" / "models--org--name").is_dir()
    assert repr(repo).startswith("<_varkel.PyHfRepo object at ")

    # A file already in the cache is returned without any request.
    (in_tmp / "hub" / "models--org--name" / "config.json").write_text("{}")
    assert repo.ensure("config.json") == "hub/models--org--name/config.json"
    assert repo.ensure_batch([]) == []
    with pytest.raises(TypeError, match=r"^argument 'filenames': "):
        repo.ensure_batch("config.json")
    assert repo.remove("never-downloaded.bin") is None
    repo.remove("config.json")
    assert not (in_tmp / "hub" / "models--org--name" / "config.json").exists()

    # Requests without a network, and refused names, raise RuntimeError.
    with pytest.raises(RuntimeError, match=r"^HF API error: "):
        repo.ls()
    for name in ("weights.bin", "../escape"):
        with pytest.raises(RuntimeError):
            repo.ensure(name)


def test_hub_cache_directory_that_cannot_be_made(varkel, in_tmp):
    (in_tmp / "hub").write_text("a file where the cache directory goes")
    with pytest.raises(RuntimeError, match=r"\(os error 20\)$"):
        varkel.PyHfRepo("org/name")
    # The handle fails before any fetch: RuntimeError, not the OSError of a failed fetch.
    with pytest.raises(RuntimeError, match=r"\(os error 20\)$"):
        varkel.qwen35_moe_quantize("org/name", str(in_tmp / "out"), version="3.5")


def test_batch_names_from_a_sequence_that_makes_its_items(varkel, in_tmp):
    # Each item exists only while the conversion holds it; the debug allocator
    # poisons freed memory, so reading an item after its release would show.
    code = r"""
import os, _varkel
repo = _varkel.PyHfRepo("org/lazy")
names = ["w%03d.bin" % i for i in range(4)]
for name in names:
    open(os.path.join(repo.path, name), "w").write("x")
class OnDemand:
    def __len__(self): return 4
    def __getitem__(self, i):
        if i >= 4: raise IndexError(i)
        return "".join(["w", "%03d" % i, ".bin"])
print(repo.ensure_batch(OnDemand()) == [os.path.join(repo.path, n) for n in names])
"""
    env = dict(os.environ, PYTHONMALLOC="debug", PYTHONPATH=os.path.dirname(varkel.__file__))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, cwd=in_tmp)
    assert out.returncode == 0, out.stderr
    assert out.stdout == "True\n"


@pytest.mark.parametrize("call", ["ensure", "ensure_batch", "quantize"])
def test_ctrl_c_ends_a_stalled_download(varkel, in_tmp, monkeypatch, call):
    # A proxy that accepts the tunnel request and then never answers: only the
    # interrupt check can end the wait before the (long) stall limit.
    import signal
    import socket
    import threading

    listener = socket.create_server(("127.0.0.1", 0))
    held = []
    threading.Thread(target=lambda: held.append(listener.accept()), daemon=True).start()
    monkeypatch.setenv("HTTPS_PROXY", f"http://127.0.0.1:{listener.getsockname()[1]}")
    monkeypatch.setenv("https_proxy", f"http://127.0.0.1:{listener.getsockname()[1]}")
    monkeypatch.setenv("VARKEL_DOWNLOAD_STALL_SECS", "60")
    # The call holds the interpreter lock, so no Python thread can send the
    # signal: an interval timer does, and its handler raises KeyboardInterrupt.
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    # A download raises the KeyboardInterrupt itself, so that a caller's
    # "except KeyboardInterrupt" fires; the quantizer reports it in its message.
    expected = Exception if call == "quantize" else KeyboardInterrupt
    try:
        with pytest.raises(expected) as failure:
            if call == "quantize":
                varkel.qwen35_moe_quantize("org/name", str(in_tmp / "out"), version="3.5")
            else:
                repo = varkel.PyHfRepo("org/name")
                getattr(repo, call)("weights.bin" if call == "ensure" else ["a.bin", "b.bin"])
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        listener.close()
    if call == "quantize":
        assert "interrupted: KeyboardInterrupt" in str(failure.value)
    else:
        assert failure.type is KeyboardInterrupt
    assert not list(in_tmp.glob("hub/*/weights.bin")) and not list(in_tmp.glob("hub/*/[ab].bin"))


def test_ensure_refuses_what_is_no_regular_file_and_the_temporaries_directory(varkel, in_tmp):
    repo = varkel.PyHfRepo("org/name")
    cache = in_tmp / "hub" / "models--org--name"
    (cache / "sub" / "inner").mkdir(parents=True)
    (cache / "sub" / "w.bin").write_text("w")
    for name in ("sub", "sub/inner"):
        message = "^not a regular file: " + re.escape(f"hub/models--org--name/{name}") + "$"
        with pytest.raises(RuntimeError, match=message):
            repo.ensure(name)
        with pytest.raises(RuntimeError, match=message):
            repo.ensure_batch(["sub/w.bin", name])
    # Partial downloads live there: no file of the repository can.
    (cache / ".varkel-partial").mkdir()
    (cache / ".varkel-partial" / "w.bin").write_text("half")
    for name in (".varkel-partial/w.bin", "sub/.Varkel-Partial/w.bin"):
        with pytest.raises(RuntimeError, match=r"^invalid file name .*holds partial downloads$"):
            repo.ensure(name)
    assert repo.ensure("sub/w.bin") == "hub/models--org--name/sub/w.bin"


@pytest.mark.parametrize("call", ["ensure", "ensure_batch"])
def test_ctrl_c_ends_the_wait_for_another_process_downloading_the_file(varkel, in_tmp, call):
    # Another process holds the file's temporary as a live download does; this
    # one waits for it without a request, and Ctrl-C ends the wait.
    import signal

    repo = varkel.PyHfRepo("org/name")
    partial = in_tmp / "hub" / "models--org--name" / ".varkel-partial"
    partial.mkdir()
    (partial / "w.bin").write_text("half written")
    holder_code = r"""
import fcntl, sys
f = open(sys.argv[1], "r+")
fcntl.flock(f, fcntl.LOCK_EX)
print("held", flush=True)
sys.stdin.read()
"""
    holder = subprocess.Popen([sys.executable, "-c", holder_code, str(partial / "w.bin")],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        assert holder.stdout.readline() == "held\n"
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        with pytest.raises(KeyboardInterrupt):
            getattr(repo, call)("w.bin" if call == "ensure" else ["w.bin"])
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        holder.stdin.close()
        holder.wait()
    assert (partial / "w.bin").read_text() == "half written"
    assert not (partial.parent / "w.bin").exists()
