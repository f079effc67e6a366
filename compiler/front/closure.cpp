// Closure analysis, run once over a whole reading after every nested function is lowered.
//
// A nested function called only by name gets what it captures as extra arguments. One that
// must share variables with the functions around it - it is used as a value (it may outlive
// the call), declares `nonlocal` (it writes them), or reads a variable that already lives in a
// frame - becomes a frame closure: the variables it captures move into their owner's frame,
// and it reaches them through the frame chain. Moving a variable into a frame can make another
// function a frame closure, so the passes repeat until nothing changes.
#include "compiler/front/lower.h"

namespace wuna::front {

namespace {

// Who owns a captured variable: the function, its local index there, and how many frames
// out from the immediately enclosing function's frame that function's frame is.
struct Definer {
    FunctionIR* function;
    uint32_t local;
    uint32_t depth;
};

// Follows a captured name out through the functions that only pass it on (it is one of
// their own captured names) to the function that owns it, by the local each function took
// it from. False: no definer (cannot happen for a reading that succeeded).
bool resolve(const FunctionIR& nested, uint64_t index, Definer* out) {
    const FunctionIR* taker = &nested;
    uint32_t depth = 0;
    while (FunctionIR* definer = taker->parent) {
        if (index >= taker->capturedSlots.count) return false;
        uint32_t local = taker->capturedSlots.items[index];
        bool passedOn = definer->parent && local > definer->captureBase &&
                        local <= definer->captureBase + definer->captured.count;
        if (!passedOn) {
            *out = Definer{definer, local, depth};
            return true;
        }
        index = local - definer->captureBase - 1;
        taker = definer;
        depth++;
    }
    return false;
}

bool capturesFramedVariable(const FunctionIR& function) {
    for (uint64_t i = 0; i < function.captured.count; i++) {
        Definer d;
        if (resolve(function, i, &d) && d.function->frameSlots.items[d.local].inFrame) return true;
    }
    return false;
}

// One pass over the functions; true when it changed anything.
bool closurePass(List<FunctionIR*> functions) {
    bool changed = false;
    for (uint64_t f = 0; f < functions.count; f++) {
        FunctionIR& function = *functions.items[f];
        if (!function.parent) continue;
        if (!function.frameClosure) {
            if (!function.usedAsValue && !function.declaresNonlocal &&
                !capturesFramedVariable(function))
                continue;
            function.frameClosure = true;
            changed = true;
        }
        for (uint64_t i = 0; i < function.captured.count; i++) {
            Definer d;
            if (!resolve(function, i, &d)) continue;
            FrameSlot& slot = d.function->frameSlots.items[d.local];
            if (slot.inFrame) continue;
            slot.index = d.function->frameSlotCount++;
            slot.inFrame = 1;
            changed = true;
        }
    }
    return changed;
}

// Whether a frame is needed, and a frame closure's parameters and capture references.
Status finishFunction(FunctionIR& function, Arena& arena) {
    function.needsFrame = function.frameSlotCount > 0;
    for (uint64_t i = 0; i < function.nested.count; i++)
        function.needsFrame = function.needsFrame || function.nested.items[i]->frameClosure;
    if (!function.frameClosure) return Status::ok;
    function.paramCount = function.requiredCount = function.captureBase + 1;
    CaptureRef* refs = takeArray<CaptureRef>(arena, function.captured.count);
    if (!refs) return Status::outOfMemory;
    for (uint64_t i = 0; i < function.captured.count; i++) {
        Definer d;
        // Every captured name was taken from an enclosing function's local when it was read.
        if (!resolve(function, i, &d)) continue;
        refs[i] = CaptureRef{d.depth, d.function->frameSlots.items[d.local].index};
    }
    function.captureRefs = List<CaptureRef>{refs, function.captured.count};
    return Status::ok;
}

}  // namespace

Status collectFunctions(FunctionIR* function, Arena& arena, Growing<FunctionIR*>* out) {
    if (!out->push(arena, function)) return Status::outOfMemory;
    for (uint64_t i = 0; i < function->nested.count; i++)
        if (Status s = collectFunctions(function->nested.items[i], arena, out); s != Status::ok)
            return s;
    return Status::ok;
}

Status analyzeClosures(FunctionIR* outermost, Arena& arena) {
    Growing<FunctionIR*> collected;
    if (Status s = collectFunctions(outermost, arena, &collected); s != Status::ok) return s;
    List<FunctionIR*> functions = collected.list();
    for (uint64_t f = 0; f < functions.count; f++) {
        FunctionIR& function = *functions.items[f];
        FrameSlot* slots = takeArray<FrameSlot>(arena, function.locals.count);
        if (!slots) return Status::outOfMemory;
        function.frameSlots = List<FrameSlot>{slots, function.locals.count};
    }
    while (closurePass(functions)) {
    }
    for (uint64_t f = 0; f < functions.count; f++)
        if (Status s = finishFunction(*functions.items[f], arena); s != Status::ok) return s;
    return Status::ok;
}

}  // namespace wuna::front
