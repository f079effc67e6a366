-- Closures: each loop iteration has its own variables; upvalues are shared.
local fs = {}
for i = 1, 3 do fs[i] = function() return i end end
print(fs[1](), fs[2](), fs[3]())
local gs = {}
for _, name in ipairs({"a", "b", "c"}) do gs[#gs + 1] = function() return name end end
print(gs[1](), gs[2](), gs[3]())
local hs = {}
local j = 0
while j < 3 do
  j = j + 1
  local k = j * 10
  hs[j] = function() k = k + 1; return k end
end
print(hs[1](), hs[1](), hs[2](), hs[3]())
local rs = {}
local c = 0
repeat
  c = c + 1
  local mine = c
  rs[c] = function() return mine end
until mine >= 3
print(rs[1](), rs[2](), rs[3]())
local function counter()
  local n = 0
  return function() n = n + 1; return n end, function() return n end
end
local inc, get = counter()
inc(); inc(); inc()
local inc2 = counter()
inc2()
print(get(), inc2())
local function adder(x) return function(y) return x + y end end
local add5 = adder(5)
print(add5(1), adder(10)(20))
local shared
do
  local v = "first"
  shared = function() return v end
  v = "changed"
end
print(shared())
local function outer()
  local x = 1
  local function middle()
    local function inner() x = x * 2; return x end
    return inner
  end
  return middle(), function() return x end
end
local dbl, read = outer()
dbl(); dbl()
print(read())
