// How start-up lets the runtime hash str and bytes values as the interpreter does.
#pragma once

namespace wuna::host {

// Fills set::noneHash, and, when the interpreter hashes every str with a keyed SipHash
// (sys.hash_info.cutoff 0, algorithm "siphash24" or "siphash13"), copies its key from the
// process's _Py_HashSecret into set::hashKey and sets set::sip_rounds. Any failure leaves
// sip_rounds 0 and no exception: the runtime then asks Python for those hashes.
void setupStrHashing();

}  // namespace wuna::host
