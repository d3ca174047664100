// Coverage bridge for fuzzing under the sanitizer build.
//
// The interpreter is not instrumented, so the sanitizer runtime has to be
// preloaded, and it carries empty default definitions of the
// __sanitizer_cov_* callbacks. Those win symbol lookup over the fuzzing
// engine's own (loaded later, as a Python extension), and the engine would
// never see the coverage and comparisons it records. This library, preloaded
// ahead of the runtime, defines the callbacks and forwards each to the
// engine's definition once the engine is loaded (TRELLISK_FUZZ_ENGINE names
// its file). Built without sanitizers; see fuzz/run.sh.
#include <dlfcn.h>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void *engine_symbol(const char *name) {
    static void *engine = nullptr;
    if (!engine) {
        const char *path = std::getenv("TRELLISK_FUZZ_ENGINE");
        if (!path) return nullptr;
        engine = dlopen(path, RTLD_LAZY | RTLD_NOLOAD);
        if (!engine) return nullptr;
    }
    return dlsym(engine, name);
}

}  // namespace

// FORWARD(name, (params), (args)): call the engine's `name` when it is there.
#define FORWARD(name, params, args)                                      \
    extern "C" __attribute__((visibility("default"))) void name params { \
        using fn = void(*) params;                                       \
        static fn real = nullptr;                                        \
        if (!real) real = reinterpret_cast<fn>(engine_symbol(#name));    \
        if (real) real args;                                             \
    }

FORWARD(__sanitizer_cov_8bit_counters_init, (uint8_t *a, uint8_t *b), (a, b))
FORWARD(__sanitizer_cov_pcs_init, (const uintptr_t *a, const uintptr_t *b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp1, (uint8_t a, uint8_t b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp2, (uint16_t a, uint16_t b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp4, (uint32_t a, uint32_t b), (a, b))
FORWARD(__sanitizer_cov_trace_cmp8, (uint64_t a, uint64_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp1, (uint8_t a, uint8_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp2, (uint16_t a, uint16_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp4, (uint32_t a, uint32_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp8, (uint64_t a, uint64_t b), (a, b))
FORWARD(__sanitizer_cov_trace_switch, (uint64_t a, uint64_t *b), (a, b))
FORWARD(__sanitizer_cov_trace_div4, (uint32_t a), (a))
FORWARD(__sanitizer_cov_trace_div8, (uint64_t a), (a))
FORWARD(__sanitizer_cov_trace_gep, (uintptr_t a), (a))
FORWARD(__sanitizer_cov_trace_pc_indir, (uintptr_t a), (a))
