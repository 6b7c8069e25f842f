/*
 * C ABI of the NPU runtime library (libzeltrt.so and its host-side variants
 * libzelt_api / libzelt_runtime.so).
 *
 * This header is the single source of truth on the native side: the session
 * module's fast path and the stand-in libraries shipped with the package both
 * include it.  Layouts follow the platform C ABI and must stay equal to the
 * ctypes structures declared by zeltlite.api.zelt_runtime.
 *
 * Every function returns 0 on success or one of the negative ZELT_ERR_* codes.
 */
#ifndef ZELTRT_API_H
#define ZELTRT_API_H

#include <stddef.h>
#include <stdint.h>

/* Version of this ABI; host libraries report it as their api_version. */
#define ZELTRT_API_VERSION_MAJOR 1
#define ZELTRT_API_VERSION_MINOR 0
#define ZELTRT_API_VERSION_PATCH 0
#define ZELTRT_API_VERSION \
    (ZELTRT_API_VERSION_MAJOR * 10000 + ZELTRT_API_VERSION_MINOR * 100 + ZELTRT_API_VERSION_PATCH)
#define ZELTRT_STR_(x) #x
#define ZELTRT_STR(x) ZELTRT_STR_(x)
#define ZELTRT_API_VERSION_STRING        \
    ZELTRT_STR(ZELTRT_API_VERSION_MAJOR) \
    "." ZELTRT_STR(ZELTRT_API_VERSION_MINOR) "." ZELTRT_STR(ZELTRT_API_VERSION_PATCH)

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define ZELTRT_EXPORT __declspec(dllexport)
#else
#define ZELTRT_EXPORT __attribute__((visibility("default")))
#endif

/* Context handles and frame ids: the C `unsigned long` on 32-bit hosts, 64 bits otherwise. */
#if UINTPTR_MAX == 0xffffffffu
typedef unsigned long zelt_handle;
#else
typedef unsigned long long zelt_handle;
#endif

/* Query commands (second argument of zelt_query). */
enum {
    ZELT_QUERY_IN_OUT_NUM = 0,  /* ZELTInputOutputNum */
    ZELT_QUERY_INPUT_ATTR = 1,  /* ZELTTensorAttr / ZELTRtTensorAttr, index set by the caller */
    ZELT_QUERY_OUTPUT_ATTR = 2, /* ZELTTensorAttr / ZELTRtTensorAttr, index set by the caller */
    ZELT_QUERY_PERF_DETAIL = 3, /* ZELTPerfDetail */
    ZELT_QUERY_PERF_RUN = 4,    /* ZELTPerfRun */
    ZELT_QUERY_SDK_VERSION = 5, /* ZELTSDKVersion */
    ZELT_QUERY_MEM_SIZE = 6,    /* ZELTPerfDetail holding the memory-profile text */
    ZELT_QUERY_CUSTOM_STRING = 7,
    ZELT_QUERY_NATIVE_INPUT_ATTR = 8,
    ZELT_QUERY_NATIVE_OUTPUT_ATTR = 9,
};

/* Initialisation flags (fourth argument of zelt_init / zelt_init2), combined with |. */
#define ZELT_FLAG_PRIOR_HIGH 0x0u
#define ZELT_FLAG_PRIOR_MEDIUM 0x1u
#define ZELT_FLAG_PRIOR_LOW 0x2u
#define ZELT_FLAG_ASYNC_MASK 0x4u
#define ZELT_FLAG_COLLECT_PERF_MASK 0x8u
#define ZELT_FLAG_LOAD_MODEL_IN_NPU 0x10u
#define ZELT_FLAG_PRIV_DUMP_NEED_QUANT 0x10000000u
#define ZELT_FLAG_PRIV_DUMP_FEATURE 0x20000000u
#define ZELT_FLAG_PRIV_ZELT_PRECOMPILE_MASK 0x40000000u
#define ZELT_FLAG_PRIV_COLLECT_MEMPROFILE_MASK 0x80000000u

/* Status codes. */
enum {
    ZELT_SUCC = 0,
    ZELT_ERR_FAIL = -1,
    ZELT_ERR_TIMEOUT = -2,
    ZELT_ERR_DEVICE_UNAVAILABLE = -3,
    ZELT_ERR_MALLOC_FAIL = -4,
    ZELT_ERR_PARAM_INVALID = -5,
    ZELT_ERR_MODEL_INVALID = -6,
    ZELT_ERR_CTX_INVALID = -7,
    ZELT_ERR_INPUT_INVALID = -8,
    ZELT_ERR_OUTPUT_INVALID = -9,
    ZELT_ERR_DEVICE_UNMATCH = -10,
    ZELT_ERR_INCOMPATILE_PRE_COMPILE_MODEL = -11,
    ZELT_ERR_INCOMPATILE_OPTIMIZATION_LEVEL_VERSION = -12,
    ZELT_ERR_TARGET_PLATFORM_UNMATCH = -13,
    ZELT_ERR_NON_PRE_COMPILED_MODEL_ON_MINI_DRIVER = -14,
};

