// The runtime ABI: the 94 helpers that compiled code calls by name (HelperSignature).
//
// WN_HELPER_TABLE is the one list of them, in their fixed order, each with its signature in
// letters (v void, b bool success, p pointer, i 32-bit int, l 64-bit int; the first letter is
// the result, each further letter one parameter) and whether the runtime implements it yet.
// Everything else is made from this list: the compiler declares every helper in every module
// it starts from helperSignatures; the driver gives the code engine each name with the
// address in helperAddresses, once per process; and the C declarations below give each
// helper exactly the C type its letters spell, so an implementation with another signature
// does not compile.
//
// A helper not implemented yet (Stub) still has an address: a stub of the same signature
// that records "wuna: <name> is not available in this build" as the failure of the run and
// returns a failed or empty result (stubs.h), so code calling it ends with that error instead
// of jumping to nothing. Implementing a helper means defining it (extern "C", with the
// declared type) and turning its Stub into Built.
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>

#ifndef WN_EXPORT
#define WN_EXPORT __attribute__((visibility("default")))
#endif

// X(index, name, signature letters, Built or Stub)
#define WN_HELPER_TABLE(X)                  \
    X(0, wn_incref, vll, Built)             \
    X(1, wn_decref, vll, Built)             \
    X(2, wn_free, vll, Built)               \
    X(3, wn_fail, bpip, Built)              \
    X(4, wn_unset, bpip, Built)             \
    X(5, wn_overflow, bpi, Built)           \
    X(6, wn_write, bpiillp, Built)          \
    X(7, wn_platform, bpiip, Built)         \
    X(8, wn_print, bpiiplllllllp, Built)    \
    X(9, wn_binary, bpiillllp, Built)       \
    X(10, wn_compare, bpiillllp, Built)     \
    X(11, wn_unary, bpiillp, Built)         \
    X(12, wn_truthy, bll, Built)            \
    X(13, wn_function, bpppiplp, Built)     \
    X(14, wn_call, bpillplpp, Built)        \
    X(15, wn_tail_set, vpllllp, Built)      \
    X(16, wn_tail_resolve, bpip, Built)     \
    X(17, wn_tail_take, vpp, Built)         \
    X(18, wn_tail_put, vpp, Built)          \
    X(19, wn_tail_clear, vp, Built)         \
    X(20, wn_call_site, bpiplplp, Built)    \
    X(21, wn_host_jump, bpi, Built)         \
    X(22, wn_host_failed, bpil, Built)      \
    X(23, wn_bury, vpll, Built)             \
    X(24, wn_specialize, vpl, Built)        \
    X(25, wn_speculate, vpl, Built)         \
    X(26, wn_context, bpp, Built)           \
    X(27, wn_frame_of, ppiip, Built)        \
    X(28, wn_object, vplp, Built)           \
    X(29, wn_frame_new, ppl, Built)         \
    X(30, wn_frame_release, vp, Built)      \
    X(31, wn_list, bpiplp, Built)           \
    X(32, wn_tuple, bpiplp, Built)          \
    X(33, wn_dict, bpipplp, Built)          \
    X(34, wn_record, bpippp, Built)         \
    X(35, wn_is_record, bllp, Built)        \
    X(36, wn_getattr, bpillpp, Built)       \
    X(37, wn_setattr, bpillpll, Built)      \
    X(38, wn_getitem, bpillllp, Built)      \
    X(39, wn_wrapping, bpiillllp, Built)    \
    X(40, wn_read, bpiillllp, Built)        \
    X(41, wn_parse, bpilllpip, Built)       \
    X(42, wn_native_fail, bpili, Built)     \
    X(43, wn_setitem, bpillllll, Built)     \
    X(44, wn_items, bpillp, Built)          \
    X(45, wn_iter_items, bpillp, Built)     \
    X(46, wn_list_len, lll, Built)          \
    X(47, wn_list_at, vlllp, Built)         \
    X(48, wn_append, bpillll, Built)        \
    X(49, wn_extend_items, bpillpl, Built)  \
    X(50, wn_call_method, bpillpiplp, Built) \
    X(51, wn_call_python, bpilplp, Built)   \
    X(52, wn_global, bpilpp, Built)         \
    X(53, wn_record_new, bpipp, Built)      \
    X(54, wn_isinstance, bpilllp, Built)    \
    X(55, wn_runtime, bpipip, Built)        \
    X(56, wn_call_seq, bpillllpp, Built)    \
    X(57, wn_raise, bpill, Built)           \
    X(58, wn_slice, bpillllllllp, Built)    \
    X(59, wn_exc_matches, bpll, Built)      \
    X(60, wn_exc_catch, bpip, Built)        \
    X(61, wn_control_value, bpillp, Built)  \
    X(62, wn_type, vllp, Built)             \
    X(63, wn_cell, bpilllp, Built)          \
    X(64, wn_builtin, bpiilllp, Built)      \
    X(65, wn_int_base, bpilllip, Built)     \
    X(66, wn_utf8_len, bpillp, Built)       \
    X(67, wn_min_max, bpiilplp, Built)      \
    X(68, wn_math, bpiillpp, Built)         \
    X(69, wn_huge_int, bll, Built)          \
    X(70, wn_dict_view, bpiillp, Built)     \
    X(71, wn_new_exception, bpiliplp, Built) \
    X(72, wn_call_plain, bpillplpp, Built)  \
    X(73, wn_int_base_of, bpilllllp, Built) \
    X(74, wn_float_hex, bpilllp, Built)     \
    X(75, wn_delitem, bpillll, Built)       \
    X(76, wn_closure, bpilppp, Built)       \
    X(77, wn_set, bpiplip, Built)           \
    X(78, wn_to_set, bpillp, Built)         \
    X(79, wn_inplace, bpiillllp, Built)     \
    X(80, wn_lib, bpiilplip, Built)         \
    X(81, wn_sorted, bpillllllip, Built)    \
    X(82, wn_type_name, bpillp, Built)      \
    X(83, wn_exc_wrap, vp, Built)           \
    X(84, wn_set_global, bpilpll, Built)    \
    X(85, wn_raise_from, bpillll, Built)    \
    X(86, wn_range, bpiplp, Built)          \
    X(87, wn_is_type, blli, Built)          \
    X(88, wn_format, bpillipp, Built)       \
    X(89, wn_concat, bpiplp, Built)         \
    X(90, wn_unpack, bpilllp, Built)        \
    X(91, wn_varargs, bpipllp, Built)       \
    X(92, wn_py_semantic, ipiipip, Built)   \
    X(93, wn_run_value, ipiillpip, Built)

