// Freezing: making a value and everything it reaches immortal, so that threads sharing the
// program's globals never write a reference count. A frozen container is read-only from then
// on (value.h: its mutators refuse it).
//
// The walk follows only the counted tags (str, list, tuple, dict, record, function, big int,
// bytes, function of the second kind, set, exception, counted node) and enters each block
// once (the visited set), so cycles and shared blocks end. Frames reached through functions
// and the global frame itself are walked slot by slot.
#pragma once
#include <cstdint>

#include "compiler/backend/containers.h"
#include "wuna/runtime/status.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::driver {

using Visited = backend::U64Map<uint8_t>;

// The value of tag and its block, with what it reaches. ok, or outOfMemory (what was frozen
// so far stays frozen).
[[nodiscard]] Status freeze(Visited* visited, uint64_t tag, value::Obj* block);

// A frame, its slots and its parents. ok, or outOfMemory.
[[nodiscard]] Status freezeFrame(Visited* visited, value::Frame* frame);

}  // namespace wuna::driver
