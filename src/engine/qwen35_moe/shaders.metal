// The engine's shader library.
//
// On this back end each kernel is declared here by name and parameter list and
// implemented in C++ (src/metal/kernels/); compiling the library links every
// declaration to its implementation. A kernel that is not declared here does
// not exist for the engine.
//
// Grammar: `//` and `/* */` comments; shared definitions
//   constant <type> NAME = <integer>;
// and kernel declarations
//   kernel void <name>(<param>, ...);
// where <param> is one of
//   device [const] <type>* <name> [[buffer(<index>)]]
//   constant <type>& <name> [[buffer(<index>)]]
// and <type> is float, uint, int, ushort, char or uchar.

constant uint HEAD_DIM = 256;
constant uint NUM_KV_HEADS = 2;
constant uint KV_DIM = 512;
constant uint HEADS_PER_KV = 8;
constant uint ROWS_PER_TG = 8;
constant uint ROWS_PER_TG_V5 = 8;

// ---- mat-vec kernels ----
//
// out[row] = sum over c of W[row][c] * x[c] for one stored weight matrix.
// Tiled kernels: threadgroups of 256 threads own 8 rows each (dispatch
// ceil(out_dim / 8) threadgroups); x is staged in 4096 floats of threadgroup
// memory, so in_dim must not exceed 4096. Scales sit at row * (in_dim /
// group_size) + group. 4-bit and FP4 words hold 8 codes, lowest nibble first.

// One thread per row; (code * scale + bias) * x.
kernel void dequant_matvec_4bit(
    device const uint*   W_packed   [[buffer(0)]],
    device const ushort* scales     [[buffer(1)]],
    device const ushort* biases     [[buffer(2)]],
    device const float*  x          [[buffer(3)]],
    device float*        out        [[buffer(4)]],
    constant uint&       out_dim    [[buffer(5)]],
    constant uint&       in_dim     [[buffer(6)]],
    constant uint&       group_size [[buffer(7)]]);

// One threadgroup per row, any threadgroup size.
kernel void dequant_matvec_4bit_fast(
    device const uint*   W_packed   [[buffer(0)]],
    device const ushort* scales     [[buffer(1)]],
    device const ushort* biases     [[buffer(2)]],
    device const float*  x          [[buffer(3)]],
    device float*        out        [[buffer(4)]],
    constant uint&       out_dim    [[buffer(5)]],
    constant uint&       in_dim     [[buffer(6)]],
    constant uint&       group_size [[buffer(7)]]);

// Tiled; per code fma(code, scale * x, bias * x). The engines' 4-bit mat-vec.
kernel void dequant_matvec_4bit_v3(
    device const uint*   W_packed   [[buffer(0)]],
    device const ushort* scales     [[buffer(1)]],
    device const ushort* biases     [[buffer(2)]],
    device const float*  x          [[buffer(3)]],
    device float*        out        [[buffer(4)]],
    constant uint&       out_dim    [[buffer(5)]],
    constant uint&       in_dim     [[buffer(6)]],
    constant uint&       group_size [[buffer(7)]]);

// Tiled; widen(W) * x.
kernel void matvec_bf16(
    device const ushort* W_bf16  [[buffer(0)]],
    device const float*  x       [[buffer(1)]],
    device float*        out     [[buffer(2)]],
    constant uint&       out_dim [[buffer(3)]],
    constant uint&       in_dim  [[buffer(4)]]);

// Tiled; float(W) * scale[row] * x.
kernel void matvec_int8(
    device const char*  W_i8    [[buffer(0)]],
    device const float* scales  [[buffer(1)]],
    device const float* x       [[buffer(2)]],
    device float*       out     [[buffer(3)]],
    constant uint&      out_dim [[buffer(4)]],
    constant uint&      in_dim  [[buffer(5)]]);

// Tiled; fp4_e2m1_lut[code] * scale * x.
kernel void dequant_matvec_fp4_e2m1(
    device const uint*   W_packed   [[buffer(0)]],
    device const ushort* scales     [[buffer(1)]],
    device const float*  x          [[buffer(2)]],
    device float*        out        [[buffer(3)]],
    constant uint&       out_dim    [[buffer(4)]],
    constant uint&       in_dim     [[buffer(5)]],
    constant uint&       group_size [[buffer(6)]]);

