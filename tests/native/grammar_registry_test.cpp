// The registry of rt.parse's native parsers: an entry keeps its parser alive, so that a parser
// freed and another object made at its address never finds the dead parser's operations.
#include <gtest/gtest.h>

#include <cstdlib>

#include "host/tree/grammar.h"
#include "tests/native/python_values.h"

namespace wuna {

namespace {

using testing_support::eval;

class GrammarRegistry : public testing_support::WithPython {};

TEST_F(GrammarRegistry, AnEntryHoldsItsParser) {
    PyObject* parser = eval("type('Parser', (), {})()");
    ASSERT_NE(parser, nullptr);
    Py_ssize_t before = Py_REFCNT(parser);
    auto* g = static_cast<ptree::Grammar*>(std::calloc(1, sizeof(ptree::Grammar)));
    ASSERT_EQ(ptree::registerGrammar(parser, g), Status::ok);
    EXPECT_EQ(Py_REFCNT(parser), before + 1) << "the entry holds the parser";
    EXPECT_EQ(g->parser, parser);
    EXPECT_EQ(ptree::grammarOf(parser), g);
    // Registering the same record again takes no second reference.
    ASSERT_EQ(ptree::registerGrammar(parser, g), Status::ok);
    EXPECT_EQ(Py_REFCNT(parser), before + 1);
    // Our reference gone, the parser lives on in the entry: its address names nothing else.
    Py_DECREF(parser);
    EXPECT_EQ(Py_REFCNT(parser), before);
    EXPECT_EQ(ptree::grammarOf(parser), g);
}

TEST_F(GrammarRegistry, OnlyTheRecordOfThatParserAnswers) {
    PyObject* parser = eval("type('Parser', (), {})()");
    PyObject* other = eval("type('Other', (), {})()");
    auto* g = static_cast<ptree::Grammar*>(std::calloc(1, sizeof(ptree::Grammar)));
    ASSERT_EQ(ptree::registerGrammar(parser, g), Status::ok);
    // The record is made another parser's: the old key no longer finds it.
    ASSERT_EQ(ptree::registerGrammar(other, g), Status::ok);
    EXPECT_EQ(ptree::grammarOf(parser), nullptr);
    EXPECT_EQ(ptree::grammarOf(other), g);
    EXPECT_EQ(ptree::grammarOf(Py_None), nullptr);
    Py_DECREF(parser);
    Py_DECREF(other);
}

}  // namespace

}  // namespace wuna
