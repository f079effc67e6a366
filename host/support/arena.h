// A bump allocator on the C heap for records built once and freed as a whole (a grammar's
// names, a parse-tree index's arrays).
//
// Memory comes in chunks chained newest first; a request larger than a chunk gets a chunk of
// its own. Every piece is 8-aligned and zeroed. Nothing is freed piece by piece: freeArena
// frees every chunk and the arena. Allocation failure is a null result, never an exception.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace wuna::arena {

struct Arena {
    struct Chunk {
        Chunk* next;
        size_t used;
        size_t size;
        alignas(16) unsigned char bytes[];
    };
    Chunk* head = nullptr;
};

inline constexpr size_t kChunk = 8192;

inline Arena* newArena() { return static_cast<Arena*>(calloc(1, sizeof(Arena))); }

inline void freeArena(Arena* arena) {
    if (!arena) return;
    for (Arena::Chunk* chunk = arena->head; chunk;) {
        Arena::Chunk* next = chunk->next;
        free(chunk);
        chunk = next;
    }
    free(arena);
}

// size bytes, 8-aligned and zeroed; null when memory runs out.
inline void* take(Arena* arena, size_t size) {
    if (size > SIZE_MAX - 16 - sizeof(Arena::Chunk)) return nullptr;
    size = (size + 7) & ~size_t(7);
    Arena::Chunk* chunk = arena->head;
    if (!chunk || chunk->size - chunk->used < size) {
        size_t bytes = size > kChunk ? size : kChunk;
        chunk = static_cast<Arena::Chunk*>(malloc(sizeof(Arena::Chunk) + bytes));
        if (!chunk) return nullptr;
        chunk->next = arena->head;
        chunk->used = 0;
        chunk->size = bytes;
        arena->head = chunk;
    }
    void* result = chunk->bytes + chunk->used;
    chunk->used += size;
    memset(result, 0, size);
    return result;
}

// count items of T (at least one byte, so an empty array is not null); null when memory runs
// out or the size would overflow.
template <typename T>
T* takeArray(Arena* arena, size_t count) {
    if (count > SIZE_MAX / sizeof(T)) return nullptr;
    return static_cast<T*>(take(arena, count ? count * sizeof(T) : 1));
}

}  // namespace wuna::arena
