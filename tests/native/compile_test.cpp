// The compiler core: every module declares the runtime helpers once with the types their
// letters spell, the overflow intrinsics and the inline wn_inc/wn_dec; declarations, symbols
// and numbered blocks; asking for code and rolling an attempt back (also in keep-module
// mode); key globals; frame layouts and retrying with frames; the compile loop's retries and
// its bound on retries that record nothing new.
#include <gtest/gtest.h>

#include <llvm-c/Core.h>

#include <cstring>
#include <string>
#include <vector>

#include "compiler/backend/compile.h"
#include "compiler/backend/spec.h"
#include "host/language/language.h"
#include "host/tree/index.h"
#include "tests/native/backend_test_support.h"
#include "tests/native/compile_test_support.h"
#include "wuna/runtime/helpers/table.h"

namespace wuna {

namespace {

using namespace backend_testing;
using compile::FunctionRef;
const llvmapi::Table& T = llvmapi::table;

using Compile = BackendTest;

TEST_F(Compile, ANewModuleDeclaresEveryHelperOnceAndTheInlineCountFunctions) {
    Bare bare("t_decl");
    compile::Compiler* c = &bare.c;
    compile::ModuleRecord* m = bare.m();
    for (const auto& h : helpers::helperSignatures) {
        FunctionRef* f = m->functions.find(backend::Text{h.name, strlen(h.name)});
        ASSERT_NE(f, nullptr) << h.name;
        // Its type spells its letters.
        size_t letters = strlen(h.signature);
        ASSERT_EQ(LLVMCountParamTypes(f->type), letters - 1) << h.name;
        std::vector<LLVMTypeRef> params(letters - 1);
        LLVMGetParamTypes(f->type, params.data());
        for (size_t i = 0; i <= params.size(); i++) {
            LLVMTypeRef t = i == 0 ? LLVMGetReturnType(f->type) : params[i - 1];
            char letter = h.signature[i];
            LLVMTypeRef expected = letter == 'v'   ? m->voidType
                                   : letter == 'b' ? m->i1
                                   : letter == 'p' ? m->ptr
                                   : letter == 'i' ? m->i32
                                                   : m->i64;
            EXPECT_EQ(t, expected) << h.name << " letter " << i;
        }
        EXPECT_EQ(LLVMGetLinkage(f->function), LLVMExternalLinkage) << h.name;
    }
    EXPECT_EQ(m->functions.used, helpers::kHelperCount + 2);
    EXPECT_EQ(m->declared.count, 2u) << "wn_inc and wn_dec only";
    EXPECT_EQ(c->declaredCheckpoint, 2u);
    uint64_t blocks = m->blockCount;
    EXPECT_EQ(blocks, 11u) << "counted, change, other, python, done (and free)";
    // Declaring again changes nothing.
    EXPECT_EQ(compile::declareHelpers(c), Status::ok);
    EXPECT_EQ(m->functions.used, helpers::kHelperCount + 2);
    EXPECT_EQ(m->blockCount, blocks);
    EXPECT_EQ(m->declared.count, 2u);
    EXPECT_EQ(m->keyCounter, &c->keyCounter);
    // The overflow intrinsics, on i64, with their {i64, i1} result.
    EXPECT_STREQ(LLVMGetValueName(c->overflow[0].function), "llvm.sadd.with.overflow.i64");
    EXPECT_STREQ(LLVMGetValueName(c->overflow[1].function), "llvm.ssub.with.overflow.i64");
    EXPECT_STREQ(LLVMGetValueName(c->overflow[2].function), "llvm.smul.with.overflow.i64");
    EXPECT_EQ(LLVMGetReturnType(c->overflow[0].type), m->checkedPair);
    // wn_dec: internal, its blocks; always inline once the finished module is known small.
    FunctionRef* dec = m->functions.find(backend::Text{"wn_dec", 6});
    ASSERT_NE(dec, nullptr);
    EXPECT_EQ(LLVMGetLinkage(dec->function), LLVMInternalLinkage);
    unsigned inlineKind = LLVMGetEnumAttributeKindForName("alwaysinline", 12);
    EXPECT_EQ(LLVMGetEnumAttributeAtIndex(dec->function, LLVMAttributeFunctionIndex, inlineKind),
              nullptr);
    compile::inlineCounting(c);
    EXPECT_NE(LLVMGetEnumAttributeAtIndex(dec->function, LLVMAttributeFunctionIndex, inlineKind),
              nullptr);
    std::vector<std::string> names;
    for (LLVMBasicBlockRef b = LLVMGetFirstBasicBlock(dec->function); b;
         b = LLVMGetNextBasicBlock(b))
        names.push_back(LLVMGetBasicBlockName(b));
    EXPECT_EQ(names, (std::vector<std::string>{"entry", "start", "counted1", "change2", "other3",
                                               "python4", "done5", "free6"}));
    FunctionRef* inc = m->functions.find(backend::Text{"wn_inc", 6});
    ASSERT_NE(inc, nullptr);
    EXPECT_EQ(LLVMCountBasicBlocks(inc->function), 7u) << "no free block";
}

// A large module leaves its counting functions to the optimizer: inlined at each of its
// thousands of releases they would make it several times bigger to emit.
TEST_F(Compile, ALargeModuleKeepsItsCountingFunctionsOutOfLine) {
    Bare bare("t_large");
    compile::ModuleRecord* m = bare.m();
    unsigned inlineKind = LLVMGetEnumAttributeKindForName("alwaysinline", 12);
    m->blockCount = compile::kInlineCountingBlocks + 1;
    compile::inlineCounting(&bare.c);
    for (const char* name : {"wn_inc", "wn_dec"}) {
        FunctionRef* f = m->functions.find(backend::Text{name, 6});
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(LLVMGetEnumAttributeAtIndex(f->function, LLVMAttributeFunctionIndex, inlineKind),
                  nullptr)
            << name;
    }
    m->blockCount = compile::kInlineCountingBlocks;
    compile::inlineCounting(&bare.c);
    for (const char* name : {"wn_inc", "wn_dec"})
        EXPECT_NE(LLVMGetEnumAttributeAtIndex(m->functions.find(backend::Text{name, 6})->function,
                                              LLVMAttributeFunctionIndex, inlineKind),
                  nullptr)
            << name;
}

TEST_F(Compile, DeclaringANameTwiceGivesTheFirstDeclaration) {
    Bare bare("t_twice");
    compile::ModuleRecord* m = bare.m();
    FunctionRef a, b;
    llvmapi::TypeRef params[1] = {m->i64};
    ASSERT_EQ(compile::declareFunction(m, "t_twice", 7, m->i64, params, 1, 0, &a), Status::ok);
    ASSERT_EQ(
        compile::declareFunction(m, "t_twice", 7, m->i1, nullptr, 0, compile::DeclareExported, &b),
        Status::ok);
    EXPECT_EQ(a.function, b.function);
    EXPECT_EQ(a.type, b.type);
    EXPECT_EQ(LLVMGetLinkage(a.function), LLVMInternalLinkage);
    unsigned noFloat = LLVMGetEnumAttributeKindForName("noimplicitfloat", 15);
    EXPECT_NE(LLVMGetEnumAttributeAtIndex(a.function, LLVMAttributeFunctionIndex, noFloat),
              nullptr);
    EXPECT_EQ(m->declared.count, 3u);
}

TEST_F(Compile, FunctionSymbolsAndTheirTypes) {
    Bare bare("wnabc");
    compile::Compiler* c = &bare.c;
    FunctionRef main, f, t, t2;
    ASSERT_EQ(compile::llvmFunction(c, compile::kTopLevel, &main), Status::ok);
    ASSERT_EQ(compile::llvmFunction(c, 17, &f), Status::ok);
    ASSERT_EQ(compile::llvmFunction(c, 17 | compile::kTypedEntryBit, &t), Status::ok);
    EXPECT_STREQ(LLVMGetValueName(main.function), "wnabc_main");
    EXPECT_STREQ(LLVMGetValueName(f.function), "wnabc_f17");
    EXPECT_STREQ(LLVMGetValueName(t.function), "wnabc_t17");
    EXPECT_EQ(LLVMCountParamTypes(main.type), 2u);
    EXPECT_EQ(LLVMGetReturnType(main.type), c->module.i1);
    EXPECT_EQ(LLVMCountParamTypes(f.type), 6u);
    EXPECT_EQ(LLVMCountParamTypes(t.type), 4u) << "no argument kinds recorded";
    EXPECT_EQ(LLVMGetLinkage(f.function), LLVMExternalLinkage);
    uint8_t* kinds = static_cast<uint8_t*>(malloc(3));
    ASSERT_NE(c->typedEntries.put(18, compile::TypedEntry{kinds, 3}), nullptr);
    ASSERT_EQ(compile::llvmFunction(c, 18 | compile::kTypedEntryBit, &t2), Status::ok);
    EXPECT_EQ(LLVMCountParamTypes(t2.type), 7u);
    EXPECT_EQ(LLVMGetReturnType(t2.type), c->module.valuePair);
    backend::List<char> w;
    ASSERT_EQ(compile::functionSymbol(&w, backend::Text{"p", 1}, 0), Status::ok);
    ASSERT_EQ(compile::typedEntrySymbol(&w, backend::Text{"q", 1}, 7 | compile::kTypedEntryBit),
              Status::ok);
    ASSERT_EQ(compile::functionSymbol(&w, backend::Text{"r", 1}, 4294967294u), Status::ok);
    EXPECT_EQ(std::string(w.items, w.count), "p_f0q_t7r_f4294967294");
    w.free();
}

TEST_F(Compile, AskingForCodeQueuesOnceUntilRolledBack) {
    Bare bare("t_queue");
    compile::Compiler* c = &bare.c;
    FunctionRef f;
    ASSERT_EQ(compile::functionCode(c, 5, &f), Status::ok);
    ASSERT_EQ(compile::functionCode(c, 5, &f), Status::ok);
    EXPECT_EQ(c->worklist.count, 1u);
    EXPECT_EQ(c->recent.count, 1u);
    compile::forgetModule(c);
    EXPECT_EQ(c->worklist.count, 0u);
    EXPECT_EQ(c->requested.find(5), nullptr);
    ASSERT_EQ(compile::newModule(c), Status::ok);
    ASSERT_EQ(compile::functionCode(c, 5, &f), Status::ok);
    EXPECT_EQ(c->worklist.count, 1u);
    // Requested before the checkpoint stays requested after a later roll-back.
    ASSERT_EQ(compile::newModule(c), Status::ok);
    compile::forgetModule(c);
    EXPECT_NE(c->requested.find(5), nullptr);
}

TEST_F(Compile, BlocksAreNumberedPerFunctionAndLongNamesBecomeB) {
    Bare bare("t_blocks");
    compile::ModuleRecord* m = bare.m();
    FunctionRef f;
    ASSERT_EQ(compile::declareFunction(m, "t_blocks", 8, m->voidType, nullptr, 0, 0, &f),
              Status::ok);
    compile::Builder b{};
    b.module = m;
    b.function = f.function;
    uint64_t before = m->blockCount;
    llvmapi::BasicBlockRef x, y, z;
    ASSERT_EQ(compile::newBlock(&b, "entry_hot", &x), Status::ok);
    ASSERT_EQ(compile::newBlock(&b, "ok", &y), Status::ok);
    std::string longName(63, 'n');  // with "3" and the NUL: 65 bytes
    ASSERT_EQ(compile::newBlock(&b, longName.c_str(), &z), Status::ok);
    EXPECT_STREQ(LLVMGetBasicBlockName(x), "entry_hot1");
    EXPECT_STREQ(LLVMGetBasicBlockName(y), "ok2");
    EXPECT_STREQ(LLVMGetBasicBlockName(z), "b");
    std::string fits(62, 'n');  // with "4" and the NUL: 64 bytes
    ASSERT_EQ(compile::newBlock(&b, fits.c_str(), &z), Status::ok);
    EXPECT_EQ(std::string(LLVMGetBasicBlockName(z)), fits + "4");
    EXPECT_EQ(m->blockCount, before + 4);
    EXPECT_EQ(b.blocks.count, 4u);
    b.blocks.free();
}

TEST_F(Compile, KeepModuleRollBackLeavesTheCheckpointsFunctions) {
    Bare bare("t_keep");
    compile::Compiler* c = &bare.c;
    compile::ModuleRecord* m = bare.m();
    FunctionRef kept, gone, caller;
    ASSERT_EQ(compile::declareFunction(m, "t_kept", 6, m->voidType, nullptr, 0, 0, &kept),
              Status::ok);
    c->keepModule = 1;
    ASSERT_EQ(compile::newModule(c), Status::ok);  // keeps the module, moves the checkpoint
    EXPECT_EQ(c->declaredCheckpoint, 3u);
    ASSERT_EQ(compile::declareFunction(m, "t_gone", 6, m->voidType, nullptr, 0, 0, &gone),
              Status::ok);
    ASSERT_EQ(compile::declareFunction(m, "t_caller", 8, m->voidType, nullptr, 0, 0, &caller),
              Status::ok);
    {
        Emit e(m, caller.function);
        compile::call(&e.b, "t_gone", nullptr, 0);
        T.LLVMBuildRetVoid(*e);
    }
    compile::forgetModule(c);
    EXPECT_EQ(LLVMGetNamedFunction(m->module, "t_gone"), nullptr);
    EXPECT_EQ(LLVMGetNamedFunction(m->module, "t_caller"), nullptr);
    EXPECT_NE(LLVMGetNamedFunction(m->module, "t_kept"), nullptr);
    EXPECT_EQ(m->functions.find(backend::Text{"t_gone", 6}), nullptr);
    EXPECT_NE(m->functions.find(backend::Text{"t_kept", 6}), nullptr);
    EXPECT_NE(m->functions.find(backend::Text{"wn_dec", 6}), nullptr);
    EXPECT_NE(m->functions.find(backend::Text{"wn_binary", 9}), nullptr);
    EXPECT_EQ(m->functions.used, helpers::kHelperCount + 3);
    EXPECT_EQ(m->declared.count, 3u);
    // Declaring a rolled-back name again makes a new function, once.
    ASSERT_EQ(compile::declareFunction(m, "t_gone", 6, m->voidType, nullptr, 0, 0, &gone),
              Status::ok);
    EXPECT_EQ(m->declared.count, 4u);
    EXPECT_EQ(m->functions.used, helpers::kHelperCount + 4);
    c->keepModule = 0;
}

TEST_F(Compile, KeyGlobalsAreNumberedPerCompilerAndOnePerKeyAndModule) {
    Bare bare("t_key");
    compile::Compiler* c = &bare.c;
    llvmapi::ValueRef a, b;
    ASSERT_EQ(compile::keyGlobal(&c->module, 0x1000, &a), Status::ok);
    ASSERT_EQ(compile::keyGlobal(&c->module, 0x1000, &b), Status::ok);
    EXPECT_EQ(a, b);
    EXPECT_STREQ(LLVMGetValueName(a), "t_key_k1");
    EXPECT_TRUE(LLVMIsDeclaration(a)) << "external: bound when loaded";
    EXPECT_EQ(c->module.symbols.count, 1u);
    EXPECT_STREQ(c->module.symbols[0].name, "t_key_k1");
    EXPECT_EQ(c->module.symbols[0].address, 0x1000u);
    ASSERT_EQ(compile::newModule(c), Status::ok);
    EXPECT_EQ(c->module.symbols.count, 0u);
    llvmapi::ValueRef again;
    ASSERT_EQ(compile::keyGlobal(&c->module, 0x1000, &again), Status::ok);
    EXPECT_STREQ(LLVMGetValueName(again), "t_key_k2");
}

// ---- layouts and frames ----------------------------------------------------------------------

// A tree: 0 the root block; 1 function F; 2 a block in F; 3 a block in 2; 4 function G in 3;
// 5 a block in G. Kind 1 is the function kind.
struct Tree {
    ptree::NodeRecord nodes[6];
    uint32_t parents[6] = {ptree::kNone, 0, 1, 2, 3, 4};
    host::FunctionKind kinds[2] = {};
    ptree::Index index{};
    Tree() {
        uint32_t kindOf[6] = {0, 1, 0, 0, 1, 0};
        for (int i = 0; i < 6; i++)
            nodes[i] =
                ptree::NodeRecord{0, 0, uint32_t(5 - i), pargo::layout::makeWord(kindOf[i], 0)};
        kinds[1].isFunction = 1;
        index.nodes = nodes;
        index.count = 6;
        index.parents = parents;
        index.functionKinds = kinds;
        index.functionKindCount = 2;
    }
};

TEST_F(Compile, MarkingAFunctionMarksItsBlockScopesAndNotNestedFunctions) {
    Tree tree;
    compile::Compiler c;
    compile::init(&c, &tree.index, "t", 1);
    compile::Layout* l[6];
    compile::Layout* global;
    for (uint32_t i = 1; i < 6; i++) ASSERT_EQ(compile::layoutOf(&c, i, &l[i]), Status::ok);
    ASSERT_EQ(compile::layoutOf(&c, compile::kGlobalScope, &global), Status::ok);
    compile::Layout* same;
    ASSERT_EQ(compile::layoutOf(&c, 3, &same), Status::ok);
    EXPECT_EQ(same, l[3]);
    ASSERT_EQ(compile::markFrames(&c, 1), Status::ok);
    EXPECT_TRUE(l[1]->heapFrame && l[2]->heapFrame && l[3]->heapFrame);
    EXPECT_FALSE(l[4]->heapFrame || l[5]->heapFrame || global->heapFrame);
    ASSERT_EQ(compile::markFrames(&c, 4), Status::ok);
    EXPECT_TRUE(l[4]->heapFrame && l[5]->heapFrame);
    EXPECT_FALSE(global->heapFrame);
    // With frames everywhere, a new layout starts with one.
    c.allFrames = 1;
    compile::Layout* fresh;
    ASSERT_EQ(compile::layoutOf(&c, 77, &fresh), Status::ok);
    EXPECT_TRUE(fresh->heapFrame);
    compile::release(&c);
}

TEST_F(Compile, RetryingWithFramesIsGrantedOncePerScopeAndNotForCompiledFunctions) {
    Tree tree;
    compile::Compiler c;
    compile::init(&c, &tree.index, "t", 1);
    bool retry = true;
    ASSERT_EQ(compile::retryWithFrames(&c, &retry), Status::ok);
    EXPECT_FALSE(retry) << "no frame was needed";
    c.frameNeeded = 1;
    c.frameNeededScope = 4;
    ASSERT_EQ(compile::retryWithFrames(&c, &retry), Status::ok);
    EXPECT_TRUE(retry);
    EXPECT_FALSE(c.frameNeeded);
    compile::Layout* l;
    ASSERT_EQ(compile::layoutOf(&c, 5, &l), Status::ok);
    c.frameNeeded = 1;
    ASSERT_EQ(compile::retryWithFrames(&c, &retry), Status::ok);
    EXPECT_FALSE(retry) << "its layout has a heap frame already";
    c.frameNeeded = 1;
    c.frameNeededScope = 1;
    c.requested.put(1, 1);
    ASSERT_EQ(compile::retryWithFrames(&c, &retry), Status::ok);
    EXPECT_FALSE(retry) << "compiled in an earlier module";
    c.frameNeeded = 1;
    c.frameNeededScope = compile::kNoScope;
    ASSERT_EQ(compile::retryWithFrames(&c, &retry), Status::ok);
    EXPECT_FALSE(retry);
    compile::release(&c);
}

// ---- the compile loop ----------------------------------------------------------------------

// Emission of the top level that fails with 100 for its first attempts, asking for what the
// script says; it asks for function 9 each time, which a roll-back forgets.
struct Script {
    int attempts = 0;
    int failUntil = 0;        // attempts that fail with 100
    bool needFrames = false;  // a failing attempt asks for the frame of a new scope
    int needsUntil = 0;       // failing attempts up to this one record a need
    bool retryFlag = false;   // a failing attempt sets the retry flag
};

Status scriptedFunction(void* user, compile::Compiler* c, uint32_t id) {
    Script* s = static_cast<Script*>(user);
    compile::FunctionRef f;
    // Declaring cannot run out of memory in these small modules: the results are not checked.
    if (id != compile::kTopLevel) {
        (void)compile::llvmFunction(c, id, &f);
        Emit e(&c->module, f.function);
        T.LLVMBuildRet(*e, T.LLVMConstInt(c->module.i1, 1, 0));
        return Status::ok;
    }
    s->attempts++;
    (void)compile::functionCode(c, 9, &f);
    if (s->attempts > s->failUntil) {
        compile::FunctionRef main;
        (void)compile::llvmFunction(c, compile::kTopLevel, &main);
        Emit e(&c->module, main.function);
        T.LLVMBuildRet(*e, T.LLVMConstInt(c->module.i1, 1, 0));
        return Status::ok;
    }
    if (s->needFrames) {
        c->frameNeeded = 1;
        c->frameNeededScope = uint32_t(100 + s->attempts);  // a new scope each time
    }
    if (s->attempts <= s->needsUntil) compile::recordNeed(c);
    if (s->retryFlag) c->retry = 1;
    static const char text[] = "t.py:1:1: in f(): no";
    c->message.clear();
    for (const char* p = text; *p; p++) c->message.push(*p);
    return Status::unsupported;
}

TEST_F(Compile, TheCompileLoopRetriesWhileSomethingNewIsRecorded) {
    struct Case {
        const char* what;
        Script script;
        Status result;
        int attempts;
        const char* error;
    } cases[] = {
        {"at once", {0, 0}, Status::ok, 1, nullptr},
        {"no retry", {0, 1}, Status::unsupported, 1, nullptr},
        {"frames", {0, 3, true}, Status::ok, 4, nullptr},
        {"needs", {0, 10, false, 10}, Status::ok, 11, nullptr},
        {"retry flag alone",
         {0, 100, false, 0, true},
         Status::pythonError,
         1,
         "wuna: compiling the module asked for another attempt with nothing new to do "
         "differently (a wuna bug)"},
        {"needs, then the retry flag alone",
         {0, 100, false, 6, true},
         Status::pythonError,
         7,
         "wuna: compiling the module asked for another attempt with nothing new to do "
         "differently (a wuna bug)"},
    };
    for (Case& k : cases) {
        Bare bare("t_loop");
        compile::Compiler* c = &bare.c;
        compile::Emitters emitters{&k.script, nullptr, scriptedFunction, nullptr};
        EXPECT_EQ(compile::runLoop(c, compile::kTopLevel, emitters, PyExc_TypeError), k.result)
            << k.what;
        EXPECT_EQ(k.script.attempts, k.attempts) << k.what;
        EXPECT_EQ(c->worklist.count, 0u) << k.what;
        if (k.result == Status::ok) {
            EXPECT_NE(c->requested.find(9), nullptr) << k.what;
            EXPECT_NE(LLVMGetFirstBasicBlock(LLVMGetNamedFunction(c->module.module, "t_loop_f9")),
                      nullptr);
            EXPECT_EQ(takeError(), "");
            continue;
        }
        EXPECT_EQ(c->requested.find(9), nullptr) << "rolled back: " << k.what;
        if (k.error) {
            PyObject* type;
            EXPECT_EQ(takeError(&type), k.error) << k.what;
            EXPECT_EQ(type, PyExc_TypeError) << "the CompileError class given";
        } else {
            EXPECT_EQ(std::string(c->message.items, c->message.count), "t.py:1:1: in f(): no");
        }
    }
}

TEST_F(Compile, AnEntryEmittedInPlaceOfAFunctionAndHelpersDrained) {
    // A thunk-like entry asks for function 3, which queues a specialisation.
    struct Log {
        std::vector<std::string> emitted;
        compile::HelperSpec* specialisation;
    } log;
    log.specialisation = static_cast<compile::HelperSpec*>(calloc(1, sizeof(compile::HelperSpec)));
    log.specialisation->symbol = strdup("t_drain_h1");
    log.specialisation->symbolLength = 10;
    compile::Emitters emitters{
        &log,
        [](void* user, compile::Compiler* c) -> Status {
            static_cast<Log*>(user)->emitted.push_back("entry");
            FunctionRef f;
            return compile::functionCode(c, 3, &f);
        },
        [](void* user, compile::Compiler* c, uint32_t id) -> Status {
            Log* log = static_cast<Log*>(user);
            log->emitted.push_back("f" + std::to_string(id));
            if (!c->helpers.push(log->specialisation) ||
                !c->helperWorklist.push(log->specialisation))
                return Status::outOfMemory;
            return Status::ok;
        },
        [](void* user, compile::Compiler*, compile::HelperSpec* specialisation) -> Status {
            static_cast<Log*>(user)->emitted.push_back(specialisation->symbol);
            return Status::ok;
        },
    };
    Bare bare("t_drain");
    EXPECT_EQ(compile::runLoop(&bare.c, 0, emitters, nullptr), Status::ok);
    EXPECT_EQ(log.emitted, (std::vector<std::string>{"entry", "f3", "t_drain_h1"}));
    EXPECT_EQ(bare.c.helperWorklist.count, 0u);
}

}  // namespace

}  // namespace wuna