// Tiled; fp8_e4m3_lut[byte] * scale * x.
kernel void matvec_fp8_e4m3(
    device const uchar*  W_u8       [[buffer(0)]],
    device const ushort* scales     [[buffer(1)]],
    device const float*  x          [[buffer(2)]],
    device float*        out        [[buffer(3)]],
    constant uint&       out_dim    [[buffer(4)]],
    constant uint&       in_dim     [[buffer(5)]],
    constant uint&       group_size [[buffer(6)]]);

// Alternative 4-bit kernels; no pipeline is built from them.
// Tiled, four words per lane load; in_dim / 8 a multiple of 4.
kernel void dequant_matvec_4bit_v4(
    device const uint*   W_packed   [[buffer(0)]],
    device const ushort* scales     [[buffer(1)]],
    device const ushort* biases     [[buffer(2)]],
    device const float*  x          [[buffer(3)]],
    device float*        out        [[buffer(4)]],
    constant uint&       out_dim    [[buffer(5)]],
    constant uint&       in_dim     [[buffer(6)]],
    constant uint&       group_size [[buffer(7)]]);

// Tiled, per-lane table of code * scale + bias.
kernel void dequant_matvec_4bit_v5(
    device const uint*   W_packed   [[buffer(0)]],
    device const ushort* scales     [[buffer(1)]],
    device const ushort* biases     [[buffer(2)]],
    device const float*  x          [[buffer(3)]],
    device float*        out        [[buffer(4)]],
    constant uint&       out_dim    [[buffer(5)]],
    constant uint&       in_dim     [[buffer(6)]],
    constant uint&       group_size [[buffer(7)]]);

// Tiled over K experts: threadgroup = row_tile + expert * num_row_tiles.
kernel void dequant_matvec_4bit_batched(
    device const uint*   W_packed   [[buffer(0)]],
    device const ushort* scales     [[buffer(1)]],
    device const ushort* biases     [[buffer(2)]],
    device const float*  x_inputs   [[buffer(3)]],
    device float*        out        [[buffer(4)]],
    constant uint&       out_dim    [[buffer(5)]],
    constant uint&       in_dim     [[buffer(6)]],
    constant uint&       group_size [[buffer(7)]],
    device const uint*   w_offsets  [[buffer(8)]],
    device const uint*   s_offsets  [[buffer(9)]],
    device const uint*   b_offsets  [[buffer(10)]],
    constant uint&       num_row_tiles [[buffer(11)]]);

// Tiled, 16 two-bit codes per word.
kernel void dequant_matvec_2bit(
    device const uint*   W_packed   [[buffer(0)]],
    device const ushort* scales     [[buffer(1)]],
    device const ushort* biases     [[buffer(2)]],
    device const float*  x          [[buffer(3)]],
    device float*        out        [[buffer(4)]],
    constant uint&       out_dim    [[buffer(5)]],
    constant uint&       in_dim     [[buffer(6)]],
    constant uint&       group_size [[buffer(7)]]);

// One threadgroup per row: out = silu(gate . x) * (up . x).
kernel void fused_gate_up_swiglu(
    device const uint*   gate_W     [[buffer(0)]],
    device const ushort* gate_s     [[buffer(1)]],
    device const ushort* gate_b     [[buffer(2)]],
    device const uint*   up_W       [[buffer(3)]],
    device const ushort* up_s       [[buffer(4)]],
    device const ushort* up_b       [[buffer(5)]],
    device const float*  x          [[buffer(6)]],
    device float*        out        [[buffer(7)]],
    constant uint&       out_dim    [[buffer(8)]],
    constant uint&       in_dim     [[buffer(9)]],
    constant uint&       group_size [[buffer(10)]]);

// ---- attention kernels ----

// Per-head RMS norm and rotary embedding of the query; copies the output gate.
kernel void q_head_norm_rope(
    device const float*  q_proj     [[buffer(0)]],
    device const ushort* q_norm_w   [[buffer(1)]],
    device float*        q_out      [[buffer(2)]],
    device float*        q_gate_out [[buffer(3)]],
    constant uint&       head_dim   [[buffer(4)]],
    constant uint&       rotary_dim [[buffer(5)]],
    constant float&      rope_theta [[buffer(6)]],
    constant uint&       pos        [[buffer(7)]],
    constant float&      eps        [[buffer(8)]]);

