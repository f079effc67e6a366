"""Parsers for the Language tests: a small compiled one and a fake that answers the metadata
methods with given lists."""
import pargo

GRAMMAR = """
Program = stmts:Stmt*
@silent
Stmt = Def | Print
Def = 'def' name:Name '(' (params:Name (',' params:Name)*)? ')' body:Block -> FuncDef
Lambda = 'fn' params:Name* '=>' value:Number
Block = '{' stmts:Stmt* '}'
Print = 'print' value:Number
Number = [0-9]+ -> int
Name = [a-z]+ -> str
"""


def small_parser():
    """A parser whose kinds are rules (Program, Print...) and one -> class (FuncDef, made by
    the rule Def); its labels are stmts, name, params, body and value."""
    return pargo.compile(GRAMMAR)


class FakeParser:
    """Answers the four metadata methods with the lists it is given; a list given as an
    exception instance is raised instead."""

    def __init__(self, rules=(), actions=None, fields=(), labels=None):
        count = 0 if isinstance(rules, Exception) else len(rules)
        self._lists = {
            "rules": rules,
            "actions": [None] * count if actions is None else actions,
            "fields": fields,
            "labels": [[] for _ in range(count)] if labels is None else labels,
        }

    def _give(self, name):
        value = self._lists[name]
        if isinstance(value, Exception):
            raise value
        return value

    def rules(self):
        return self._give("rules")

    def actions(self):
        return self._give("actions")

    def fields(self):
        return self._give("fields")

    def labels(self):
        return self._give("labels")
