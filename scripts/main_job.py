#!/usr/bin/python3
"""The main job: synthetic checkpoint -> bq4 conversion -> greedy generation.

Writes (once, cached under .cache/) a synthetic checkpoint with the stripped
constant set's dimensions, converts it with qwen35_moe_quantize, loads it,
feeds a prompt of token ids and generates greedily, then prints tokens per
second, expert I/O time from the engine's telemetry and peak memory.
"""
import argparse
import os
import pathlib
import resource
import shutil
import subprocess
import sys
import time

import numpy as np

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(pathlib.Path(os.environ.get("VARKEL_BUILD_DIR", REPO / "build")) / "python"))
import _varkel  # noqa: E402


def ensure_checkpoint(cache_dir):
    checkpoint = cache_dir / "checkpoint-stripped"
    if not (checkpoint / "config.json").exists():
        print(f"[main] writing synthetic checkpoint to {checkpoint}", file=sys.stderr)
        subprocess.run([sys.executable, str(REPO / "scripts" / "make_checkpoint.py"), str(checkpoint)], check=True)
    return checkpoint


def ensure_converted(checkpoint, cache_dir, scheme):
    converted = cache_dir / f"model-stripped-{scheme}"
    stamp = converted / ".converted"
    if not stamp.exists():
        shutil.rmtree(converted, ignore_errors=True)
        start = time.perf_counter()
        _varkel.qwen35_moe_quantize(str(checkpoint), str(converted), version="3.5", scheme=scheme)
        print(f"[main] converted in {time.perf_counter() - start:.1f} s", file=sys.stderr)
        stamp.write_text("ok")
    return converted


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tokens", type=int, default=32, help="tokens to generate")
    parser.add_argument("--mode", default="Qwen35MoEFusedExp2", choices=["Qwen35MoEFusedExp1", "Qwen35MoEFusedExp2"])
    parser.add_argument("--scheme", default="bq4", choices=["bq4", "int4"])
    args = parser.parse_args()

    cache_dir = REPO / ".cache"
    converted = ensure_converted(ensure_checkpoint(cache_dir), cache_dir, args.scheme)

    model = _varkel.Model(str(converted))
    engine = _varkel.Engine(model, args.mode)
    cache = _varkel.Cache(model)
    _varkel.record_engine_telemetry(True)

    prompt = np.array([151644, 872, 198, 9707, 11, 1879, 0], dtype=np.int64)
    start = time.perf_counter()
    logits = engine.forward(prompt, cache)
    prefill = time.perf_counter() - start
    generated = []
    start = time.perf_counter()
    next_id = int(np.argmax(logits[-1]))
    for _ in range(args.tokens):
        generated.append(next_id)
        logits = engine.forward(np.array([next_id], dtype=np.int64), cache)
        next_id = int(np.argmax(logits[-1]))
    decode = time.perf_counter() - start

    telemetry = engine.telemetry()
    total_tokens = len(prompt) + args.tokens
    expert_ms = telemetry.get("engine.expert_io_ms", 0.0)
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"model:        {model!r} ({converted})")
    print(f"engine:       {engine!r} mode={args.mode}")
    print(f"prompt:       {prompt.tolist()}")
    print(f"generated:    {generated}")
    print(f"cache:        {cache!r}")
    print(f"prefill:      {len(prompt)} tokens in {prefill * 1000:.0f} ms")
    print(f"decode:       {args.tokens / decode:.2f} tokens/s ({decode * 1000 / args.tokens:.1f} ms/token)")
    print(f"expert I/O:   {expert_ms:.1f} ms total, {expert_ms / total_tokens:.2f} ms/token")
    print(f"peak memory:  {peak_mb:.0f} MB resident")


if __name__ == "__main__":
    main()
