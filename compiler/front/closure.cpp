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

// The first local of that name, or false.
bool localNamed(const FunctionIR& function, Text name, uint32_t* out) {
    for (uint64_t i = 0; i < function.locals.count; i++) {
        if (!sameText(function.locals.items[i], name)) continue;
        *out = uint32_t(i);
        return true;
    }
    return false;
}

// Follows a captured name out through functions that only pass it on (their unnamed slot or
// one of their own captured names) to the function that owns it. False: no definer.
bool resolve(const FunctionIR& nested, Text name, Definer* out) {
    FunctionIR* definer = nested.parent;
    uint32_t depth = 0;
    while (definer) {
        uint32_t local;
        if (!localNamed(*definer, name, &local)) return false;
        bool passedOn = local >= definer->captureBase &&
                        local <= definer->captureBase + definer->captured.count;
        if (definer->parent && passedOn) {
            definer = definer->parent;
            depth++;
            continue;
        }
        *out = Definer{definer, local, depth};
        return true;
    }
    return false;
}

bool capturesFramedVariable(const FunctionIR& function) {
    for (uint64_t i = 0; i < function.captured.count; i++) {
        Definer d;
        if (resolve(function, function.captured.items[i], &d) &&
            d.function->frameSlots.items[d.local].inFrame)
            return true;
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
            if (!resolve(function, function.captured.items[i], &d)) continue;
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
        // Every captured name was found in an enclosing function when it was read.
        if (!resolve(function, function.captured.items[i], &d)) continue;
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
