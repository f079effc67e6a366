// Attributes in compiled code: reads (wn_getattr), stores (wn_setattr), closure cells
// (wn_cell) and Python module globals (wn_global, wn_set_global).
//
// Reads are answered natively where the runtime holds the answer: the fields of records, the
// attributes of nodes (nodes.h) and the attributes Python gives the exception classes of the
// runtime's error kinds. Every other read goes through Python, which sees the value as the
// semantic would see it when run as Python, so the answer and the error are Python's own;
// with report mode on it is counted in the crossings tally as "getattr <type>.<name>".
// Stores go into a record's field natively and into a Python object through Python; any
// other store fails with the AttributeError of an object without a __dict__, worded as the
// running interpreter words it. The exported helpers are declared by the helper table
// (table.h); their failures are recorded on the helper context (first failure wins).
#pragma once
#include <cstddef>
#include <cstdint>

#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::helpers {

// A message composed from pieces, cut as every message is (pyhelp::kMessageBuffer) once
// whole. Cannot fail: a message past its room is cut.
struct Message {
    char text[2048];
    size_t length = 0;
    Message& add(const void* data, size_t size);
    Message& add(const char* data);
    // Records it as the failure of the kind (first failure wins).
    void fail(Ctx* ctx, int32_t site, errors::Kind kind) const;
};

// "'<type>' object has no attribute '<name>'".
void printNoAttribute(Message* m, const char* type, size_t typeLength, const char* name,
                      size_t nameLength);
// The same and " and no __dict__ for setting new attributes" (Python 3.13 and later).
void printNoAttributeNoDict(Message* m, const char* type, size_t typeLength, const char* name,
                            size_t nameLength);
// "cannot assign to field '<field>'".
void printFrozenField(Message* m, const char* field, size_t length);
// "free variable referenced before assignment in enclosing scope".
void printFreeVariable(Message* m);

// Records NameError "name '<name>' is not defined" (first failure wins).
void failNameNotDefined(Ctx* ctx, int32_t site, const char* name, size_t length);

}  // namespace wuna::helpers
