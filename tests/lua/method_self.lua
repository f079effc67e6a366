-- A method's self, read where a value list is evaluated one value at a time.
local Q = {}
function Q:get() return self end
function Q:pair(...) return self, ... end
local q = {}
print(Q.get(q) == q, q == Q.get(q))
local got = Q.get(q)
print(got == q)
setmetatable(q, {__index = Q})
print(q:get() == q, q:pair(1, 2) == q, select("#", q:pair(1, 2)))
