// What differs between compilers, in one place, each with a fallback for
// compilers that have no such feature. The rest of the code is ISO C++20.
#pragma once

// ZORVIC_NOINLINE keeps a function out of line: a rarely taken slow path then
// does not bloat the fast path that calls it. Only a hint, so other compilers
// go without it.
#if defined(__GNUC__) || defined(__clang__)
#define ZORVIC_NOINLINE [[gnu::noinline]]
#elif defined(_MSC_VER)
#define ZORVIC_NOINLINE __declspec(noinline)
#else
#define ZORVIC_NOINLINE
#endif

// ZORVIC_STACK_ADDRESS() is an address in the calling function's frame: how
// far down the C stack the caller reaches. The fallback is a local of a
// function of its own (binding/stack.cpp), a frame deeper.
#if defined(__GNUC__) || defined(__clang__)
#define ZORVIC_STACK_ADDRESS() reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0))
#elif defined(_MSC_VER)
#include <intrin.h>
#define ZORVIC_STACK_ADDRESS() reinterpret_cast<std::uintptr_t>(_AddressOfReturnAddress())
#else
#define ZORVIC_STACK_ADDRESS() ::binding::stack_address_fallback()
#define ZORVIC_STACK_ADDRESS_FALLBACK 1
#endif

// ZORVIC_ASAN is 1 when AddressSanitizer instruments this translation unit
// (GCC and MSVC define __SANITIZE_ADDRESS__; Clang 14, for one, only answers
// __has_feature), else 0. Free lists and recycled blocks are meant to be off
// under it, so that the sanitizer sees every allocation.
#if defined(__SANITIZE_ADDRESS__)
#define ZORVIC_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZORVIC_ASAN 1
#endif
#endif
#ifndef ZORVIC_ASAN
#define ZORVIC_ASAN 0
#endif

// ZORVIC_SOME_FIELDS_BEGIN / _END go around tables that name only the fields
// they set, such as a type object with its slots: the rest are zero, as the
// language says, but GCC's -Wmissing-field-initializers reports each one.
// clang-format off
#if defined(__GNUC__) || defined(__clang__)
#define ZORVIC_SOME_FIELDS_BEGIN _Pragma("GCC diagnostic push") \
  _Pragma("GCC diagnostic ignored \"-Wmissing-field-initializers\"")
#define ZORVIC_SOME_FIELDS_END _Pragma("GCC diagnostic pop")
#else
#define ZORVIC_SOME_FIELDS_BEGIN
#define ZORVIC_SOME_FIELDS_END
#endif
// clang-format on