// The same for the key, in place.
kernel void k_head_norm_rope(
    device float*        k_buf      [[buffer(0)]],
    device const ushort* k_norm_w   [[buffer(1)]],
    constant uint&       head_dim   [[buffer(2)]],
    constant uint&       rotary_dim [[buffer(3)]],
    constant float&      rope_theta [[buffer(4)]],
    constant uint&       pos        [[buffer(5)]],
    constant float&      eps        [[buffer(6)]]);

kernel void kv_cache_append(
    device const float* k       [[buffer(0)]],
    device const float* v       [[buffer(1)]],
    device float*       k_cache [[buffer(2)]],
    device float*       v_cache [[buffer(3)]],
    constant uint&      pos     [[buffer(4)]],
    constant uint&      kv_dim  [[buffer(5)]]);

// Single-pass attention, one threadgroup per query head, base-2 online softmax.
kernel void attn_sdpa_fused(
    device const float* Q       [[buffer(0)]],
    device const float* K_cache [[buffer(1)]],
    device const float* V_cache [[buffer(2)]],
    device float*       output  [[buffer(3)]],
    constant uint&      seq_len [[buffer(4)]],
    constant float&     scale   [[buffer(5)]]);

// Blocked attention: 32 positions per threadgroup into 258-float records...
kernel void attn_sdpa_block(
    device const float* Q          [[buffer(0)]],
    device const float* K_cache    [[buffer(1)]],
    device const float* V_cache    [[buffer(2)]],
    device float*       partials   [[buffer(3)]],
    constant uint&      seq_len    [[buffer(4)]],
    constant uint&      num_blocks [[buffer(5)]],
    constant float&     scale      [[buffer(6)]]);

// ...merged per query head.
kernel void attn_sdpa_reduce(
    device const float* partials   [[buffer(0)]],
    device float*       output     [[buffer(1)]],
    constant uint&      num_blocks [[buffer(2)]]);

kernel void sigmoid_gate(
    device float*       x_out [[buffer(0)]],
    device const float* gate  [[buffer(1)]],
    constant uint&      dim   [[buffer(2)]]);

// Three-kernel attention: scores, softmax in place, weighted values.
kernel void attn_scores_batched(
    device const float* Q            [[buffer(0)]],
    device const float* K_cache      [[buffer(1)]],
    device float*       scores       [[buffer(2)]],
    constant uint&      head_dim     [[buffer(3)]],
    constant uint&      kv_dim       [[buffer(4)]],
    constant uint&      seq_len      [[buffer(5)]],
    constant uint&      seq_stride   [[buffer(6)]],
    constant float&     scale        [[buffer(7)]],
    constant uint&      heads_per_kv [[buffer(8)]],
    constant uint&      num_seq_tgs  [[buffer(9)]]);

kernel void attn_softmax_batched(
    device float*  scores     [[buffer(0)]],
    constant uint& seq_len    [[buffer(1)]],
    constant uint& seq_stride [[buffer(2)]]);

kernel void attn_values_batched(
    device const float* scores       [[buffer(0)]],
    device const float* V_cache      [[buffer(1)]],
    device float*       out          [[buffer(2)]],
    constant uint&      head_dim     [[buffer(3)]],
    constant uint&      kv_dim       [[buffer(4)]],
    constant uint&      seq_len      [[buffer(5)]],
    constant uint&      seq_stride   [[buffer(6)]],
    constant uint&      heads_per_kv [[buffer(7)]]);

// ---- linear-attention, norm and combine kernels ----

// Depthwise convolution over the last three inputs and this one; shifts the state.
kernel void conv1d_step(
    device float*        conv_state [[buffer(0)]],
    device const float*  input      [[buffer(1)]],
    device const ushort* weights    [[buffer(2)]],
    device float*        output     [[buffer(3)]],
    constant uint&       conv_dim   [[buffer(4)]]);

kernel void rms_norm_qk(
    device float*   q         [[buffer(0)]],
    device float*   k         [[buffer(1)]],
    constant uint&  key_dim   [[buffer(2)]],
    constant float& inv_scale [[buffer(3)]]);

// One thread per value head; no bound check.
kernel void compute_decay_beta(
    device const float*  alpha_out [[buffer(0)]],
    device const float*  beta_out  [[buffer(1)]],
    device const float*  A_log     [[buffer(2)]],
    device const ushort* dt_bias   [[buffer(3)]],
    device float*        g_decay   [[buffer(4)]],
    device float*        beta_gate [[buffer(5)]]);

