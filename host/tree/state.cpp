// The State type (see tree/state.h): making one, and its collector slots.
//
// A State's Language may be emptied (cleared by the collector, or initialised again) while
// the State lives; nodes then read the Language's current grammar, whose kind numbers they
// check, rather than the one the index was built with.
#include "host/tree/state.h"

#include "host/language/language.h"
#include "host/module/type_registry.h"

namespace wuna::host {

namespace {

StateObject* asState(PyObject* self) { return reinterpret_cast<StateObject*>(self); }

int stateTraverse(PyObject* self, visitproc visit, void* arg) {
    StateObject* state = asState(self);
    Py_VISIT(state->frame);
    Py_VISIT(state->owner);
    Py_VISIT(state->analysis);
    Py_VISIT(state->diagnostics);
    if (state->holder) Py_VISIT(state->holder->tree);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int stateClear(PyObject* self) {
    Py_CLEAR(asState(self)->frame);
    return 0;
}

void stateDealloc(PyObject* self) {
    StateObject* state = asState(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(state->frame);
    ptree::TreeHolder* holder = state->holder;
    state->holder = nullptr;
    ptree::freeTreeHolder(holder);
    Py_CLEAR(state->owner);
    Py_CLEAR(state->analysis);
    Py_CLEAR(state->diagnostics);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot stateSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stateDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(stateTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(stateClear)},
    {Py_tp_doc, const_cast<char*>("A loaded program's data: its tree, symbols, and frame.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec stateSpec = {"wuna.State", int(sizeof(StateObject)), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, stateSlots};

PyObject* newState(ptree::TreeHolder* holder, PyObject* owner, PyObject* analysis,
                   PyObject* diagnostics) {
    StateObject* state = PyObject_GC_New(StateObject, stateType);
    if (!state) {
        ptree::freeTreeHolder(holder);
        return nullptr;
    }
    state->holder = holder;
    state->owner = Py_NewRef(owner);
    state->analysis = Py_XNewRef(analysis);
    state->diagnostics = Py_NewRef(diagnostics);
    state->frame = nullptr;
    PyObject_GC_Track(state);
    return reinterpret_cast<PyObject*>(state);
}

const ptree::GrammarInfo* stateGrammar(const StateObject* state) {
    if (!state->holder) return nullptr;
    if (state->owner && PyObject_TypeCheck(state->owner, languageType))
        return reinterpret_cast<LanguageObject*>(state->owner)->grammar;
    return state->holder->index->grammar;
}

}  // namespace wuna::host