namespace wuna::helpers {

inline constexpr uint32_t kHelperCount = 94;

struct HelperSignature {
    const char* name;
    const char* signature;
};

// The table, in order.
extern const HelperSignature helperSignatures[kHelperCount];

// The address of each helper's implementation (or its stub), in table order.
extern const uint64_t helperAddresses[kHelperCount];

// Whether each helper is implemented (false: its address is a stub), in table order.
extern const bool helperBuilt[kHelperCount];

// The C type of a signature in letters: HelperFn<"bpip"> is bool(void*, int32_t, void*).
template <size_t N>
struct Letters {
    char text[N];
    constexpr Letters(const char (&s)[N]) {
        for (size_t i = 0; i < N; i++) text[i] = s[i];
    }
};

template <char C>
struct LetterType;
template <>
struct LetterType<'v'> {
    using type = void;
};
template <>
struct LetterType<'b'> {
    using type = bool;
};
template <>
struct LetterType<'p'> {
    using type = void*;
};
template <>
struct LetterType<'i'> {
    using type = int32_t;
};
template <>
struct LetterType<'l'> {
    using type = int64_t;
};

template <Letters S, typename Seq>
struct FunctionOf;
template <Letters S, size_t... I>
struct FunctionOf<S, std::index_sequence<I...>> {
    using type = typename LetterType<S.text[0]>::type(typename LetterType<S.text[I + 1]>::type...);
};

template <Letters S>
using HelperFn = typename FunctionOf<S, std::make_index_sequence<sizeof(S.text) - 2>>::type;

}  // namespace wuna::helpers

// Every helper as a C function of the type its letters spell.
#define WN_DECLARE_HELPER(index, name, signature, state) \
    extern "C" WN_EXPORT wuna::helpers::HelperFn<#signature> name;
WN_HELPER_TABLE(WN_DECLARE_HELPER)
#undef WN_DECLARE_HELPER
