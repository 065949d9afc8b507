#!/usr/bin/python3
"""Greedy generation with your own model.

    venv/bin/python examples/generate.py <converted-dir | checkpoint-dir | hub-repo-id> 1,2,3

with the module installed (`pip install .`, see the README), or from a build
tree with PYTHONPATH=build/python examples/generate.py ...

A converted directory (holding model_weights.json) is used as it is; anything
else is converted first into ./converted with the bq4 scheme. Token ids come
from your tokenizer; sampling is yours too (argmax here).
"""
import os
import sys

import numpy as np

import _varkel

source, prompt = sys.argv[1], [int(t) for t in sys.argv[2].split(",")]
model_dir = source
if not os.path.exists(os.path.join(source, "model_weights.json")):
    model_dir = "converted"
    _varkel.qwen35_moe_quantize(source, model_dir, version="3.5", scheme="bq4")

model = _varkel.Model(model_dir)
engine = _varkel.Engine(model)  # "Qwen35MoEFusedExp2", default experts per token
cache = _varkel.Cache(model)

logits = engine.forward(np.array(prompt, dtype=np.int64), cache)
out = []
for _ in range(int(os.environ.get("TOKENS", "32"))):
    out.append(int(np.argmax(logits[-1])))
    logits = engine.forward(np.array(out[-1:], dtype=np.int64), cache)
print(out)
