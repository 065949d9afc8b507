#!/usr/bin/python3
"""Writes a deterministic synthetic Qwen3.5-MoE checkpoint (bf16 safetensors
shards, "model.safetensors.index.json", "config.json") with the stripped
constant set's dimensions: 4 layers, 4 experts, hidden 2048, vocabulary 248320.

Weights are random but well scaled (unit-variance activations through each
projection), so the converted model produces varied, finite logits.

Usage: make_checkpoint.py <output-dir> [--seed N]
"""
import argparse
import json
import os
import pathlib
import struct
import sys

import numpy as np

HIDDEN = 2048
VOCAB = 248320
LAYERS = 4
EXPERTS = 4
MOE_INTER = 512
SHARED_INTER = 512
HEADS, KV_HEADS, HEAD_DIM = 16, 2, 256
LIN_V_HEADS, LIN_K_HEADS, LIN_K_DIM, LIN_V_DIM = 32, 16, 128, 128
CONV_KERNEL = 4

CONFIG = {
    # No top-level "architectures": the quantizer then takes the family's own
    # name, while the engine's lookup finds the stripped one in text_config.
    "model_type": "qwen3_5_moe",
    "text_config": {
        "architectures": ["Qwen3_5MoeForConditionalGeneration_Stripped"],
        "hidden_size": HIDDEN,
        "num_hidden_layers": LAYERS,
        "num_experts": EXPERTS,
        "num_experts_per_tok": EXPERTS,
        "moe_intermediate_size": MOE_INTER,
        "shared_expert_intermediate_size": SHARED_INTER,
        "num_attention_heads": HEADS,
        "num_key_value_heads": KV_HEADS,
        "head_dim": HEAD_DIM,
        "vocab_size": VOCAB,
        "linear_num_value_heads": LIN_V_HEADS,
        "linear_num_key_heads": LIN_K_HEADS,
        "linear_key_head_dim": LIN_K_DIM,
        "linear_value_head_dim": LIN_V_DIM,
        "linear_conv_kernel_dim": CONV_KERNEL,
        "full_attention_interval": 4,
        "mtp_num_hidden_layers": 0,
        "rms_norm_eps": 1e-6,
        "rope_parameters": {"rope_theta": 10000000.0, "partial_rotary_factor": 0.25},
    },
}


def to_bf16(values):
    """float32 -> bf16 bit patterns (round to nearest even)."""
    bits = np.ascontiguousarray(values, dtype=np.float32).view(np.uint32)
    rounded = bits + 0x7FFF + ((bits >> 16) & 1)
    return (rounded >> 16).astype(np.uint16)


class Tensors:
    def __init__(self, seed):
        self.rng = np.random.default_rng(seed)
        self.items = []  # (name, shape, producer)

    def add(self, name, shape, producer):
        self.items.append((name, tuple(shape), producer))

    def matrix(self, name, rows, cols, gain=1.0):
        self.add(name, (rows, cols), lambda: self.rng.standard_normal((rows, cols), dtype=np.float32)
                 * np.float32(gain / np.sqrt(cols)))

    def const(self, name, shape, value):
        self.add(name, shape, lambda: np.full(shape, value, dtype=np.float32))

    def normal(self, name, shape, scale):
        self.add(name, shape, lambda: self.rng.standard_normal(shape, dtype=np.float32) * np.float32(scale))


