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

// ---- attention kernels ----

// ---- linear-attention, norm and combine kernels ----