/* Tensor element types (ZELTInput.type, ZELTTensorAttr.type). */
enum {
    ZELT_TENSOR_FLOAT32 = 0,
    ZELT_TENSOR_FLOAT16 = 1,
    ZELT_TENSOR_INT8 = 2,
    ZELT_TENSOR_UINT8 = 3,
    ZELT_TENSOR_INT16 = 4,
    ZELT_TENSOR_UINT16 = 5,
    ZELT_TENSOR_INT32 = 6,
    ZELT_TENSOR_UINT32 = 7,
    ZELT_TENSOR_INT64 = 8,
    ZELT_TENSOR_BOOL = 9,
};

/* Tensor layouts (ZELTInput.fmt, ZELTTensorAttr.fmt). */
enum {
    ZELT_TENSOR_NCHW = 0,
    ZELT_TENSOR_NHWC = 1,
};

/* Quantisation kinds (ZELTTensorAttr.qnt_type). */
enum {
    ZELT_TENSOR_QNT_NONE = 0,
    ZELT_TENSOR_QNT_DFP = 1,
    ZELT_TENSOR_QNT_AFFINE_ASYMMETRIC = 2,
};

#define ZELT_MAX_DIMS 16
#define ZELT_MAX_NAME_LEN 256
#define ZELT_MAX_VERSION_LEN 256

typedef struct ZELTInitExtend {
    const char *device_id; /* NUL-terminated device identifier */
} ZELTInitExtend;

typedef struct ZELTRtInitExtend {
    zelt_handle zelt_context;
    int32_t real_model_offset;
    uint32_t real_model_size;
    uint8_t reserved[128];
} ZELTRtInitExtend;

typedef struct ZELTInput {
    uint32_t index;
    void *buf;
    uint32_t size; /* bytes */
    uint8_t pass_through;
    int32_t type;
    int32_t fmt;
} ZELTInput;

typedef struct ZELTRunExtend {
    zelt_handle frame_id;
} ZELTRunExtend;

typedef struct ZELTRtRunExtend {
    zelt_handle frame_id;
    int32_t non_block;
    int32_t timeout_ms;
    int32_t fence_fd;
} ZELTRtRunExtend;

typedef struct ZELTOutputExtend {
    zelt_handle frame_id;
} ZELTOutputExtend;

typedef struct ZELTOutput {
    uint8_t want_float;
    uint8_t is_prealloc;
    uint32_t index;
    void *buf;
    uint32_t size; /* bytes */
} ZELTOutput;

typedef struct ZELTInputOutputNum {
    uint32_t n_input;
    uint32_t n_output;
} ZELTInputOutputNum;

typedef struct ZELTPerfDetail {
    char *perf_data; /* NUL-terminated, owned by the runtime */
    unsigned long long data_len;
} ZELTPerfDetail;

typedef struct ZELTPerfRun {
    long long run_duration;
} ZELTPerfRun;

typedef struct ZELTTensorAttr {
    uint32_t index;
    uint32_t n_dims;
    uint32_t dims[ZELT_MAX_DIMS];
    char name[ZELT_MAX_NAME_LEN];
    uint32_t n_elems;
    uint32_t size;
    int32_t fmt;
    int32_t type;
    int32_t qnt_type;
    int8_t fl;
    uint32_t zp;
    float scale;
} ZELTTensorAttr;

/* TALUN-family attribute: the twelve fields of ZELTTensorAttr, then four more. */
typedef struct ZELTRtTensorAttr {
    uint32_t index;
    uint32_t n_dims;
    uint32_t dims[ZELT_MAX_DIMS];
    char name[ZELT_MAX_NAME_LEN];
    uint32_t n_elems;
    uint32_t size;
    int32_t fmt;
    int32_t type;
    int32_t qnt_type;
    int8_t fl;
    uint32_t zp;
    float scale;
    uint32_t w_stride;
    uint32_t stride_with_stride;
    uint8_t pass_through;
    uint32_t h_stride;
} ZELTRtTensorAttr;

typedef struct ZELTSDKVersion {
    char api_version[ZELT_MAX_VERSION_LEN];
    char drv_version[ZELT_MAX_VERSION_LEN];
} ZELTSDKVersion;

#ifdef __cplusplus
#define ZELTRT_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define ZELTRT_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Code that reads only the common fields takes either attribute structure. */
#define ZELTRT_SAME_OFFSET(field)                                                              \
    ZELTRT_STATIC_ASSERT(offsetof(ZELTTensorAttr, field) == offsetof(ZELTRtTensorAttr, field), \
                         "ZELTRtTensorAttr must start with the fields of ZELTTensorAttr")