def build(seed):
    t = Tensors(seed)
    lm = "model.language_model."
    t.normal(lm + "embed_tokens.weight", (VOCAB, HIDDEN), 1.0)
    for layer in range(LAYERS):
        p = f"{lm}layers.{layer}."
        t.const(p + "input_layernorm.weight", (HIDDEN,), 1.0)
        t.const(p + "post_attention_layernorm.weight", (HIDDEN,), 1.0)
        if (layer + 1) % 4 == 0:
            t.matrix(p + "self_attn.q_proj.weight", HEADS * HEAD_DIM * 2, HIDDEN)
            t.matrix(p + "self_attn.k_proj.weight", KV_HEADS * HEAD_DIM, HIDDEN)
            t.matrix(p + "self_attn.v_proj.weight", KV_HEADS * HEAD_DIM, HIDDEN)
            t.matrix(p + "self_attn.o_proj.weight", HIDDEN, HEADS * HEAD_DIM, gain=0.5)
            t.const(p + "self_attn.q_norm.weight", (HEAD_DIM,), 1.0)
            t.const(p + "self_attn.k_norm.weight", (HEAD_DIM,), 1.0)
        else:
            key_dim, value_dim = LIN_K_HEADS * LIN_K_DIM, LIN_V_HEADS * LIN_V_DIM
            conv_dim = 2 * key_dim + value_dim
            t.matrix(p + "linear_attn.in_proj_qkv.weight", conv_dim, HIDDEN)
            t.matrix(p + "linear_attn.in_proj_z.weight", value_dim, HIDDEN)
            t.matrix(p + "linear_attn.in_proj_a.weight", LIN_V_HEADS, HIDDEN)
            t.matrix(p + "linear_attn.in_proj_b.weight", LIN_V_HEADS, HIDDEN)
            t.normal(p + "linear_attn.conv1d.weight", (conv_dim, 1, CONV_KERNEL), 0.5)
            t.add(p + "linear_attn.A_log", (LIN_V_HEADS,),
                  lambda: np.log(t.rng.uniform(1.0, 16.0, LIN_V_HEADS)).astype(np.float32))
            t.const(p + "linear_attn.dt_bias", (LIN_V_HEADS,), 1.0)
            t.const(p + "linear_attn.norm.weight", (LIN_V_DIM,), 1.0)
            t.matrix(p + "linear_attn.out_proj.weight", HIDDEN, value_dim, gain=0.5)
        t.matrix(p + "mlp.gate.weight", EXPERTS, HIDDEN, gain=2.0)
        t.add(p + "mlp.experts.gate_up_proj", (EXPERTS, 2 * MOE_INTER, HIDDEN),
              lambda: t.rng.standard_normal((EXPERTS, 2 * MOE_INTER, HIDDEN), dtype=np.float32)
              * np.float32(1 / np.sqrt(HIDDEN)))
        t.add(p + "mlp.experts.down_proj", (EXPERTS, HIDDEN, MOE_INTER),
              lambda: t.rng.standard_normal((EXPERTS, HIDDEN, MOE_INTER), dtype=np.float32)
              * np.float32(0.5 / np.sqrt(MOE_INTER)))
        t.matrix(p + "mlp.shared_expert.gate_proj.weight", SHARED_INTER, HIDDEN)
        t.matrix(p + "mlp.shared_expert.up_proj.weight", SHARED_INTER, HIDDEN)
        t.matrix(p + "mlp.shared_expert.down_proj.weight", HIDDEN, SHARED_INTER, gain=0.5)
        t.matrix(p + "mlp.shared_expert_gate.weight", 1, HIDDEN)
    t.const(lm + "norm.weight", (HIDDEN,), 1.0)
    t.matrix("lm_head.weight", VOCAB, HIDDEN, gain=4.0)
    return t.items


def write_shard(path, items):
    header, offset, order = {}, 0, []
    for name, shape, _ in items:
        size = int(np.prod(shape)) * 2
        header[name] = {"dtype": "BF16", "shape": list(shape), "data_offsets": [offset, offset + size]}
        offset += size
        order.append(name)
    header["__metadata__"] = {"format": "pt"}
    text = json.dumps(header, separators=(",", ":")).encode()
    text += b" " * (-len(text) % 8)
    with open(path, "wb") as out:
        out.write(struct.pack("<Q", len(text)))
        out.write(text)
        for _, _, producer in items:
            out.write(to_bf16(producer()).tobytes())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output")
    parser.add_argument("--seed", type=int, default=1234)
    args = parser.parse_args()
    out = pathlib.Path(args.output)
    out.mkdir(parents=True, exist_ok=True)
    items = build(args.seed)
    # Two shards; the second holds the embedding and the head.
    big = {"model.language_model.embed_tokens.weight", "lm_head.weight"}
    shards = {"model-00001-of-00002.safetensors": [i for i in items if i[0] not in big],
              "model-00002-of-00002.safetensors": [i for i in items if i[0] in big]}
    weight_map = {}
    for shard, shard_items in shards.items():
        write_shard(out / shard, shard_items)
        weight_map.update({name: shard for name, _, _ in shard_items})
    (out / "model.safetensors.index.json").write_text(json.dumps({"metadata": {}, "weight_map": weight_map}, indent=2))
    (out / "config.json").write_text(json.dumps(CONFIG, indent=2))
    print(f"wrote {len(items)} tensors to {out}", file=sys.stderr)


if __name__ == "__main__":
    main()