// One threadgroup per value head, one thread per state row; no bound check.
kernel void gated_delta_net_step(
    device float*       state         [[buffer(0)]],
    device const float* q             [[buffer(1)]],
    device const float* k             [[buffer(2)]],
    device const float* v             [[buffer(3)]],
    device const float* g_decay       [[buffer(4)]],
    device const float* beta_gate     [[buffer(5)]],
    device float*       output        [[buffer(6)]],
    constant uint&      k_heads_per_v [[buffer(7)]]);

kernel void gated_rms_norm(
    device const float*  values    [[buffer(0)]],
    device const float*  z         [[buffer(1)]],
    device const ushort* weight    [[buffer(2)]],
    device float*        output    [[buffer(3)]],
    constant uint&       value_dim [[buffer(4)]],
    constant float&      eps       [[buffer(5)]]);

kernel void rms_norm_fused_bf16(
    device const float*  x      [[buffer(0)]],
    device const ushort* weight [[buffer(1)]],
    device float*        out    [[buffer(2)]],
    constant uint&       dim    [[buffer(3)]],
    constant float&      eps    [[buffer(4)]]);

kernel void rms_norm_sum_sq(
    device const float* x      [[buffer(0)]],
    device float*       sum_sq [[buffer(1)]],
    constant uint&      dim    [[buffer(2)]]);

kernel void rms_norm_apply(
    device const float* x      [[buffer(0)]],
    device const float* weight [[buffer(1)]],
    device const float* sum_sq [[buffer(2)]],
    device float*       out    [[buffer(3)]],
    constant uint&      dim    [[buffer(4)]],
    constant float&     eps    [[buffer(5)]]);

kernel void rms_norm_apply_bf16(
    device const float*  x      [[buffer(0)]],
    device const ushort* weight [[buffer(1)]],
    device const float*  sum_sq [[buffer(2)]],
    device float*        out    [[buffer(3)]],
    constant uint&       dim    [[buffer(4)]],
    constant float&      eps    [[buffer(5)]]);

kernel void swiglu_fused(
    device const float* gate [[buffer(0)]],
    device const float* up   [[buffer(1)]],
    device float*       out  [[buffer(2)]],
    constant uint&      dim  [[buffer(3)]]);

// 4-float vectors; dim is the element count.
kernel void swiglu_fused_vec4(
    device const float* gate [[buffer(0)]],
    device const float* up   [[buffer(1)]],
    device float*       out  [[buffer(2)]],
    constant uint&      dim  [[buffer(3)]]);

kernel void swiglu_fused_batched(
    device const float* gate [[buffer(0)]],
    device const float* up   [[buffer(1)]],
    device float*       out  [[buffer(2)]],
    constant uint&      dim  [[buffer(3)]],
    constant uint&      K    [[buffer(4)]]);

kernel void residual_add(
    device const float* a   [[buffer(0)]],
    device const float* b   [[buffer(1)]],
    device float*       out [[buffer(2)]],
    constant uint&      dim [[buffer(3)]]);

kernel void weighted_sum(
    device const float* expert_outs [[buffer(0)]],
    device const float* weights     [[buffer(1)]],
    device float*       out         [[buffer(2)]],
    constant uint&      K           [[buffer(3)]],
    constant uint&      dim         [[buffer(4)]]);

// Slots at and above K are bound but never read.
kernel void moe_combine_residual(
    device const float* h_mid       [[buffer(0)]],
    device const float* shared_out  [[buffer(1)]],
    device float*       hidden_out  [[buffer(2)]],
    device const float* expert_out0 [[buffer(3)]],
    device const float* expert_out1 [[buffer(4)]],
    device const float* expert_out2 [[buffer(5)]],
    device const float* expert_out3 [[buffer(6)]],
    device const float* expert_out4 [[buffer(7)]],
    device const float* expert_out5 [[buffer(8)]],
    device const float* expert_out6 [[buffer(9)]],
    device const float* expert_out7 [[buffer(10)]],
    device const float* params      [[buffer(11)]],
    constant uint&      dim         [[buffer(12)]],
    constant uint&      K           [[buffer(13)]]);