ZELTRT_SAME_OFFSET(index);
ZELTRT_SAME_OFFSET(n_dims);
ZELTRT_SAME_OFFSET(dims);
ZELTRT_SAME_OFFSET(name);
ZELTRT_SAME_OFFSET(n_elems);
ZELTRT_SAME_OFFSET(size);
ZELTRT_SAME_OFFSET(fmt);
ZELTRT_SAME_OFFSET(type);
ZELTRT_SAME_OFFSET(qnt_type);
ZELTRT_SAME_OFFSET(fl);
ZELTRT_SAME_OFFSET(zp);
ZELTRT_SAME_OFFSET(scale);
#undef ZELTRT_SAME_OFFSET
ZELTRT_STATIC_ASSERT(offsetof(ZELTRtTensorAttr, w_stride) == sizeof(ZELTTensorAttr),
                     "the TALUN fields follow the common ones");
/* zelt_run reads frame_id through either run extension. */
ZELTRT_STATIC_ASSERT(offsetof(ZELTRtRunExtend, frame_id) == 0 && offsetof(ZELTRunExtend, frame_id) == 0,
                     "frame_id leads both run extensions");
ZELTRT_STATIC_ASSERT(sizeof(ZELTTensorAttr) == 360, "ZELTTensorAttr layout");
ZELTRT_STATIC_ASSERT(sizeof(ZELTRtTensorAttr) == 376, "ZELTRtTensorAttr layout");
ZELTRT_STATIC_ASSERT(sizeof(ZELTSDKVersion) == 2 * ZELT_MAX_VERSION_LEN, "ZELTSDKVersion layout");
ZELTRT_STATIC_ASSERT(sizeof(ZELTInputOutputNum) == 8, "ZELTInputOutputNum layout");
#if UINTPTR_MAX > 0xffffffffu
/* The 64-bit layouts that the ctypes structures of the session mirror. */
ZELTRT_STATIC_ASSERT(sizeof(ZELTInput) == 32 && offsetof(ZELTInput, buf) == 8 &&
                         offsetof(ZELTInput, size) == 16 && offsetof(ZELTInput, pass_through) == 20 &&
                         offsetof(ZELTInput, type) == 24 && offsetof(ZELTInput, fmt) == 28,
                     "ZELTInput layout");
ZELTRT_STATIC_ASSERT(sizeof(ZELTOutput) == 24 && offsetof(ZELTOutput, index) == 4 &&
                         offsetof(ZELTOutput, buf) == 8 && offsetof(ZELTOutput, size) == 16,
                     "ZELTOutput layout");
ZELTRT_STATIC_ASSERT(sizeof(ZELTRtInitExtend) == 144 && offsetof(ZELTRtInitExtend, reserved) == 16,
                     "ZELTRtInitExtend layout");
ZELTRT_STATIC_ASSERT(sizeof(ZELTRtRunExtend) == 24 && sizeof(ZELTRunExtend) == 8, "run extension layout");
ZELTRT_STATIC_ASSERT(sizeof(ZELTPerfDetail) == 16 && sizeof(ZELTPerfRun) == 8, "perf structure layout");
#endif

/*
 * Creates a context for the model in `model` (`size` bytes: the container, or
 * with ZELT_FLAG_LOAD_MODEL_IN_NPU the UTF-8 path of the model file) and writes
 * its handle to *context.  Callers of KESTA/VORIN NPUs pass no `extend`
 * argument at all, so the library must not read it.
 */
ZELTRT_EXPORT int zelt_init(zelt_handle *context, void *model, uint32_t size, uint32_t flag,
                            ZELTRtInitExtend *extend);
/* As zelt_init, for a remote device; `extend` may be NULL or name the device. */
ZELTRT_EXPORT int zelt_init2(unsigned long long *context, void *model, uint32_t size, uint32_t flag,
                             ZELTInitExtend *extend);
ZELTRT_EXPORT int zelt_destroy(zelt_handle context);
/* Fills the structure that `cmd` names; `size` is the caller's sizeof of it. */
ZELTRT_EXPORT int zelt_query(zelt_handle context, int cmd, void *info, uint32_t size);
/* The library copies (or finishes with) every input buffer before it returns. */
ZELTRT_EXPORT int zelt_inputs_set(zelt_handle context, uint32_t n_inputs, ZELTInput inputs[]);
/*
 * Runs one inference.  `extend` points to a ZELTRunExtend, or for TALUN-family
 * callers to a ZELTRtRunExtend, whose first member is the same frame_id.
 */
ZELTRT_EXPORT int zelt_run(zelt_handle context, ZELTRunExtend *extend);
/* With is_prealloc 0 the library sets buf/size to memory it owns until zelt_outputs_release. */
ZELTRT_EXPORT int zelt_outputs_get(zelt_handle context, uint32_t n_outputs, ZELTOutput outputs[],
                                   ZELTOutputExtend *extend);
ZELTRT_EXPORT int zelt_outputs_release(zelt_handle context, uint32_t n_outputs, ZELTOutput outputs[]);
ZELTRT_EXPORT int zelt_set_core_mask(unsigned long long context, uint32_t core_mask);

#ifdef __cplusplus
}
#endif

#endif /* ZELTRT_API_H */
